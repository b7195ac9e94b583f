// Placeholder until the MPEG engine lands.
#include "mp3_engine.h"
uint32_t ParseID3Tag(FILE*) { return 0; }
MPEGFileInfoType* PrepareMPEGFile(const char*) { return nullptr; }
void UnPrepareMPEGFile(MPEGFileInfoType*) {}
void SeekMPEGFile(MPEGFileInfoType*, uint32_t) {}
int XingVBRSeek(MPEGFileInfoType*, double) { return 0; }
int LocateNextFrame(MPEGFileInfoType*) { return 0; }
int UpdateMPEGForVBRTrackLength(MPEGFileInfoType*) { return 0; }
void AvgBitRate(MPEGFileInfoType*, uint32_t) {}
