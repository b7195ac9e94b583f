// Placeholder until the Windows Media engine lands: WMA is unavailable.
#include "wmaengine.h"

int CommonDllInit(void) { return 0; }
MPEGFileInfoType* PrepareWMAFile(const char*) { return nullptr; }
void UnPrepareWMAFile(MPEGFileInfoType* MPEGFileInfo) { FreeFileInfo(MPEGFileInfo); }
int WMAActionZEBCommand(uint32_t, MPEGFileInfoType*) { return 1; }
uint32_t DecodeWMASection(MPEGFileInfoType*, void*, uint32_t) { return 0; }
uint32_t WMASamplesPending(MPEGFileInfoType*) { return 1; }
void SeekWMAFile(MPEGFileInfoType*, uint32_t) {}
