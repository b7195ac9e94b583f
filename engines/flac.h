// FLAC through libFLAC's stream decoder, loaded at run time: one frame of
// interleaved 16-bit PCM per decode call.
#pragma once

#include "engine.h"

#include <FLAC/stream_decoder.h>

// Loads libFLAC; 1 when every entry point the engine calls was found.
// Otherwise the library is unloaded again and 0 returned. Calling it again
// while loaded keeps the library and returns 1.
int GetFlacSupport(void);
// Unloads the library; harmless when it is not loaded.
void CloseFlacSupport(void);

// Null when the library is not loaded, the path is not a regular file, or
// the decoder refuses it or finds no usable STREAMINFO (no channels, no
// sample rate). The file is opened once, close-on-exec, and that stream is
// what the decoder reads.
MPEGFileInfoType* PrepareFlacFile(const char* Path);
// The same from a C stream open for binary reading, which it takes over:
// closed by the unprepare, or at once when refused.
MPEGFileInfoType* PrepareFlacStream(FILE* File);
// The next frame as interleaved 16-bit PCM, never more than the core's
// OutBufSz bytes; 0 at the end of the stream or on a decoder failure.
uint32_t DecodeFlacSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf);
// Positions at the sample MsOffset milliseconds from the start; the next
// decode starts there. A target at or past the end, or one the decoder
// cannot reach, ends the stream until the next seek, which plays again.
void SeekFlacFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
void UnPrepareFlacFile(MPEGFileInfoType* MPEGFileInfo);

// The decoder's callbacks; client_data is the file's record. The write
// callback converts a frame into DecoderPriv (OutBufSz bytes) when that is
// set and keeps nothing otherwise.
FLAC__StreamDecoderWriteStatus DecoderWriteCallback(const FLAC__StreamDecoder* decoder, const FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[], void* client_data);
void MetadataCallback(const FLAC__StreamDecoder* decoder, const FLAC__StreamMetadata* metadata, void* client_data);
void ErrorCallback(const FLAC__StreamDecoder* decoder, FLAC__StreamDecoderErrorStatus status, void* client_data);
