// MPEG audio frame headers: fields, tables, frame length and the two
// header searches (candidate and confirmed by the following frames).
#pragma once

#include <cstdint>
#include <cstdio>

// One 4-byte frame header held as a 32-bit value in host order, the first
// file byte in bits 24-31. Fields are read through the accessors below, from
// the least significant bit up.
struct MPEGFrameHdrType {
    uint32_t Word;

    uint32_t Emphasis() const { return Word & 0x3; }
    uint32_t Original() const { return (Word >> 2) & 0x1; }
    uint32_t Copyright() const { return (Word >> 3) & 0x1; }
    uint32_t ModeExt() const { return (Word >> 4) & 0x3; }
    uint32_t Channel() const { return (Word >> 6) & 0x3; }
    uint32_t Private() const { return (Word >> 8) & 0x1; }
    uint32_t Padding() const { return (Word >> 9) & 0x1; }
    uint32_t SampleRate() const { return (Word >> 10) & 0x3; }
    uint32_t BitRate() const { return (Word >> 12) & 0xF; }
    uint32_t Protection() const { return (Word >> 16) & 0x1; }
    uint32_t LayerDesc() const { return (Word >> 17) & 0x3; }
    uint32_t VersionId() const { return (Word >> 19) & 0x3; }
    uint32_t SyncBits() const { return (Word >> 21) & 0x7FF; }
};

constexpr uint32_t FrameHdrBytes = 4;
constexpr uint32_t FrameSyncBits = 0x7FF;

constexpr uint32_t VersionMpeg25 = 0;
constexpr uint32_t VersionReserved = 1;
constexpr uint32_t VersionMpeg2 = 2;
constexpr uint32_t VersionMpeg1 = 3;

constexpr uint32_t LayerReserved = 0;
constexpr uint32_t LayerIII = 1;
constexpr uint32_t LayerII = 2;
constexpr uint32_t LayerI = 3;

constexpr uint32_t L1SamplesPerFrame = 384;
constexpr uint32_t L2_3SamplesPerFrame = 1152;
constexpr uint32_t L3LsfSamplesPerFrame = 576; // Layer III of MPEG-2 and MPEG-2.5
constexpr uint32_t L1PaddingSize = 4;
constexpr uint32_t L2_3PaddingSize = 1;
constexpr uint32_t ChannelMono = 3;

// Hz by sample-rate index (rows) and version (MPEG-1, MPEG-2, MPEG-2.5).
extern const int SampleRateIndexTable[4][3];
// kbit/s by bit-rate index (rows) and column: MPEG-1 Layer I, II, III,
// MPEG-2/2.5 Layer I, MPEG-2/2.5 Layers II and III. Row 15 is -1.
extern const int BitrateIndexTable[16][5];
// Column of BitrateIndexTable by VersionId (rows) and LayerDesc; -1 none.
extern const int BitrateIndexFromHdr[4][4];

// Reverses the 4 bytes of a value read from a file in place, turning the
// big-endian file order into the host's 32-bit value.
void lword_swap(uint32_t* lword);
// The header value of 4 bytes in file order.
MPEGFrameHdrType FrameHdrFromBytes(const uint8_t* Bytes);

// Reads 4 header bytes at the stream's position; false at the end of it.
bool ReadFrameHdr(FILE* Fi, MPEGFrameHdrType* Hdr);

// Hz; 0 for a reserved version or sample-rate index.
int SampleRateFromFrameHdr(MPEGFrameHdrType FrameHdr);
// Bits per second; 0 for a reserved version or layer, free format or index 15.
int BitRateFromFrameHdr(MPEGFrameHdrType FrameHdr);
// Frame length in bytes including the header; 0 when the header is unusable.
uint32_t CalculateFrameLength(MPEGFrameHdrType FrameHdr);
// PCM samples per channel in a frame with this header.
uint32_t SamplesPerFrameFromHdr(MPEGFrameHdrType FrameHdr);

// Finds the next byte pattern that looks like a header, from the stream's
// current position. FrameOffset receives its distance from that position,
// or -1 when the end of the stream came first.
void ProcessNextFrameHeader(FILE* Fi, MPEGFrameHdrType* FrameHdr, int32_t* FrameOffset);
// As above, but the header must be followed by three frames of the same
// version and layer. The stream is left at an unspecified position.
void GetNextFrameHeader(FILE* Fi, MPEGFrameHdrType* FrameHdr, int32_t* FrameOffset);
