// Allocation of the per-file record shared by all engines, and the file
// checks they share.
#include "engine.h"

#include <sys/stat.h>

#include <cstdlib>

MPEGFileInfoType* NewFileInfo(void)
{
    return static_cast<MPEGFileInfoType*>(calloc(1, sizeof(MPEGFileInfoType)));
}

void FreeFileInfo(MPEGFileInfoType* Info)
{
    free(Info);
}

bool IsRegularFile(const char* Path)
{
    struct stat St;
    return stat(Path, &St) == 0 && S_ISREG(St.st_mode);
}
