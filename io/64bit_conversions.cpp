// Conversions between LARGE_INTEGER and double.
#include "64bit_conversions.h"

#include <cmath>

// 2^63 as a double: the first value past the signed 64-bit range.
constexpr double QWordLimit = 9223372036854775808.0;

double QWordToDouble(const LARGE_INTEGER* QWord)
{
    return static_cast<double>(QWord->HighPart) * HighDWordDivisor + static_cast<double>(QWord->LowPart);
}

void DoubleToQWord(double dbl, LARGE_INTEGER* QWord)
{
    if (std::isnan(dbl))
        QWord->QuadPart = 0;
    else if (dbl >= QWordLimit)
        QWord->QuadPart = INT64_MAX;
    else if (dbl <= -QWordLimit)
        QWord->QuadPart = INT64_MIN;
    else
        QWord->QuadPart = static_cast<int64_t>(dbl);
}
