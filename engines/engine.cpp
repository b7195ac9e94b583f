// Allocation of the per-file record shared by all engines, and the file
// checks they share.
#include "engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

FILE* OpenRegularFile(const char* Pathname)
{
    int Fd = open(Pathname, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        return nullptr;
    struct stat St;
    FILE* Fi = nullptr;
    if (fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) &&
        fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) & ~O_NONBLOCK) == 0)
        Fi = fdopen(Fd, "rb");
    if (!Fi)
        close(Fd);
    return Fi;
}
