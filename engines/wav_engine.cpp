// Placeholder until the WAVE engine lands.
#include "wav_engine.h"
MPEGFileInfoType* PreparePCMWavFile(const char*) { return nullptr; }
uint32_t DecodeWavSection(MPEGFileInfoType*, void*, uint32_t) { return 0; }
void SeekPCMWavFile(MPEGFileInfoType*, uint32_t) {}
void UnPreparePCMWavFile(MPEGFileInfoType*) {}
