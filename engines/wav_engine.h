// PCM RIFF WAVE and Wave64.
#pragma once

#include "engine.h"

MPEGFileInfoType* PreparePCMWavFile(const char* Pathname);
// The Wave64 parser behind PreparePCMWavFile: Fi is the open stream; on a
// null result the caller closes it.
MPEGFileInfoType* Process64BitWave(FILE* Fi);
uint32_t DecodeWavSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz);
void SeekPCMWavFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
void UnPreparePCMWavFile(MPEGFileInfoType* MPEGFileInfo);
