// 64-bit arithmetic, double conversions and alignment helpers.
#include "64bit_conversions.h"
#include "int64math.h"
#include "mem_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

LARGE_INTEGER Q(int64_t V)
{
    LARGE_INTEGER L;
    L.QuadPart = V;
    return L;
}

LARGE_INTEGER Words(int32_t High, uint32_t Low)
{
    LARGE_INTEGER L;
    L.HighPart = High;
    L.LowPart = Low;
    return L;
}

constexpr int64_t FiveGiB = 5LL << 30;

} // namespace

TEST(Int64Math, WordsOverlayTheNativeValue)
{
    LARGE_INTEGER L = Words(1, 5);
    EXPECT_EQ(L.QuadPart, 0x100000005LL);
    EXPECT_EQ(L.u.LowPart, 5u);
    EXPECT_EQ(L.u.HighPart, 1);
    L.QuadPart = -1;
    EXPECT_EQ(L.HighPart, -1);
    EXPECT_EQ(L.LowPart, 0xFFFFFFFFu);
}

TEST(Int64Math, AddSubCarryAndBorrowAcrossWords)
{
    LARGE_INTEGER A = Words(0, 0xFFFFFFFFu), B = Q(1), Out;
    QWordAdd(&A, &B, &Out);
    EXPECT_EQ(Out.HighPart, 1);
    EXPECT_EQ(Out.LowPart, 0u);
    QWordSub(&Out, &B, &Out);
    EXPECT_EQ(Out.HighPart, 0);
    EXPECT_EQ(Out.LowPart, 0xFFFFFFFFu);
    LARGE_INTEGER Max = Q(INT64_MAX);
    QWordAdd(&Max, &B, &Out); // wraps, no undefined overflow
    EXPECT_EQ(Out.QuadPart, INT64_MIN);
}

TEST(Int64Math, MulKeepsLow64BitsOfSignedProduct)
{
    LARGE_INTEGER A = Q(-3), B = Q(5), Out;
    QWordMul(&A, &B, &Out);
    EXPECT_EQ(Out.QuadPart, -15);
    LARGE_INTEGER C = Q(0x100000001LL); // (2^32 + 1)^2 = 2^64 + 2^33 + 1
    QWordMul(&C, &C, &Out);
    EXPECT_EQ(Out.QuadPart, (1LL << 33) + 1);
}

TEST(Int64Math, DivIsUnsignedAndTruncates)
{
    LARGE_INTEGER A = Q(FiveGiB), B = Q(176400), Out;
    QWordDiv(&A, &B, &Out);
    EXPECT_EQ(Out.QuadPart, FiveGiB / 176400);
    LARGE_INTEGER AllOnes = Q(-1), Two = Q(2);
    QWordDiv(&AllOnes, &Two, &Out);
    EXPECT_EQ(Out.QuadPart, INT64_MAX);
    LARGE_INTEGER Zero = Q(0);
    QWordDiv(&A, &Zero, &Out);
    EXPECT_EQ(Out.QuadPart, 0);
}

TEST(Int64Conversions, QWordToDoubleWeighsHighWord)
{
    LARGE_INTEGER L = Words(1, 5);
    EXPECT_EQ(QWordToDouble(&L), 4294967301.0);
    L = Words(-1, 0);
    EXPECT_EQ(QWordToDouble(&L), -4294967296.0);
    L = Q(FiveGiB + 3);
    EXPECT_EQ(QWordToDouble(&L), static_cast<double>(FiveGiB + 3));
}

TEST(Int64Conversions, DoubleToQWordTruncatesAndSaturates)
{
    LARGE_INTEGER L;
    DoubleToQWord(4294967301.9, &L);
    EXPECT_EQ(L.HighPart, 1);
    EXPECT_EQ(L.LowPart, 5u);
    DoubleToQWord(529.2, &L);
    EXPECT_EQ(L.QuadPart, 529);
    DoubleToQWord(0.999, &L);
    EXPECT_EQ(L.QuadPart, 0);
    DoubleToQWord(std::ldexp(1.0, 62) + 4096.0, &L);
    EXPECT_EQ(L.QuadPart, (1LL << 62) + 4096);
    DoubleToQWord(1e30, &L);
    EXPECT_EQ(L.QuadPart, INT64_MAX);
    DoubleToQWord(std::numeric_limits<double>::quiet_NaN(), &L);
    EXPECT_EQ(L.QuadPart, 0);
}

TEST(MemUtil, AlignLongUpAndBack)
{
    uint32_t V = 529;
    AlignLongToBoundary(&V, 4);
    EXPECT_EQ(V, 532u);
    AlignLongToBoundary(&V, 4);
    EXPECT_EQ(V, 532u);
    V = 13;
    AlignLongToBoundary(&V, 2);
    EXPECT_EQ(V, 14u);
    V = 0;
    AlignLongToBoundary(&V, 8);
    EXPECT_EQ(V, 0u);
    V = 535;
    AlignLongBackToBoundary(&V, 4);
    EXPECT_EQ(V, 532u);
    // No wrap past 32 bits, no division by a zero boundary.
    V = 0xFFFFFFFFu;
    AlignLongToBoundary(&V, 8);
    EXPECT_EQ(V, 0xFFFFFFFFu);
    V = 7;
    AlignLongToBoundary(&V, 0);
    AlignLongBackToBoundary(&V, 0);
    EXPECT_EQ(V, 7u);
}

TEST(MemUtil, AlignQWordAboveFourGiB)
{
    LARGE_INTEGER L = Q((1LL << 32) + 1);
    AlignQWordToBoundary(&L, 8);
    EXPECT_EQ(L.QuadPart, (1LL << 32) + 8);
    L = Q(FiveGiB + 3);
    AlignQWordToBoundary(&L, 2);
    EXPECT_EQ(L.QuadPart, FiveGiB + 4);
    L = Q(FiveGiB);
    AlignQWordToBoundary(&L, 4);
    EXPECT_EQ(L.QuadPart, FiveGiB);
    L = Q(-1); // the largest unsigned value cannot be rounded up
    AlignQWordToBoundary(&L, 8);
    EXPECT_EQ(L.QuadPart, -1);
}
