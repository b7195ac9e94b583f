// Candidate and confirmed frame-header searches over a memory stream.
#include "engines/mpeghdr.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int MaxResyncs = 64;

void Searches(FILE* F, long Start)
{
    MPEGFrameHdrType Hdr;
    int32_t Offset;
    fseek(F, Start, SEEK_SET);
    ProcessNextFrameHeader(F, &Hdr, &Offset);
    if (Offset >= 0)
        CalculateFrameLength(Hdr);

    // Resynchronise repeatedly, as the engine does after decoder errors.
    long Pos = Start;
    for (int i = 0; i < MaxResyncs; ++i) {
        if (fseek(F, Pos, SEEK_SET) != 0)
            return;
        GetNextFrameHeader(F, &Hdr, &Offset);
        if (Offset < 0)
            return;
        uint32_t Len = CalculateFrameLength(Hdr);
        if (Len == 0)
            __builtin_trap(); // a confirmed frame always has a length
        Pos += Offset + Len;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size == 0)
        return 0;
    FILE* F = fmemopen(const_cast<uint8_t*>(Data), Size, "rb");
    if (!F)
        return 0;
    Searches(F, 0);
    Searches(F, static_cast<long>(Data[0] % Size));
    fclose(F);
    return 0;
}
