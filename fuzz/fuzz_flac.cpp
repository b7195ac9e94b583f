// Fuzzes the FLAC engine from memory: the input, as a memory file the engine
// takes over, is prepared, decoded for a while, sought to a time the input
// picks, decoded on, sought past the end and back to the start, decoded
// again, then unprepared. Frames that disagree with STREAMINFO, lengths,
// widths and seek targets all come from the input.
#include "memory_file.h"
#include "flac.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// Frames per stretch: enough to cross frames after each seek, few enough
// that an input of large frames still costs well under a millisecond.
constexpr int MaxSections = 2;
constexpr int SectionsBeforeSeek = 1;
constexpr uint32_t PastTheEndMs = UINT32_MAX;

void DecodeSections(MPEGFileInfoType* Info, std::vector<uint8_t>& Out, int Count = MaxSections)
{
    for (int i = 0; i < Count; ++i)
        if (DecodeFlacSection(Info, Out.data()) == 0)
            break;
}

// The last two bytes pick the first seek's time, up to about 65 s.
uint32_t SeekTarget(const uint8_t* Data, size_t Size)
{
    return Size >= 2 ? (uint32_t{Data[Size - 2]} << 8 | Data[Size - 1]) : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const int Loaded = GetFlacSupport();
    if (!Loaded)
        return 0;
    int Fd = MemoryFile("fuzz_flac", Data, Size);
    FILE* File = Fd >= 0 ? fdopen(Fd, "rb") : nullptr;
    if (!File) {
        if (Fd >= 0)
            close(Fd);
        return 0;
    }
    rewind(File);
    static std::vector<uint8_t> Out(OutBufSz); // exactly the core's buffer: ASan sees any overrun
    if (MPEGFileInfoType* Info = PrepareFlacStream(File)) {
        DecodeSections(Info, Out, SectionsBeforeSeek);
        SeekFlacFile(Info, SeekTarget(Data, Size));
        DecodeSections(Info, Out);
        SeekFlacFile(Info, PastTheEndMs);
        DecodeSections(Info, Out, 1);
        SeekFlacFile(Info, 0);
        DecodeSections(Info, Out);
        UnPrepareFlacFile(Info);
    }
    return 0;
}
