// Fuzzes the ADTS engine: the candidate and validated searches over a memory
// stream, then the input as a file in memory through prepare, the decoder
// (open, a few frames, a seek and a few more), seeks, the exact length scan
// and unprepare. Every position the engine leaves must lie in the file, and
// no section may exceed its buffer.
#include "aac_decode.h"
#include "adts_aac.h"
#include "memory_file.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr int MaxResyncs = 64;

void Searches(FILE* F, size_t Size)
{
    ADTSHeaderType Hdr;
    int32_t Offset;
    ProcessNextADTSHeader(F, &Hdr, &Offset);
    if (Offset >= 0 && static_cast<size_t>(Offset) + 7 > Size)
        __builtin_trap(); // a candidate lies wholly in the data

    // Resynchronise repeatedly, as the exact scan does after lost sync.
    long Pos = 0;
    for (int i = 0; i < MaxResyncs; ++i) {
        if (fseek(F, Pos, SEEK_SET) != 0)
            return;
        GetNextADTSHeader(F, &Hdr, &Offset);
        if (Offset < 0)
            return;
        if (FrameLength(Hdr) < 7 || SampleRate(Hdr) >= 12)
            __builtin_trap(); // a genuine frame always leads on to the next
        Pos += Offset + FrameLength(Hdr);
    }
}

void CheckInFile(const MPEGFileInfoType* Info, size_t Size)
{
    off_t Pos = ftello(Info->Handle);
    if (Pos < 0 || static_cast<uint64_t>(Pos) > Size)
        __builtin_trap();
}

// As the core plays a file: decoder open, decode, seek and reload, decode.
void Decode(MPEGFileInfoType* Info, size_t Size, uint32_t SeekMs)
{
    static const bool HaveDecoder = GetAACSupport() != 0;
    if (!HaveDecoder || !OpenAACDecoder(Info))
        return;
    DecodeSomeAac(Info);
    SeekAAC_ADTSFile(Info, SeekMs);
    PostSeekAACBufferReload(Info);
    CheckInFile(Info, Size);
    DecodeSomeAac(Info);
    CloseAACDecoder(Info);
}

void Engine(const std::string& Path, size_t Size, uint32_t SeekMs)
{
    MPEGFileInfoType* Info = PrepareAAC_ADTSFile(Path.c_str());
    if (!Info)
        return;
    if (Info->SampleRate == 0 || Info->BitRate <= 0 || Info->FirstFrameOffset >= Size ||
        ftello(Info->Handle) != static_cast<off_t>(Info->FirstFrameOffset))
        __builtin_trap();
    Decode(Info, Size, SeekMs);
    for (uint32_t Ms : {SeekMs, Info->TrackLength * 500u, 0u, 0xFFFFFFFFu}) {
        SeekAAC_ADTSFile(Info, Ms);
        CheckInFile(Info, Size);
    }
    ProcessAAC_ADTSForTrackLength(Info);
    UnPrepareAAC_ADTSFile(Info);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    if (FILE* F = fmemopen(const_cast<uint8_t*>(Data), Size, "rb")) {
        Searches(F, Size);
        fclose(F);
    }
    int Fd = MemoryFile("fuzz_adts", Data, Size);
    if (Fd < 0)
        return 0;
    uint32_t SeekMs = Size >= 4 ? static_cast<uint32_t>(Data[0] | Data[1] << 8 | Data[2] << 16) : 0;
    Engine("/proc/self/fd/" + std::to_string(Fd), Size, SeekMs);
    close(Fd);
    return 0;
}
