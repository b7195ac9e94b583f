// MPEG audio: preparation, track length and seeking. The core decodes.
#pragma once

#include "engine.h"
#include "id3.h"

#include <cstdio>

uint32_t ParseID3Tag(FILE* Fi);
MPEGFileInfoType* PrepareMPEGFile(const char* Pathname);
void UnPrepareMPEGFile(MPEGFileInfoType* MPEGFileInfo);
void SeekMPEGFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);
int XingVBRSeek(MPEGFileInfoType* MPEGFileInfo, double SOffset);
int LocateNextFrame(MPEGFileInfoType* MPEGFileInfo);
int UpdateMPEGForVBRTrackLength(MPEGFileInfoType* MPEGFileInfo);
void AvgBitRate(MPEGFileInfoType* MPEGFileInfo, uint32_t ActualLength);
