// Rounding of sizes and offsets to block boundaries.
#include "mem_util.h"

// Value rounded up to a multiple of Boundary, or Value itself when the
// result would pass Limit.
static uint64_t RoundUp(uint64_t Value, uint64_t Boundary, uint64_t Limit)
{
    uint64_t Rest = Value % Boundary;
    if (Rest == 0)
        return Value;
    uint64_t Step = Boundary - Rest;
    return Value > Limit - Step ? Value : Value + Step;
}

void AlignLongToBoundary(uint32_t* AlignLong, int Boundary)
{
    if (Boundary > 0)
        *AlignLong = static_cast<uint32_t>(RoundUp(*AlignLong, static_cast<uint64_t>(Boundary), UINT32_MAX));
}

void AlignLongBackToBoundary(uint32_t* AlignLong, int Boundary)
{
    if (Boundary > 0)
        *AlignLong -= *AlignLong % static_cast<uint32_t>(Boundary);
}

void AlignQWordToBoundary(LARGE_INTEGER* AlignQWord, int Boundary)
{
    if (Boundary > 0) {
        uint64_t Value = static_cast<uint64_t>(AlignQWord->QuadPart);
        AlignQWord->QuadPart = static_cast<int64_t>(RoundUp(Value, static_cast<uint64_t>(Boundary), UINT64_MAX));
    }
}
