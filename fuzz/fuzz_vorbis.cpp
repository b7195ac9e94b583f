// Fuzzes the Ogg Vorbis engine: the input becomes a file, which is prepared,
// decoded to the end and unprepared. Pages, links, layouts and lengths all
// come from the input. Seeking is left out: libogg 1.3.5 under
// libvorbisfile 1.3.7 runs a memmove of negative size in ogg_stream_pagein
// when a crafted file is read after ov_time_seek, with or without this
// engine, and that would be all such a run ever found.
#include "memory_file.h"
#include "vorbis_engine.h"

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr uint32_t OutBufSz = 524288;
constexpr int MaxSections = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const int Loaded = GetVorbisSupport();
    if (!Loaded)
        return 0;
    int Fd = MemoryFile("fuzz_vorbis", Data, Size);
    if (Fd < 0)
        return 0;
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    static std::vector<uint8_t> Out(OutBufSz); // exactly the core's buffer: ASan sees any overrun
    if (MPEGFileInfoType* Info = PrepareVorbisFile(Path.c_str())) {
        for (int i = 0; i < MaxSections; ++i)
            if (DecodeVorbisSection(Info, Out.data(), OutBufSz) == 0)
                break;
        UnPrepareVorbisFile(Info);
    }
    close(Fd);
    return 0;
}
