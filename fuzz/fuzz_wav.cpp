// Fuzzes the WAVE/Wave64 engine: the input becomes a file, which is prepared,
// decoded to the end, sought and decoded again, then unprepared.
#include "wav_engine.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t OutBufSz = 524288;
constexpr int MaxSections = 4096;

// A file in memory that fopen can open by name.
int MemoryFile(const uint8_t* Data, size_t Size)
{
    int Fd = memfd_create("fuzz_wav", 0);
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

void DecodeSections(MPEGFileInfoType* Info, std::vector<uint8_t>& Out)
{
    for (int i = 0; i < MaxSections; ++i)
        if (DecodeWavSection(Info, Out.data(), OutBufSz) == 0)
            break;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    int Fd = MemoryFile(Data, Size);
    if (Fd < 0)
        return 0;
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    static std::vector<uint8_t> Out(OutBufSz);
    if (MPEGFileInfoType* Info = PreparePCMWavFile(Path.c_str())) {
        DecodeSections(Info, Out);
        uint32_t Target = Size ? Data[Size - 1] * 7u : 0;
        SeekPCMWavFile(Info, Target);
        DecodeSections(Info, Out);
        SeekPCMWavFile(Info, Info->TrackLength * 1000u + 1000u);
        DecodeWavSection(Info, Out.data(), OutBufSz);
        SeekPCMWavFile(Info, 0);
        DecodeWavSection(Info, Out.data(), 1);
        UnPreparePCMWavFile(Info);
    }
    close(Fd);
    return 0;
}
