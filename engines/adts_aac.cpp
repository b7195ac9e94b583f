// Placeholder until the ADTS engine lands: no file is taken as ADTS.
#include "adts_aac.h"

MPEGFileInfoType* PrepareAAC_ADTSFile(const char*) { return nullptr; }
void UnPrepareAAC_ADTSFile(MPEGFileInfoType* MPEGFileInfo) { FreeFileInfo(MPEGFileInfo); }
void ProcessAAC_ADTSForTrackLength(MPEGFileInfoType*) {}
void SeekAAC_ADTSFile(MPEGFileInfoType*, uint32_t) {}
