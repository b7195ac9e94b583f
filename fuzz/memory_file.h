// Fuzz input as a file that code opening files by name can read.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// A memfd holding Data (reachable as /proc/self/fd/N), or -1.
inline int MemoryFile(const char* Name, const uint8_t* Data, size_t Size)
{
    int Fd = memfd_create(Name, 0);
    if (Fd < 0)
        return -1;
    size_t Done = 0;
    while (Done < Size) {
        ssize_t N = write(Fd, Data + Done, Size - Done);
        if (N <= 0) {
            close(Fd);
            return -1;
        }
        Done += static_cast<size_t>(N);
    }
    return Fd;
}
