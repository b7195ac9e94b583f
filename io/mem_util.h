// Rounding of sizes and offsets to block boundaries.
#pragma once

#include "int64math.h"

#include <cstdint>

// Rounds *AlignLong up to the next multiple of Boundary (unchanged when it
// already is one, or when Boundary is not positive, or when the rounded value
// would not fit in 32 bits).
void AlignLongToBoundary(uint32_t* AlignLong, int Boundary);
// Rounds *AlignLong down to a multiple of Boundary (unchanged when Boundary
// is not positive).
void AlignLongBackToBoundary(uint32_t* AlignLong, int Boundary);
// Rounds the unsigned 64-bit value up to the next multiple of Boundary, with
// the same exceptions as AlignLongToBoundary.
void AlignQWordToBoundary(LARGE_INTEGER* AlignQWord, int Boundary);
