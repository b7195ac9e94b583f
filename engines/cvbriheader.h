// The VBRI header some variable-bit-rate encoders store in the first frame:
// stream byte and frame counts and a table of byte lengths per time slice.
#pragma once

#include <cstdint>

struct VbriHeaderTable {
    int SampleRate;
    char VbriSignature[5];
    uint32_t VbriVersion;
    float VbriDelay;
    uint32_t VbriQuality;
    uint32_t VbriStreamBytes;
    uint32_t VbriStreamFrames;
    uint32_t VbriTableSize;  // the table holds VbriTableSize + 1 entries
    uint32_t VbriTableScale;
    uint32_t VbriEntryBytes;
    uint32_t VbriEntryFrames;
    int32_t* VbriTable;      // owned; null until a header is read
};

class CVbriHeader {
public:
    enum offset { BYTE = 1, WORD = 2, DWORD = 4 };

    CVbriHeader();
    ~CVbriHeader();
    CVbriHeader(const CVbriHeader&) = delete;
    CVbriHeader& operator=(const CVbriHeader&) = delete;

    // Sample rate of the frame whose header bytes start at buffer, or 0.
    int getSampleRate(const uint8_t* buffer);
    // Big-endian value of length bytes at HBuffer + position; advances position.
    uint32_t readFromBuffer(const uint8_t* HBuffer, int length);
    // 0 when the frame of Length bytes at Hbuffer carries a VBRI header whose
    // fields and table lie within those bytes (the object is then filled);
    // 1 otherwise, leaving the object empty.
    int readVbriHeader(const uint8_t* Hbuffer, uint32_t Length);
    // Byte offset, from the VBRI frame's first byte, of the frame at the
    // given time; 0 when the header gives no usable time scale.
    int seekPointByTime(float EntryTimeInMilliSeconds);

    const VbriHeaderTable* Header() const { return VBHeader; }

private:
    void ReleaseTable();

    VbriHeaderTable* VBHeader;
    int position;
};
