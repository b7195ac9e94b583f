// Conversions between LARGE_INTEGER and double.
#pragma once

#include "int64math.h"

// 2^32: the weight of the high word.
constexpr double HighDWordDivisor = 4294967296.0;

// High word * 2^32 + low word.
double QWordToDouble(const LARGE_INTEGER* QWord);
// Truncates toward zero; exact for non-negative values below 2^63. Values
// outside the range of a signed 64-bit integer saturate, NaN gives 0.
void DoubleToQWord(double dbl, LARGE_INTEGER* QWord);
