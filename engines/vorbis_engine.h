// Ogg Vorbis through libvorbisfile, loaded at run time: the engine opens the
// file itself (once, close-on-exec) and hands the library I/O callbacks over
// that stream.
#pragma once

#include "engine.h"

#include <cstddef>
#include <cstdint>

// Loads libvorbisfile; 1 when every entry point the engine calls was found. Otherwise
// the library is unloaded again and 0 returned. Calling it again while
// loaded keeps the library and returns 1.
int GetVorbisSupport(void);
// Unloads the library; harmless when it is not loaded.
void CloseVorbisSupport(void);

// Null when the library is not loaded, the path is not a regular file, or
// the file is not an Ogg Vorbis stream with a usable rate and channel
// count; nothing stays open then. Handle is the library's decoder state.
// The record describes the first link; TotalSamples counts the frames of
// every playable link at the first link's rate.
MPEGFileInfoType* PrepareVorbisFile(const char* Path);
// The same from a C stream open for binary reading, which it takes over:
// closed by the unprepare, or at once when refused.
MPEGFileInfoType* PrepareVorbisStream(FILE* File);
// Interleaved little-endian signed 16-bit PCM at the record's layout, never
// more than BufSz bytes; 0 at the end of the stream and on a decoder
// failure. A hole (a lost or damaged page) or a bad link is skipped and
// decoding goes on after it. A chained link with another rate or channel
// count is converted to the record's (mono and stereo links only: a link of
// another layout with more channels ends the stream there).
uint32_t DecodeVorbisSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz);
// Asks the library for MsOffset / 1000 seconds (sample-exact, each link at
// its own rate). A target past the end leaves the position where it was. A
// seek whose search in the library would reach damaged pages at the start
// of a link (where the library cannot seek safely) fails, and decoding goes
// on from about where it was.
void SeekVorbisFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
// Clears the decoder, which closes the file, and frees the record.
void UnPrepareVorbisFile(MPEGFileInfoType* MPEGFileInfo);

// I/O over the engine's FILE*, as the C library's fread, fseeko (the whole
// 64-bit offset), fclose, ftello; the library's callbacks go through these.
size_t VorbisReadFile(void* ptr, size_t size, size_t nmemb, void* datasource);
int VorbisSeekFile(void* datasource, int64_t offset, int whence);
int VorbisCloseFile(void* datasource);
long VorbisTellFile(void* datasource);
