// The AAC decoder core over FAAD2, loaded at run time: raw ADTS streams fed
// from a 1536-byte window over the file, and AAC tracks of MP4 files fed
// whole samples through the project's MP4 module (libzeb-mp4.so).
#pragma once

#include "engine.h"

#include <cstdint>

// The engine's private state, in the record's DecoderPriv.
struct AACDecodeInfoType {
    void* hDecoder;      // the decoder library's handle
    uint8_t* InBuffer;   // ADTS: the input window; null for MP4
    uint32_t InBufSz;    // ADTS: valid bytes in InBuffer
    uint32_t SampleCount; // MP4: samples in the track
    uint32_t Sample;     // MP4: samples consumed; the next read is Sample + 1
    uint32_t TrackId;    // MP4: the audio track
};

constexpr uint32_t AACInBufferSz = 1536;

// Loads the decoder library and then the MP4 module beside this library.
// Non-zero when AAC decoding is available.
int GetAACSupport(void);
void CloseAACSupport(void);

// ADTS only: a decoder on the stream the ADTS engine positioned at the first
// frame. Non-zero on success; on failure nothing it created stays.
int OpenAACDecoder(MPEGFileInfoType* MPEGFileInfo);
void CloseAACDecoder(MPEGFileInfoType* MPEGFileInfo);
// Drops the first Used bytes of the window and refills its tail from Fi.
void PackInBuffer(AACDecodeInfoType* AACInfo, uint32_t Used, FILE* Fi);
// One decoded frame of interleaved 16-bit PCM into OutBuf (never more than
// OutBufSz bytes); 0 at the end of the stream or on a decoding error.
uint32_t DecodeAACSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t OutBufSz);
// ADTS only: refills the whole window from the stream after a seek.
void PostSeekAACBufferReload(MPEGFileInfoType* MPEGFileInfo);

// MP4: opens the file, picks the first usable AAC track, opens a decoder.
MPEGFileInfoType* PrepareAAC_MP4File(const char* Pathname);
void UnPrepareAAC_MP4File(MPEGFileInfoType* MPEGFileInfo);
void SeekAAC_MP4File(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
