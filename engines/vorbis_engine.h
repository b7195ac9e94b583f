// Ogg Vorbis through libvorbisfile, loaded at run time: the engine opens the
// file itself and hands the library I/O callbacks over that stream.
#pragma once

#include "engine.h"

#include <cstddef>
#include <cstdint>

// Loads libvorbisfile; 1 when all seven entry points were found. Otherwise
// the library is unloaded again and 0 returned. Calling it again while
// loaded keeps the library and returns 1.
int GetVorbisSupport(void);
// Unloads the library; harmless when it is not loaded.
void CloseVorbisSupport(void);

// Null when the library is not loaded, the path is not a regular file, or
// the file is not an Ogg Vorbis stream with a usable rate and channel
// count; nothing stays open then. Handle is the library's decoder state.
MPEGFileInfoType* PrepareVorbisFile(const char* Path);
// Interleaved little-endian signed 16-bit PCM of one library read, never
// more than BufSz bytes; 0 at the end of the stream, at a hole or bad link,
// at a chained link whose rate or channel count differs from the record's,
// and on any other decoder failure.
uint32_t DecodeVorbisSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz);
// Asks the library for MsOffset / 1000 seconds (sample-exact); a failed
// seek leaves the position where it was.
void SeekVorbisFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
// Clears the decoder, which closes the file, and frees the record.
void UnPrepareVorbisFile(MPEGFileInfoType* MPEGFileInfo);

// The I/O callbacks over the engine's FILE* (the library's datasource), as
// the C library's fread, fseeko (the whole 64-bit offset), fclose, ftello.
size_t VorbisReadFile(void* ptr, size_t size, size_t nmemb, void* datasource);
int VorbisSeekFile(void* datasource, int64_t offset, int whence);
int VorbisCloseFile(void* datasource);
long VorbisTellFile(void* datasource);
