// Fuzzes the FLAC engine: the input becomes a file, which is prepared,
// decoded for a while, sought, decoded to the end, sought on the finished
// stream, then unprepared. Frames that
// disagree with STREAMINFO, lengths and widths all come from the input.
#include "memory_file.h"
#include "flac.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t OutBufSz = 524288;
constexpr int MaxSections = 4096;
constexpr int SectionsBeforeSeek = 2;

void DecodeSections(MPEGFileInfoType* Info, std::vector<uint8_t>& Out, int Count = MaxSections)
{
    for (int i = 0; i < Count; ++i)
        if (DecodeFlacSection(Info, Out.data()) == 0)
            break;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const int Loaded = GetFlacSupport();
    if (!Loaded)
        return 0;
    int Fd = MemoryFile("fuzz_flac", Data, Size);
    if (Fd < 0)
        return 0;
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    static std::vector<uint8_t> Out(OutBufSz); // exactly the core's buffer: ASan sees any overrun
    if (MPEGFileInfoType* Info = PrepareFlacFile(Path.c_str())) {
        DecodeSections(Info, Out, SectionsBeforeSeek);
        uint32_t Target = Size ? Data[Size - 1] * 7u : 0;
        SeekFlacFile(Info, Target);
        DecodeSections(Info, Out);
        SeekFlacFile(Info, 0);
        DecodeSections(Info, Out, 1);
        UnPrepareFlacFile(Info);
    }
    close(Fd);
    return 0;
}
