// 64-bit arithmetic on LARGE_INTEGER, done in unsigned native integers so
// that wrap-around is defined.
#include "int64math.h"

static uint64_t Unsigned(const LARGE_INTEGER* Value)
{
    return static_cast<uint64_t>(Value->QuadPart);
}

static void Store(uint64_t Value, LARGE_INTEGER* Out)
{
    Out->QuadPart = static_cast<int64_t>(Value);
}

void QWordAdd(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out)
{
    Store(Unsigned(a) + Unsigned(b), out);
}

void QWordSub(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out)
{
    Store(Unsigned(a) - Unsigned(b), out);
}

void QWordMul(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out)
{
    // The low 64 bits of a two's-complement product do not depend on signedness.
    Store(Unsigned(a) * Unsigned(b), out);
}

void QWordDiv(const LARGE_INTEGER* a, const LARGE_INTEGER* b, LARGE_INTEGER* out)
{
    uint64_t Divisor = Unsigned(b);
    Store(Divisor ? Unsigned(a) / Divisor : 0, out);
}
