// Frame header fields, rates, frame lengths and the two header searches.
#include "engines/mpeghdr.h"

#include "support/host.h"
#include "support/mpeg_fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace zebtest;

namespace {

const uint8_t Mpeg1L3_128k[4] = {0xFF, 0xFB, 0x90, 0x64}; // 417 bytes
const uint8_t Mpeg1L3_160k[4] = {0xFF, 0xFB, 0xA0, 0x64}; // 522 bytes
const uint8_t Mpeg1L2_128k[4] = {0xFF, 0xFD, 0x80, 0x04}; // 417 bytes

MPEGFrameHdrType Hdr(uint8_t B0, uint8_t B1, uint8_t B2, uint8_t B3)
{
    const uint8_t B[4] = {B0, B1, B2, B3};
    return FrameHdrFromBytes(B);
}

// A memory stream over a copy of Bytes, closed with the object.
struct MemStream {
    std::vector<uint8_t> Bytes;
    FILE* F;
    explicit MemStream(std::vector<uint8_t> B) : Bytes(std::move(B))
    {
        F = fmemopen(Bytes.data(), Bytes.size(), "rb");
    }
    ~MemStream() { fclose(F); }
};

void Append(std::vector<uint8_t>& To, const std::vector<uint8_t>& More)
{
    To.insert(To.end(), More.begin(), More.end());
}

int32_t Candidate(std::vector<uint8_t> Bytes, MPEGFrameHdrType* Found = nullptr)
{
    MemStream S(std::move(Bytes));
    MPEGFrameHdrType H{0};
    int32_t Off = 0;
    ProcessNextFrameHeader(S.F, &H, &Off);
    if (Found)
        *Found = H;
    return Off;
}

int32_t Confirmed(std::vector<uint8_t> Bytes, long Start = 0, MPEGFrameHdrType* Found = nullptr)
{
    MemStream S(std::move(Bytes));
    fseek(S.F, Start, SEEK_SET);
    MPEGFrameHdrType H{0};
    int32_t Off = 0;
    GetNextFrameHeader(S.F, &H, &Off);
    if (Found)
        *Found = H;
    return Off;
}

} // namespace

TEST(FrameHeader, FieldsOfFFFB9064)
{
    uint32_t Raw;
    std::memcpy(&Raw, Mpeg1L3_128k, 4);
    lword_swap(&Raw);
    MPEGFrameHdrType H{Raw};
    EXPECT_EQ(H.Word, 0xFFFB9064u);
    EXPECT_EQ(H.SyncBits(), 0x7FFu);
    EXPECT_EQ(H.VersionId(), VersionMpeg1);
    EXPECT_EQ(H.LayerDesc(), LayerIII);
    EXPECT_EQ(H.Protection(), 1u);
    EXPECT_EQ(H.BitRate(), 9u);
    EXPECT_EQ(H.SampleRate(), 0u);
    EXPECT_EQ(H.Padding(), 0u);
    EXPECT_EQ(H.Channel(), 1u);
    EXPECT_EQ(H.ModeExt(), 2u);
    EXPECT_EQ(H.Emphasis(), 0u);
    EXPECT_EQ(BitRateFromFrameHdr(H), 128000);
    EXPECT_EQ(SampleRateFromFrameHdr(H), 44100);
    EXPECT_EQ(CalculateFrameLength(H), 417u);
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFB, 0x92, 0x64)), 418u); // padded
}

TEST(FrameHeader, LengthsPerLayerAndVersion)
{
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xF3, 0x80, 0xC4)), 208u); // MPEG-2 L3 64k 22050
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFF, 0x18, 0x00)), 48u);  // L1 32k 32000
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFF, 0x1A, 0x00)), 52u);  // with padding
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFD, 0x80, 0x04)), 417u); // MPEG-1 L2 128k
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xE3, 0x18, 0xC4)), 72u);  // MPEG-2.5 L3 8k 8000
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xF5, 0x88, 0xC4)), 576u); // MPEG-2 L2 64k 16000
    EXPECT_EQ(SampleRateFromFrameHdr(Hdr(0xFF, 0xE3, 0x04, 0x00)), 12000);
    EXPECT_EQ(SampleRateFromFrameHdr(Hdr(0xFF, 0xF3, 0x08, 0x00)), 16000);
    EXPECT_EQ(SamplesPerFrameFromHdr(Hdr(0xFF, 0xF3, 0x80, 0xC4)), 576u);
    EXPECT_EQ(SamplesPerFrameFromHdr(Hdr(0xFF, 0xF5, 0x80, 0xC4)), 1152u);
    EXPECT_EQ(SamplesPerFrameFromHdr(Hdr(0xFF, 0xFF, 0x18, 0x00)), 384u);
}

TEST(FrameHeader, IsoBitRateColumns)
{
    // Index 13 of every column, and the MPEG-2 Layer I row that differs most.
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xFF, 0xD0, 0)), 416000); // MPEG-1 L1
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xFD, 0xD0, 0)), 320000); // MPEG-1 L2
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xFB, 0xD0, 0)), 256000); // MPEG-1 L3
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xF7, 0xD0, 0)), 224000); // MPEG-2 L1
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xF5, 0xD0, 0)), 144000); // MPEG-2 L2
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xE3, 0xD0, 0)), 144000); // MPEG-2.5 L3
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xF7, 0x90, 0)), 144000); // MPEG-2 L1 index 9
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xFD, 0x20, 0)), 48000);  // MPEG-1 L2 index 2
}

TEST(FrameHeader, UnusableHeadersHaveNoLength)
{
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFB, 0x00, 0x64)), 0u); // free format
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFB, 0xF0, 0x64)), 0u); // index 15
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xFB, 0x9C, 0x64)), 0u); // reserved rate
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xEB, 0x90, 0x64)), 0u); // reserved version
    EXPECT_EQ(CalculateFrameLength(Hdr(0xFF, 0xF9, 0x90, 0x64)), 0u); // reserved layer
    EXPECT_EQ(BitRateFromFrameHdr(Hdr(0xFF, 0xFB, 0xF0, 0x64)), 0);
    EXPECT_EQ(SampleRateFromFrameHdr(Hdr(0xFF, 0xEB, 0x90, 0x64)), 0);
}

TEST(CandidateSearch, OffsetCountsLeadingBytes)
{
    std::vector<uint8_t> B(333, 0x00);
    Append(B, SyntheticFrames(Mpeg1L3_128k, 417, 1));
    MPEGFrameHdrType H;
    EXPECT_EQ(Candidate(B, &H), 333);
    EXPECT_EQ(H.Word, 0xFFFB9064u);
}

TEST(CandidateSearch, DoubleSyncByteHidesTheHeader)
{
    // FF FF FB 90 64: the second FF is taken as byte 1, FB fails as byte 2,
    // and the search goes on past the real header.
    std::vector<uint8_t> B = {0xFF};
    Append(B, SyntheticFrames(Mpeg1L3_128k, 417, 6));
    EXPECT_EQ(Candidate(B), 1 + 417);
    EXPECT_EQ(Confirmed(B), 1 + 417);
}

TEST(CandidateSearch, HeaderSplitAcrossReadsIsFound)
{
    for (size_t Lead = 1019; Lead <= 1024; ++Lead) {
        std::vector<uint8_t> B(Lead, 0x11);
        Append(B, SyntheticFrames(Mpeg1L3_128k, 417, 5));
        MPEGFrameHdrType H;
        EXPECT_EQ(Candidate(B, &H), static_cast<int32_t>(Lead)) << Lead;
        EXPECT_EQ(H.Word, 0xFFFB9064u) << Lead;
        EXPECT_EQ(Confirmed(B), static_cast<int32_t>(Lead)) << Lead;
    }
}

TEST(CandidateSearch, ReservedVersionOrLayerNeverCompletes)
{
    std::vector<uint8_t> B;
    for (int i = 0; i < 3000; ++i)
        Append(B, {0xFF, static_cast<uint8_t>(i % 2 ? 0xE8 : 0xF9), 0x90, 0x64});
    EXPECT_EQ(Candidate(B), -1);
    EXPECT_EQ(Candidate({}), -1);
}

TEST(ConfirmedSearch, NeedsFourConsecutiveFrames)
{
    EXPECT_EQ(Confirmed(SyntheticFrames(Mpeg1L3_128k, 417, 3)), -1);
    EXPECT_EQ(Confirmed(SyntheticFrames(Mpeg1L3_128k, 417, 4)), 0);
}

TEST(ConfirmedSearch, ToleratesBitRateChangesButNotLayer)
{
    std::vector<uint8_t> Varied = SyntheticFrames(Mpeg1L3_128k, 417, 1);
    Append(Varied, SyntheticFrames(Mpeg1L3_160k, 522, 1));
    Append(Varied, SyntheticFrames(Mpeg1L3_128k, 417, 2));
    EXPECT_EQ(Confirmed(Varied), 0);

    std::vector<uint8_t> Mixed = SyntheticFrames(Mpeg1L3_128k, 417, 1);
    Append(Mixed, SyntheticFrames(Mpeg1L2_128k, 417, 4));
    EXPECT_EQ(Confirmed(Mixed), 417); // the Layer II run from its first frame
}

TEST(ConfirmedSearch, FalseCandidateIsSkippedAndDistanceCountsFromStart)
{
    // A lone header-like pattern in junk, then real frames.
    std::vector<uint8_t> B(200, 0x00);
    Append(B, {0xFF, 0xFB, 0x90, 0x64});
    B.resize(900, 0x00);
    Append(B, SyntheticFrames(Mpeg1L3_128k, 417, 4));
    EXPECT_EQ(Confirmed(B), 900);
    EXPECT_EQ(Confirmed(B, 100), 800);
    // Starting inside the last three frames finds nothing.
    EXPECT_EQ(Confirmed(B, 901), -1);
}

TEST(ConfirmedSearch, RealEncodersChainExactlyToTheEnd)
{
    // Walking an encoder's output frame by frame must end exactly at the end
    // of the file: this checks the rate tables over every rate they use.
    struct Case {
        std::string Path;
        uint32_t Rate;
    };
    std::vector<Case> Cases = {
        {LameFixture("hdr_v1_vbr.mp3", 8, 2, 44100, "-V 0 -t"), 44100},
        {LameFixture("hdr_v1_vbr32.mp3", 8, 2, 32000, "-V 9 -t --resample 32"), 32000},
        {LameFixture("hdr_v2_vbr.mp3", 8, 1, 22050, "-V 2 -t"), 22050},
        {LameFixture("hdr_v2_vbr16.mp3", 8, 2, 16000, "-V 0 -t"), 16000},
        {LameFixture("hdr_v25_vbr.mp3", 8, 1, 11025, "-V 0 -t"), 11025},
        {LameFixture("hdr_v25_8k.mp3", 8, 1, 8000, "-V 5 -t"), 8000},
        {FfmpegFixture("hdr_mp2_384.mp2", 4, 2, 48000, "-c:a mp2 -b:a 384k -f mp2"), 48000},
        {FfmpegFixture("hdr_mp2_24k.mp2", 4, 1, 24000, "-c:a mp2 -b:a 64k -f mp2"), 24000},
    };
    for (const Case& C : Cases) {
        if (C.Path.empty())
            GTEST_SKIP() << "lame or ffmpeg missing";
        std::vector<uint8_t> Bytes = ReadFile(C.Path);
        MemStream S(Bytes);
        MPEGFrameHdrType H;
        int32_t Off;
        GetNextFrameHeader(S.F, &H, &Off);
        ASSERT_EQ(Off, 0) << C.Path;
        size_t Pos = 0;
        int Frames = 0;
        while (Pos + 4 <= Bytes.size()) {
            MPEGFrameHdrType F = FrameHdrFromBytes(&Bytes[Pos]);
            ASSERT_EQ(F.SyncBits(), FrameSyncBits) << C.Path << " at " << Pos;
            ASSERT_EQ(SampleRateFromFrameHdr(F), static_cast<int>(C.Rate)) << C.Path;
            uint32_t Len = CalculateFrameLength(F);
            ASSERT_GT(Len, 0u) << C.Path;
            Pos += Len;
            ++Frames;
        }
        EXPECT_EQ(Pos, Bytes.size()) << C.Path;
        EXPECT_GT(Frames, 20) << C.Path;
    }
}
