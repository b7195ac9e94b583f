// Fuzzes the Ogg Vorbis engine from memory: the input, as a C stream over
// its bytes that the engine takes over, is prepared, decoded for a while,
// sought to a time the input picks, decoded on, sought back to the start,
// decoded again, then unprepared. Pages, links, layouts (and so the layout
// conversion), holes and seek targets all come from the input.
#include "vorbis_engine.h"

#include <cstdint>
#include <cstdio>
#include <vector>

// libvorbisfile 1.3.7 itself leaks on some malformed files (a link's
// headers, a serial number list): ov_open_callbacks, ov_read and ov_clear
// alone, without this engine, show the same leaks. The engine's own
// allocations are not covered.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions()
{
    return "leak:libvorbisfile.so.3\nleak:libvorbis.so.0\n";
}

namespace {

constexpr int MaxSections = 32;
constexpr int SectionsBeforeSeek = 2;

void DecodeSections(MPEGFileInfoType* Info, std::vector<uint8_t>& Out, int Count = MaxSections)
{
    for (int i = 0; i < Count; ++i)
        if (DecodeVorbisSection(Info, Out.data(), OutBufSz) == 0)
            break;
}

// The last two bytes pick the first seek's time, up to a second past the
// track's length: most seeks land inside short inputs.
uint32_t SeekTarget(const MPEGFileInfoType* Info, const uint8_t* Data, size_t Size)
{
    constexpr uint64_t MsPerSecond = 1000;
    uint32_t Pick = Size >= 2 ? (uint32_t{Data[Size - 2]} << 8 | Data[Size - 1]) : 0;
    return static_cast<uint32_t>(Pick % ((uint64_t{Info->TrackLength} + 1) * MsPerSecond + 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const int Loaded = GetVorbisSupport();
    if (!Loaded || Size == 0)
        return 0;
    // Read-only: the bytes are never written through the stream.
    FILE* File = fmemopen(const_cast<uint8_t*>(Data), Size, "rb");
    if (!File)
        return 0;
    static std::vector<uint8_t> Out(OutBufSz); // exactly the core's buffer: ASan sees any overrun
    if (MPEGFileInfoType* Info = PrepareVorbisStream(File)) {
        DecodeSections(Info, Out, SectionsBeforeSeek);
        SeekVorbisFile(Info, SeekTarget(Info, Data, Size));
        DecodeSections(Info, Out);
        SeekVorbisFile(Info, 0);
        DecodeSections(Info, Out);
        UnPrepareVorbisFile(Info);
    }
    return 0;
}
