// PCM RIFF WAVE and Wave64.
#pragma once

#include "engine.h"

MPEGFileInfoType* PreparePCMWavFile(const char* Pathname);
uint32_t DecodeWavSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz);
void SeekPCMWavFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
void UnPreparePCMWavFile(MPEGFileInfoType* MPEGFileInfo);
