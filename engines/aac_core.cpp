// Placeholder until the AAC decoder core lands: AAC is unavailable.
#include "aac_core.h"

int GetAACSupport(void) { return 0; }
void CloseAACSupport(void) {}
int OpenAACDecoder(MPEGFileInfoType*) { return 0; }
void CloseAACDecoder(MPEGFileInfoType*) {}
uint32_t DecodeAACSection(MPEGFileInfoType*, void*, uint32_t) { return 0; }
void PostSeekAACBufferReload(MPEGFileInfoType*) {}
MPEGFileInfoType* PrepareAAC_MP4File(const char*) { return nullptr; }
void UnPrepareAAC_MP4File(MPEGFileInfoType* MPEGFileInfo) { FreeFileInfo(MPEGFileInfo); }
void SeekAAC_MP4File(MPEGFileInfoType*, uint32_t) {}
