// Allocation of the per-file record shared by all engines, and the file
// checks they share.
#include "engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
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

int OpenRegularFd(const char* Pathname)
{
    int Fd = open(Pathname, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        return -1;
    struct stat St;
    if (fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) & ~O_NONBLOCK) == 0)
        return Fd;
    close(Fd);
    return -1;
}

FILE* OpenRegularFile(const char* Pathname)
{
    int Fd = OpenRegularFd(Pathname);
    if (Fd < 0)
        return nullptr;
    FILE* Fi = fdopen(Fd, "rb");
    if (!Fi)
        close(Fd);
    return Fi;
}

uint32_t TrackMilliseconds(const MPEGFileInfoType* Info)
{
    uint64_t Ms = uint64_t{Info->TrackLength} * 1000u;
    if (Info->TotalSamples && Info->SampleRate)
        Ms = Info->TotalSamples / Info->SampleRate * 1000u + Info->TotalSamples % Info->SampleRate * 1000u / Info->SampleRate;
    return Ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Ms);
}

uint64_t SampleAtMs(const MPEGFileInfoType* Info, uint32_t Ms)
{
    return uint64_t{Ms} * Info->SampleRate / 1000u;
}
