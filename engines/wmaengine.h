// The Windows Media Audio engine's operations for the core, over
// CWMediaEngine and the runtime module libzeb-wmf.so in the zeb-audio folder beside this library.
#pragma once

#include "engine.h"

#include <cstdint>

// Loads the runtime module; only the first call in the process does
// anything. Non-zero when the module and both its entry points are there.
int CommonDllInit(void);

MPEGFileInfoType* PrepareWMAFile(const char* Pathname);
void UnPrepareWMAFile(MPEGFileInfoType* MPEGFileInfo);
// Transport commands 0x8001 Stop, 0x8002 Pause, 0x8003 Play; others give 1.
int WMAActionZEBCommand(uint32_t Cmd, MPEGFileInfoType* MPEGFileInfo);
uint32_t DecodeWMASection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t OutBufSz);
uint32_t WMASamplesPending(MPEGFileInfoType* MPEGFileInfo);
void SeekWMAFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
