// General sound files (AIFF, CAF, WAVE in any encoding, ...) through
// libsndfile, loaded at run time.
#pragma once

#include "engine.h"

// Loads libsndfile; 1 when every entry point the engine calls was found.
// Calling it again while loaded keeps the library and returns 1.
int GetSndFileSupport(void);
// Unloads the library; harmless when it is not loaded.
void CloseSndFileSupport(void);

// Null when the library is not loaded, the path is not a regular file or the
// library refuses it. The file is opened once, close-on-exec, and the
// library reads that descriptor.
MPEGFileInfoType* PrepareLibSndFile(const char* Path);
// Interleaved 16-bit frames, a quarter second per call and never more than
// BufSz bytes; 0 at the end of the file or on a read error.
uint32_t DecodeLibSndSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz);
// Positions at the frame MsOffset milliseconds from the start, or at the end.
void SeekLibSndFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
void UnPrepareLibSndFile(MPEGFileInfoType* MPEGFileInfo);
