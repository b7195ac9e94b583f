// Raw AAC in ADTS framing: finds the first genuine frame, estimates the
// length from about one second of frames, scans for the exact length and
// seeks by byte estimate. Decoding is the AAC decoder core's (aac_core.h),
// which reads the same stream this engine positions.
#pragma once

#include "engine.h"

#include <cstdint>

// One 7-byte ADTS header with its bytes in reverse order: memory byte k is
// header byte 6 - k, so that read as a 56-bit little-endian value the fields
// sit from the least significant bit up. The accessors extract them.
struct ADTSHeaderType {
    uint8_t Bytes[7];
};

union ADTSFrameOverlayType {
    ADTSHeaderType Hdr;
    uint8_t Bytes[8];
};

uint32_t BlocksInFrame(const ADTSHeaderType& Hdr);
uint32_t BufferFullness(const ADTSHeaderType& Hdr);
uint32_t FrameLength(const ADTSHeaderType& Hdr);
uint32_t CopyrightStart(const ADTSHeaderType& Hdr);
uint32_t CopyrightId(const ADTSHeaderType& Hdr);
uint32_t Home(const ADTSHeaderType& Hdr);
uint32_t OriginalCopy(const ADTSHeaderType& Hdr);
uint32_t Channel(const ADTSHeaderType& Hdr);
uint32_t Channel2(const ADTSHeaderType& Hdr);
uint32_t Private(const ADTSHeaderType& Hdr);
uint32_t SampleRate(const ADTSHeaderType& Hdr);
uint32_t Profile(const ADTSHeaderType& Hdr);
uint32_t Protection(const ADTSHeaderType& Hdr);
uint32_t LayerDesc(const ADTSHeaderType& Hdr);
uint32_t VersionId(const ADTSHeaderType& Hdr);
uint32_t SyncBits(const ADTSHeaderType& Hdr);

// Sampling frequency index to Hz; 12 entries. Defined here with internal
// linkage: the MPEG header module has a global table of the same name, and
// two external definitions would collide at link time.
constexpr uint32_t SampleRateIndexTable[12] = {96000, 88200, 64000, 48000, 44100, 32000,
                                               24000, 22050, 16000, 12000, 11025, 8000};

// Reverses the 7 bytes of a header read from the file, in place.
void HeaderSwap(ADTSHeaderType* FrameHdr);

// Next byte pattern that looks like a header, from the stream's position.
// FrameOffset: relative to the entry position, or -1 when none is found.
void ProcessNextADTSHeader(FILE* Fi, ADTSHeaderType* FrameHdr, int32_t* FrameOffset);
// Next genuine header (a candidate with three agreeing followers). A header
// with a reserved sample-rate index (12-15) or a length under 7 bytes is
// never genuine, and neither is one whose followers cannot all be read.
void GetNextADTSHeader(FILE* Fi, ADTSHeaderType* FrameHdr, int32_t* FrameOffset);

// Null when the file cannot be opened or holds no genuine ADTS frame;
// otherwise the record with its stream positioned at the first frame.
MPEGFileInfoType* PrepareAAC_ADTSFile(const char* Pathname);
// Closes the stream and frees the record; given null it does nothing.
void UnPrepareAAC_ADTSFile(MPEGFileInfoType* MPEGFileInfo);
// Scans every frame: exact FrameCount and TrackLength, BitRate 0.
void ProcessAAC_ADTSForTrackLength(MPEGFileInfoType* MPEGFileInfo);
// Positions the stream on a genuine frame near MsOffset.
void SeekAAC_ADTSFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
