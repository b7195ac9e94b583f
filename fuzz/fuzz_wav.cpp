// Fuzzes the WAVE/Wave64 engine: the input becomes a file, which is prepared,
// decoded to the end, sought and decoded again, then unprepared.
#include "memory_file.h"
#include "wav_engine.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int MaxSections = 4096;

void DecodeSections(MPEGFileInfoType* Info, std::vector<uint8_t>& Out)
{
    for (int i = 0; i < MaxSections; ++i)
        if (DecodeWavSection(Info, Out.data(), OutBufSz) == 0)
            break;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    int Fd = MemoryFile("fuzz_wav", Data, Size);
    if (Fd < 0)
        return 0;
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    static std::vector<uint8_t> Out(OutBufSz);
    if (MPEGFileInfoType* Info = PreparePCMWavFile(Path.c_str())) {
        DecodeSections(Info, Out);
        uint32_t Target = Size ? Data[Size - 1] * 7u : 0;
        SeekPCMWavFile(Info, Target);
        DecodeSections(Info, Out);
        uint32_t End = TrackMilliseconds(Info);
        SeekPCMWavFile(Info, End <= UINT32_MAX - 1000u ? End + 1000u : UINT32_MAX);
        DecodeWavSection(Info, Out.data(), OutBufSz);
        SeekPCMWavFile(Info, 0);
        DecodeWavSection(Info, Out.data(), 1);
        UnPreparePCMWavFile(Info);
    }
    close(Fd);
    return 0;
}
