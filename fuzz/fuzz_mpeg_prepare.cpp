// The whole MPEG preparation, seeking and length scan over a file.
#include "engines/mp3_engine.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// One temporary file per fuzzing process, rewritten for every input and
// removed when the process exits.
struct TempFile {
    std::string Path;
    TempFile()
    {
        char Name[] = "/tmp/fuzz_mpeg_prepare_XXXXXX";
        int Fd = mkstemp(Name);
        if (Fd >= 0)
            close(Fd);
        Path = Name;
    }
    ~TempFile() { unlink(Path.c_str()); }
};

const std::string& TempPath()
{
    static const TempFile File;
    return File.Path;
}

bool WriteInput(const uint8_t* Data, size_t Size)
{
    FILE* F = fopen(TempPath().c_str(), "wb");
    if (!F)
        return false;
    bool Ok = fwrite(Data, 1, Size, F) == Size;
    return fclose(F) == 0 && Ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (!WriteInput(Data, Size))
        return 0;
    MPEGFileInfoType* Info = PrepareMPEGFile(TempPath().c_str());
    if (!Info)
        return 0;
    uint32_t Ms = TrackMilliseconds(Info);
    for (uint32_t To : {0u, Ms / 3, Ms / 2, Ms, Ms + 1000, 0xFFFFFFFFu})
        SeekMPEGFile(Info, To);
    fseek(Info->Handle, static_cast<long>(Size / 2), SEEK_SET);
    LocateNextFrame(Info);
    AvgBitRate(Info, Info->TrackLength / 2);
    AvgBitRate(Info, 0);
    UpdateMPEGForVBRTrackLength(Info);
    UnPrepareMPEGFile(Info);
    return 0;
}
