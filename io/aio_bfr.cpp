// Placeholder until the read-ahead buffer lands.
#include "aio_bfr.h"
AIOBufType* InitAIOBuffers(uint32_t, void*) { return nullptr; }
void FreeAIOBuffers(AIOBufType*) {}
void StartAIOStream(AIOBufType*, FILE*) {}
uint32_t ReadAIOBuf(AIOBufType*, void*, uint32_t) { return 0; }
void SyncAIOStream(AIOBufType*) {}
void FlushAIOBuffers(AIOBufType*) {}
uint32_t GetReadBufSz(AIOBufType*) { return 0; }
uint32_t GetWriteBufSz(AIOBufType*) { return 0; }
int32_t TickDelta(uint32_t) { return 0; }
void SetAIOTimeoutForTesting(uint32_t) {}
