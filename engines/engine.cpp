// Allocation of the per-file record shared by all engines.
#include "engine.h"

#include <cstdlib>

MPEGFileInfoType* NewFileInfo(void)
{
    return static_cast<MPEGFileInfoType*>(calloc(1, sizeof(MPEGFileInfoType)));
}

void FreeFileInfo(MPEGFileInfoType* Info)
{
    free(Info);
}
