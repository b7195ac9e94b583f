// The record every format engine fills for an open input, and the formats.
#pragma once

#include <cstdint>
#include <cstdio>

enum AudioFileFmtType {
    UNKWN_FMT = 0,
    MP3_FMT = 1,
    PCMWAV_FMT = 2,
    VORBIS_FMT = 3,
    AACRAW_FMT = 4,
    AACMP4_FMT = 5,
    WMA_FMT = 6,
    FLAC_FMT = 7,
    LIBSNDFILE_FMT = 8
};

struct MPEGFileInfoType {
    FILE* Handle;              // the engine's open input (C stream for MPEG/WAVE/ADTS)
    uint32_t FrameSize;        // MPEG: bytes of the first frame
    uint32_t FirstFrameOffset; // first audio frame, or first byte of sample data
    uint32_t SampleRate;       // Hz of the delivered PCM
    uint32_t SamplesPerFrame;  // MPEG only
    uint16_t Channels;
    uint16_t BytesPerSample;
    uint32_t FrameCount;
    uint32_t TrackLength;      // whole seconds, truncated
    uint64_t FileLength;       // audio payload (bytes, or frames for some engines)
    int BitRate;               // bit/s; 0 when a table drives seeking
    int VBRFlag;               // MPEG: 1 Xing TOC, 2 VBRI, 4 VBR detected
    void* CVbri;               // MPEG: the VBRI header object
    uintptr_t DecoderPriv;     // engine-private word
    uint8_t XingVBRTOC[100];   // MPEG: Xing table of contents
    uint64_t TotalSamples;     // sample frames per channel of the whole track,
                               // exact where the format knows it; 0 unknown
};

// The core's section buffer: no decode call delivers more than this.
constexpr uint32_t OutBufSz = 524288;

// The length of the track in milliseconds: from TotalSamples where the
// engine knows them, else the whole-second TrackLength. Seeks, elapsed time
// and the position scale all measure against this one length.
uint32_t TrackMilliseconds(const MPEGFileInfoType* Info);
// The sample frame at Ms milliseconds from the start, at the record's rate.
uint64_t SampleAtMs(const MPEGFileInfoType* Info, uint32_t Ms);

// A new zero-filled record, or null.
MPEGFileInfoType* NewFileInfo(void);
void FreeFileInfo(MPEGFileInfoType* Info);

// True when Path names a regular file. Engines whose decoder library opens
// the path itself offer it nothing else: a FIFO without a writer would block
// that open, and the engines seek.
bool IsRegularFile(const char* Path);
// Opens Pathname for binary reading when it is a regular file, or returns
// null. The check is made on the open descriptor (opened without blocking),
// so a FIFO put in the file's place meanwhile cannot block the open.
FILE* OpenRegularFile(const char* Pathname);
// The same check for engines whose library takes a descriptor: a
// close-on-exec, blocking descriptor of a regular file, or -1.
int OpenRegularFd(const char* Pathname);
