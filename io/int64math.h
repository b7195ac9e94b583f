// The platform's two-word 64-bit integer and 64-bit arithmetic on it.
#pragma once

#include <cstdint>

// Low word unsigned, high word signed, overlaid on the native 64-bit value.
union LARGE_INTEGER {
    struct {
        uint32_t LowPart;
        int32_t HighPart;
    };
    struct {
        uint32_t LowPart;
        int32_t HighPart;
    } u;
    int64_t QuadPart;
};

static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is two 32-bit words");

// out = a + b, with carry from the low word into the high word (wraps modulo 2^64).
void QWordAdd(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out);
// out = a - b, with borrow (wraps modulo 2^64).
void QWordSub(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out);
// out = low 64 bits of the signed product a * b.
void QWordMul(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out);
// out = a / b as unsigned 64-bit values, truncated; a zero divisor gives 0.
void QWordDiv(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out);
