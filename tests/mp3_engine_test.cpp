// MPEG engine: ID3 skipping, preparation (CBR, Xing, VBRI), seeking,
// resynchronisation, the exact length scan and the bit-rate correction.
#include "core/mpglibdll.h"
#include "engines/mp3_engine.h"
#include "engines/mpeghdr.h"
#include "zeb-audio.h"

#include "support/host.h"
#include "support/mpeg_fixtures.h"
#include "support/returns_within.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace zebtest;

namespace {

const uint8_t Mpeg1Stereo[4] = {0xFF, 0xFB, 0x90, 0x64};   // 128k 44100, 417 bytes
const uint8_t Mpeg1Padded[4] = {0xFF, 0xFB, 0x92, 0x64};   // 418 bytes
const uint8_t Mpeg1Mono[4] = {0xFF, 0xFB, 0x90, 0xC4};     // 417 bytes
const uint8_t Mpeg2Stereo[4] = {0xFF, 0xF3, 0x80, 0x44};   // 64k 22050, 208 bytes
const uint8_t Mpeg2Mono[4] = {0xFF, 0xF3, 0x80, 0xC4};     // 208 bytes
const uint8_t Mpeg25Mono8k[4] = {0xFF, 0xE3, 0x18, 0xC4};  // 8k 8000, 72 bytes
constexpr uint32_t Len128k = 417;

void Append(std::vector<uint8_t>& To, const std::vector<uint8_t>& More)
{
    To.insert(To.end(), More.begin(), More.end());
}

struct Xing {
    uint32_t Offset;
    int Flags;
    uint32_t Frames = 0;
    uint32_t Bytes = 0;
    bool LinearToc = false;
};

std::vector<uint8_t> XingFrame(const uint8_t Hdr[4], uint32_t FrameLen, const Xing& X)
{
    std::vector<uint8_t> F = SyntheticFrames(Hdr, FrameLen, 1);
    size_t At = X.Offset;
    std::memcpy(&F[At], "Xing", 4);
    PutBE32(F, At + 4, static_cast<uint32_t>(X.Flags));
    At += 8;
    if (X.Flags & 1) {
        PutBE32(F, At, X.Frames);
        At += 4;
    }
    if (X.Flags & 2) {
        PutBE32(F, At, X.Bytes);
        At += 4;
    }
    if (X.Flags & 4)
        for (int i = 0; i < 100; ++i)
            F[At++] = X.LinearToc ? static_cast<uint8_t>(i * 256 / 100) : 0;
    return F;
}

struct Prepared {
    MPEGFileInfoType* Info;
    explicit Prepared(const std::string& Path) : Info(PrepareMPEGFile(Path.c_str())) {}
    ~Prepared() { UnPrepareMPEGFile(Info); }
    long Pos() const { return ftell(Info->Handle); }
};

// Offsets of every frame from the first one on, by walking frame lengths.
std::vector<long> FrameOffsets(const std::vector<uint8_t>& Bytes, size_t First)
{
    std::vector<long> Out;
    size_t Pos = First;
    while (Pos + 4 <= Bytes.size()) {
        MPEGFrameHdrType H = FrameHdrFromBytes(&Bytes[Pos]);
        uint32_t Len = CalculateFrameLength(H);
        if (H.SyncBits() != FrameSyncBits || Len == 0)
            break;
        Out.push_back(static_cast<long>(Pos));
        Pos += Len;
    }
    return Out;
}

// Seconds before the frame at Offset, for frames of SamplesPerFrame at Rate.
double TimeAt(const std::vector<long>& Offsets, long Offset, uint32_t SamplesPerFrame, uint32_t Rate)
{
    auto It = std::find(Offsets.begin(), Offsets.end(), Offset);
    EXPECT_NE(It, Offsets.end()) << "not a frame boundary: " << Offset;
    return static_cast<double>(It - Offsets.begin()) * SamplesPerFrame / Rate;
}

// 4,000,000 bytes of 128 kbit/s frames after a 1000-byte ID3v2 tag.
std::vector<uint8_t> FourMillionCbr(const uint8_t FirstHdr[4], uint32_t FirstLen)
{
    std::vector<uint8_t> B = ID3TagBytes(1000);
    Append(B, SyntheticFrames(FirstHdr, FirstLen, 1));
    uint32_t Rest = (4000000 - FirstLen) / Len128k;
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, Rest));
    B.resize(1010 + 4000000, 0);
    return B;
}

std::string FfprobePackets(const std::string& Path)
{
    std::string Out = Path + ".packets";
    if (!Run("ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" +
             Path + "' > '" + Out + "'"))
        return "";
    std::vector<uint8_t> B = ReadFile(Out);
    std::remove(Out.c_str());
    std::string S(B.begin(), B.end());
    S.erase(std::remove_if(S.begin(), S.end(), [](char c) { return c < '0' || c > '9'; }), S.end());
    return S;
}

// Sample frames per channel that the player's decoder makes of the stream
// from First on, fed in blocks as the player feeds it.
uint64_t DecodedSamples(const std::vector<uint8_t>& Bytes, size_t First, uint16_t Channels)
{
    static mpstr State;
    EXPECT_EQ(InitMP3(&State), 1);
    std::vector<char> Out(1 << 16);
    uint64_t PcmBytes = 0;
    for (size_t At = First; At < Bytes.size(); At += 4096) {
        int Len = static_cast<int>(std::min<size_t>(4096, Bytes.size() - At));
        int Done = 0;
        const char* In = reinterpret_cast<const char*>(&Bytes[At]);
        for (int Stat = decodeMP3(&State, In, Len, Out.data(), static_cast<int>(Out.size()), &Done);
             Stat == MP3_OK; Stat = decodeMP3(&State, nullptr, 0, Out.data(), static_cast<int>(Out.size()), &Done))
            PcmBytes += static_cast<uint64_t>(Done);
    }
    ExitMP3(&State);
    return PcmBytes / 2 / Channels;
}

} // namespace

// ---- ID3v2 tags ----

TEST(ID3Tag, SizeIsSynchsafePlusHeader)
{
    std::vector<uint8_t> B = ID3TagBytes(1000);
    EXPECT_EQ(B[6], 0x00);
    EXPECT_EQ(B[8], 0x07);
    EXPECT_EQ(B[9], 0x68);
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 4));
    FILE* F = fmemopen(B.data(), B.size(), "rb");
    EXPECT_EQ(ParseID3Tag(F), 1010u);
    EXPECT_EQ(ftell(F), 1010);
    fclose(F);
}

TEST(ID3Tag, AbsentTagRewinds)
{
    std::vector<uint8_t> B = SyntheticFrames(Mpeg1Stereo, Len128k, 4);
    FILE* F = fmemopen(B.data(), B.size(), "rb");
    EXPECT_EQ(ParseID3Tag(F), 0u);
    EXPECT_EQ(ftell(F), 0);
    fclose(F);

    std::vector<uint8_t> Lower = {'i', 'd', '3', 3, 0, 0, 0, 0, 0, 10, 0, 0};
    F = fmemopen(Lower.data(), Lower.size(), "rb");
    EXPECT_EQ(ParseID3Tag(F), 0u);
    EXPECT_EQ(ftell(F), 0);
    fclose(F);

    std::vector<uint8_t> Short = {'I', 'D', '3', 3};
    F = fmemopen(Short.data(), Short.size(), "rb");
    EXPECT_EQ(ParseID3Tag(F), 0u);
    EXPECT_EQ(ftell(F), 0);
    fclose(F);
}

TEST(ID3Tag, TagLongerThanTheFileIsIgnored)
{
    std::vector<uint8_t> B = ID3TagBytes(100);
    B[6] = 0x7F; // announces about 256 MB
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 5));
    std::string Path = WritePrivateFixture("id3_huge.mp3", B);
    FILE* F = fopen(Path.c_str(), "rb");
    EXPECT_EQ(ParseID3Tag(F), 0u);
    EXPECT_EQ(ftell(F), 0);
    fclose(F);
    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->FirstFrameOffset, 110u);
}

// ---- Preparation ----

TEST(PrepareMPEG, ConstantBitRateArithmetic)
{
    Prepared P(WritePrivateFixture("cbr4m.mp3", FourMillionCbr(Mpeg1Stereo, Len128k)));
    ASSERT_NE(P.Info, nullptr);
    const MPEGFileInfoType& I = *P.Info;
    EXPECT_EQ(I.FirstFrameOffset, 1010u);
    EXPECT_EQ(I.FrameSize, 417u);
    EXPECT_EQ(I.FileLength, 4000000u);
    EXPECT_EQ(I.FrameCount, 9592u);
    EXPECT_EQ(I.TrackLength, 250u);
    EXPECT_EQ(I.TotalSamples, 250u * 44100);
    EXPECT_EQ(I.BitRate, 128000);
    EXPECT_EQ(I.VBRFlag, 0);
    EXPECT_EQ(I.SampleRate, 44100u);
    EXPECT_EQ(I.SamplesPerFrame, 1152u);
    EXPECT_EQ(I.Channels, 2);
    EXPECT_EQ(I.BytesPerSample, 2);
    EXPECT_NE(I.CVbri, nullptr);
    EXPECT_EQ(P.Pos(), 1010);

    Prepared Padded(WritePrivateFixture("cbr4m_pad.mp3", FourMillionCbr(Mpeg1Padded, 418)));
    ASSERT_NE(Padded.Info, nullptr);
    EXPECT_EQ(Padded.Info->FrameSize, 418u);
}

TEST(PrepareMPEG, XingFrameCountGivesLength)
{
    std::vector<uint8_t> B = XingFrame(Mpeg1Stereo, Len128k, {36, 3, 10000, 4000000});
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 9593));
    Prepared P(WritePrivateFixture("xing_frames.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->TrackLength, 261u); // 10000 * 1152 / 44100
    EXPECT_EQ(P.Info->FrameCount, 10000u);
    EXPECT_EQ(P.Info->VBRFlag, 4);
    EXPECT_EQ(P.Info->FileLength, 4000000u);
    EXPECT_EQ(P.Info->BitRate, 122500); // 400 bytes a frame
    EXPECT_EQ(P.Pos(), 0);
}

TEST(PrepareMPEG, XingByteCountIsKeptUnlessZero)
{
    // A count beyond the file (a partial download) still lays out the
    // stream; a seek into the part that is missing ends it.
    std::vector<uint8_t> B = XingFrame(Mpeg1Stereo, Len128k, {36, 3, 100, 0xFFFFFFF0u});
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 99));
    Prepared P(WritePrivateFixture("xing_bytes.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->FileLength, 0xFFFFFFF0u);
    EXPECT_EQ(P.Info->TrackLength, 2u); // 100 * 1152 / 44100
    EXPECT_GT(P.Info->BitRate, 0);
    SeekMPEGFile(P.Info, 1000);
    EXPECT_EQ(P.Pos(), static_cast<long>(B.size()));
    EXPECT_EQ(LocateNextFrame(P.Info), 0);
    SeekMPEGFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), 0);
    EXPECT_EQ(UpdateMPEGForVBRTrackLength(P.Info), 0);

    // A count of 0 says nothing: the file's size stands in.
    B = XingFrame(Mpeg1Stereo, Len128k, {36, 3, 100, 0});
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 99));
    Prepared Zero(WritePrivateFixture("xing_bytes0.mp3", B));
    ASSERT_NE(Zero.Info, nullptr);
    EXPECT_EQ(Zero.Info->FileLength, B.size());
    EXPECT_EQ(Zero.Info->BitRate, 417 * 8 * 44100 / 1152);
    SeekMPEGFile(Zero.Info, 1000);
    EXPECT_EQ(Zero.Pos() % Len128k, 0);
    EXPECT_LT(Zero.Pos(), static_cast<long>(B.size()));
}

TEST(PrepareMPEG, XingTableOfContentsDrivesSeeking)
{
    std::vector<uint8_t> B = XingFrame(Mpeg1Stereo, Len128k, {36, 7, 10000, 8000, true});
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 20));
    Prepared P(WritePrivateFixture("xing_toc.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 5);
    EXPECT_EQ(P.Info->BitRate, 0);
    EXPECT_EQ(P.Info->FileLength, 8000u);
    EXPECT_EQ(P.Info->XingVBRTOC[50], 128);
}

TEST(PrepareMPEG, XingOffsetDependsOnVersionAndChannels)
{
    struct Case {
        const uint8_t* Hdr;
        uint32_t Len, Offset, Frames, Length, SamplesPerFrame;
        uint16_t Channels;
    } Cases[] = {
        {Mpeg1Stereo, 417, 36, 10000, 261, 1152, 2},
        {Mpeg1Mono, 417, 21, 10000, 261, 1152, 1},
        {Mpeg2Stereo, 208, 21, 1000, 26, 576, 2},
        {Mpeg2Mono, 208, 13, 1000, 26, 576, 1},
    };
    for (const Case& C : Cases) {
        std::vector<uint8_t> B = XingFrame(C.Hdr, C.Len, {C.Offset, 1, C.Frames});
        Append(B, SyntheticFrames(C.Hdr, C.Len, 10));
        Prepared P(WritePrivateFixture("xing_at.mp3", B));
        ASSERT_NE(P.Info, nullptr);
        EXPECT_EQ(P.Info->TrackLength, C.Length) << C.Offset;
        EXPECT_EQ(P.Info->VBRFlag, 4) << C.Offset;
        EXPECT_EQ(P.Info->SamplesPerFrame, C.SamplesPerFrame);
        EXPECT_EQ(P.Info->Channels, C.Channels);
    }
    // At the stereo offset in a mono frame it is not a Xing header.
    std::vector<uint8_t> B = XingFrame(Mpeg1Mono, 417, {36, 1, 10000});
    Append(B, SyntheticFrames(Mpeg1Mono, 417, 10));
    Prepared P(WritePrivateFixture("xing_wrong.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 0);
    EXPECT_EQ(P.Info->BitRate, 128000);
}

TEST(PrepareMPEG, XingPastTheFrameIsAbsent)
{
    // A 72-byte frame cannot hold a table of contents at offset 13.
    std::vector<uint8_t> B = SyntheticFrames(Mpeg25Mono8k, 72, 1);
    std::memcpy(&B[13], "Xing", 4);
    B[20] = 7; // frames, bytes, table of contents
    B[24] = 0x7F;
    Append(B, SyntheticFrames(Mpeg25Mono8k, 72, 200));
    Prepared P(WritePrivateFixture("xing_short.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 0);
    EXPECT_EQ(P.Info->SampleRate, 8000u);
    EXPECT_EQ(P.Info->SamplesPerFrame, 576u);
    EXPECT_EQ(P.Info->TrackLength, 201u * 72 * 8 / 8000);
}

TEST(PrepareMPEG, RefusesWhatHoldsNoFourFrames)
{
    EXPECT_EQ(PrepareMPEGFile("/nonexistent/zeb/file.mp3"), nullptr);
    EXPECT_EQ(PrepareMPEGFile(nullptr), nullptr);
    EXPECT_EQ(PrepareMPEGFile(WritePrivateFixture("empty.mp3", {}).c_str()), nullptr);
    EXPECT_EQ(PrepareMPEGFile(WritePrivateFixture("three.mp3", SyntheticFrames(Mpeg1Stereo, 417, 3)).c_str()),
              nullptr);
    EXPECT_EQ(PrepareMPEGFile(WritePrivateFixture("tagonly.mp3", ID3TagBytes(3000)).c_str()), nullptr);
}

TEST(PrepareMPEG, RefusesWhatIsNotARegularFile)
{
    // A FIFO without a writer must not block the open.
    std::string Fifo = FixturePath(std::to_string(getpid()) + "_nowriter.mp3");
    unlink(Fifo.c_str());
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    EXPECT_TRUE(ReturnsWithin(20000, [Fifo] { EXPECT_EQ(PrepareMPEGFile(Fifo.c_str()), nullptr); }));
    unlink(Fifo.c_str());
    EXPECT_EQ(PrepareMPEGFile(FixtureDir().c_str()), nullptr);
}

// ---- Seeking ----

TEST(SeekMPEG, ConstantBitRateStartsOneFrameEarly)
{
    Prepared P(WritePrivateFixture("cbr_seek.mp3", FourMillionCbr(Mpeg1Stereo, Len128k)));
    ASSERT_NE(P.Info, nullptr);
    SeekMPEGFile(P.Info, 10000);
    // 160000 - 417 = 159583, then forward to the next frame boundary.
    EXPECT_EQ(P.Pos(), 1010 + 383 * 417);
    SeekMPEGFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), 1010);
    SeekMPEGFile(P.Info, 400000);
    EXPECT_EQ(P.Pos(), 1010 + 4000000);
    EXPECT_EQ(LocateNextFrame(P.Info), 0);
    EXPECT_EQ(P.Pos(), 1010 + 4000000);
}

TEST(SeekMPEG, XingTableThenWalksTheRemainder)
{
    // 200.02 s (7657 frames of 1152/44100 s) behind a tag, linear table.
    std::vector<uint8_t> Audio = XingFrame(Mpeg1Stereo, Len128k, {36, 7, 7657, 0, true});
    Append(Audio, SyntheticFrames(Mpeg1Stereo, Len128k, 7700));
    PutBE32(Audio, 36 + 12, static_cast<uint32_t>(Audio.size()));
    std::vector<uint8_t> B = ID3TagBytes(500);
    Append(B, Audio);
    Prepared P(WritePrivateFixture("xing_seek.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    ASSERT_EQ(P.Info->TrackLength, 200u);
    ASSERT_EQ(P.Info->VBRFlag, 5);

    EXPECT_EQ(P.Info->TotalSamples, 7657u * 1152);
    SeekMPEGFile(P.Info, 91000); // 45.496 % of the exact length
    long TocPos = static_cast<long>(P.Info->XingVBRTOC[45] / 256.0 * Audio.size());
    long StartFrame = (TocPos + Len128k - 1) / Len128k;
    // The remaining 0.496 % of 200.02 s, 0.992 s, are 38 frames.
    EXPECT_EQ(P.Pos(), 510 + (StartFrame + 38) * static_cast<long>(Len128k));

    SeekMPEGFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), 510);
}

TEST(SeekMPEG, XingTableOfAShortTrackUsesTheFirstEntry)
{
    std::vector<uint8_t> B = XingFrame(Mpeg1Stereo, Len128k, {36, 5, 5, 0, true});
    Append(B, SyntheticFrames(Mpeg1Stereo, Len128k, 10));
    Prepared P(WritePrivateFixture("xing_tiny.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->TrackLength, 0u);
    EXPECT_EQ(P.Info->VBRFlag, 5);
    SeekMPEGFile(P.Info, 500);
    EXPECT_EQ(P.Pos() % Len128k, 0);
    EXPECT_LE(P.Pos(), static_cast<long>(B.size()));
}

TEST(SeekMPEG, LocateNextFrameResynchronises)
{
    std::vector<uint8_t> B = SyntheticFrames(Mpeg1Stereo, Len128k, 6);
    B.insert(B.begin() + 2 * Len128k, 100, 0x55); // junk after two frames
    Prepared P(WritePrivateFixture("resync.mp3", B));
    ASSERT_NE(P.Info, nullptr);
    fseek(P.Info->Handle, 500, SEEK_SET);
    EXPECT_EQ(LocateNextFrame(P.Info), 1);
    EXPECT_EQ(P.Pos(), 2 * 417 + 100);
    fseek(P.Info->Handle, 3 * 417 + 101, SEEK_SET); // inside the last three
    EXPECT_EQ(LocateNextFrame(P.Info), 0);
    EXPECT_EQ(P.Pos(), static_cast<long>(B.size()));
}

// ---- Bit-rate correction ----

TEST(AvgBitRate, CorrectsOnlyBeyondTenPercent)
{
    MPEGFileInfoType I = {};
    I.TrackLength = 250;
    I.BitRate = 128000;
    AvgBitRate(&I, 200); // 20 % shorter
    EXPECT_EQ(I.BitRate, 160000);
    I.BitRate = 128000;
    AvgBitRate(&I, 240);
    EXPECT_EQ(I.BitRate, 128000);
    AvgBitRate(&I, 0);
    EXPECT_EQ(I.BitRate, 128000);
    I.BitRate = 0;
    AvgBitRate(&I, 100);
    EXPECT_EQ(I.BitRate, 0);
    I.TrackLength = 0xFFFFFFFF;
    I.BitRate = 320000;
    AvgBitRate(&I, 1);
    EXPECT_GT(I.BitRate, 0);
}

// ---- Real encoder output ----

TEST(RealFiles, ConstantBitRateLame)
{
    std::string Path = LameFixture("eng_cbr128.mp3", 10, 2, 44100, "--cbr -b 128");
    if (Path.empty())
        GTEST_SKIP() << "lame missing";
    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 0);
    EXPECT_EQ(P.Info->BitRate, 128000);
    EXPECT_EQ(P.Info->SampleRate, 44100u);
    EXPECT_EQ(P.Info->TrackLength, 10u);
    MPEGFileInfoType Before = *P.Info;
    EXPECT_EQ(UpdateMPEGForVBRTrackLength(P.Info), 0);
    EXPECT_EQ(P.Info->VBRFlag, Before.VBRFlag);
    EXPECT_EQ(P.Info->BitRate, Before.BitRate);
    EXPECT_EQ(P.Info->TrackLength, Before.TrackLength);
    EXPECT_EQ(P.Info->FrameCount, Before.FrameCount);
}

TEST(RealFiles, VariableBitRateWithXing)
{
    std::string Path = LameFixture("eng_vbr_xing.mp3", 20, 2, 44100, "-V 2");
    if (Path.empty())
        GTEST_SKIP() << "lame missing";
    std::vector<uint8_t> Bytes = ReadFile(Path);
    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 5);
    EXPECT_EQ(P.Info->BitRate, 0);
    EXPECT_EQ(P.Info->TrackLength, 20u);
    EXPECT_EQ(UpdateMPEGForVBRTrackLength(P.Info), 0);

    std::vector<long> Offsets = FrameOffsets(Bytes, P.Info->FirstFrameOffset);
    for (uint32_t Ms : {3000u, 9100u, 15500u}) {
        SeekMPEGFile(P.Info, Ms);
        // The Xing frame itself plays no audio: count from the next one.
        double T = TimeAt(Offsets, P.Pos(), 1152, 44100) - 1152.0 / 44100;
        EXPECT_NEAR(T, Ms / 1000.0, 0.3) << Ms;
    }
    EXPECT_EQ(P.Info->TotalSamples, DecodedSamples(Bytes, P.Info->FirstFrameOffset, 2));

    // The table maps percents of the exact length: half of 2.9 s is 1.45 s,
    // not 72 % of the file as half of the whole-second length would be.
    std::string Short = LameFixture("eng_vbr_xing_2_9.mp3", 2.9, 2, 44100, "-V 2");
    Prepared S(Short);
    ASSERT_NE(S.Info, nullptr);
    ASSERT_EQ(S.Info->VBRFlag, 5);
    EXPECT_EQ(S.Info->TrackLength, 2u);
    SeekMPEGFile(S.Info, TrackMilliseconds(S.Info) / 2);
    Offsets = FrameOffsets(ReadFile(Short), S.Info->FirstFrameOffset);
    double Half = TimeAt(Offsets, S.Pos(), 1152, 44100) - 1152.0 / 44100;
    EXPECT_NEAR(Half, TrackMilliseconds(S.Info) / 2000.0, 0.1);
}

// A constant-bit-rate stream whose first frame holds an "Info" header, coded
// at a higher bit rate than the stream so that the header fits in it (56
// kbit/s before frames of 32 kbit/s at 22.05 kHz mono, as ffmpeg writes it).
TEST(RealFiles, InfoHeaderOfAConstantBitRateStream)
{
    std::string Path = FfmpegFixture("eng_info_32k.mp3", 3.37, 1, 22050, "-c:a libmp3lame -b:a 32k -f mp3");
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    std::vector<uint8_t> Bytes = ReadFile(Path);
    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    const MPEGFileInfoType& I = *P.Info;
    ASSERT_EQ(std::memcmp(&Bytes[I.FirstFrameOffset + 13], "Info", 4), 0);
    ASSERT_GT(BitRateFromFrameHdr(FrameHdrFromBytes(&Bytes[I.FirstFrameOffset])), 32000);

    // The header's frame count is the frames after it, which is what plays.
    std::vector<long> Offsets = FrameOffsets(Bytes, I.FirstFrameOffset);
    EXPECT_EQ(I.FrameCount, Offsets.size() - 1);
    EXPECT_EQ(I.TotalSamples, uint64_t{I.FrameCount} * 576);
    EXPECT_EQ(I.TotalSamples, DecodedSamples(Bytes, I.FirstFrameOffset, 1));
    EXPECT_EQ(I.TrackLength, 3u);
    EXPECT_EQ(I.BitRate, 32000);
    EXPECT_EQ(I.VBRFlag, 0);
    EXPECT_EQ(UpdateMPEGForVBRTrackLength(P.Info), 0);
    EXPECT_EQ(ZEBAudioGetMP3TrackLength(Path.c_str()), 3u);
    MPEGTrackInfoType Track = {};
    ASSERT_EQ(ZEBAudioGetMP3TrackInfo(Path.c_str(), &Track), 1);
    EXPECT_EQ(Track.TrackLength, 3u);
    EXPECT_EQ(Track.BitRate, 32);

    // A seek starts one stream frame early, counted after the header frame.
    const double Frame = 576.0 / 22050;
    for (uint32_t Ms : {1000u, 2500u}) {
        SeekMPEGFile(P.Info, Ms);
        double T = TimeAt(Offsets, P.Pos(), 576, 22050) - Frame;
        EXPECT_GT(T, Ms / 1000.0 - 2 * Frame) << Ms;
        EXPECT_LE(T, Ms / 1000.0 + 0.001) << Ms;
    }
    SeekMPEGFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), static_cast<long>(I.FirstFrameOffset));
}

TEST(RealFiles, VariableBitRateWithoutXingIsScanned)
{
    std::string Path = LameFixture("eng_vbr_plain.mp3", 20, 2, 44100, "-V 2 -t");
    if (Path.empty())
        GTEST_SKIP() << "lame missing";
    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 0);
    EXPECT_GT(P.Info->BitRate, 0); // the first frame's estimate
    ASSERT_EQ(UpdateMPEGForVBRTrackLength(P.Info), 1);
    EXPECT_EQ(P.Info->VBRFlag, 4);
    EXPECT_EQ(P.Info->BitRate, 0);
    EXPECT_EQ(P.Info->TrackLength, 20u);
    std::vector<long> Offsets = FrameOffsets(ReadFile(Path), 0);
    EXPECT_EQ(P.Info->FrameCount, Offsets.size());
    if (HaveTool("ffprobe")) {
        EXPECT_EQ(std::to_string(P.Info->FrameCount), FfprobePackets(Path));
    }
}

// The scanned length is the frames' playing time. Frame lengths are whole
// bytes, so bytes * 8 / bit rate per frame would come to a little less
// (about 0.2 % with lame's unpadded VBR frames), a whole second short here.
TEST(RealFiles, ScannedLengthIsThePlayingTime)
{
    struct Case {
        const char* Name;
        uint32_t Seconds, Rate, SamplesPerFrame;
        uint16_t Channels;
        const char* Options;
    } Cases[] = {
        {"eng_vbr_plain_30.mp3", 30, 44100, 1152, 2, "--vbr-new -V 2 -t"},
        {"eng_vbr_plain_22k.mp3", 30, 22050, 576, 1, "--vbr-new -V 4 -t"},
        {"eng_vbr_plain_48k_20s.mp3", 20, 48000, 1152, 2, "--vbr-new -V 0 -t"},
    };
    for (const Case& C : Cases) {
        std::string Path = LameFixture(C.Name, C.Seconds, C.Channels, C.Rate, C.Options);
        if (Path.empty())
            GTEST_SKIP() << "lame missing";
        Prepared P(Path);
        ASSERT_NE(P.Info, nullptr) << C.Name;
        ASSERT_EQ(UpdateMPEGForVBRTrackLength(P.Info), 1) << C.Name;
        // The encoder adds well under a second of delay and padding.
        EXPECT_EQ(P.Info->TrackLength, C.Seconds) << C.Name;
        uint64_t Frames = FrameOffsets(ReadFile(Path), 0).size();
        EXPECT_EQ(P.Info->FrameCount, Frames) << C.Name;
        EXPECT_EQ(P.Info->TrackLength, Frames * C.SamplesPerFrame / C.Rate) << C.Name;
        EXPECT_EQ(P.Info->TotalSamples, Frames * C.SamplesPerFrame) << C.Name;
    }
}

// A variable-bit-rate file cut in half, as a download in progress: the Xing
// header still lays out the whole track, so a seek lands where the whole
// file has that moment, or at the end of the data when it lies beyond.
TEST(RealFiles, TruncatedXingFileSeeksByTheWholeTrack)
{
    std::string Path = LameFixture("eng_vbr_xing.mp3", 20, 2, 44100, "-V 2");
    if (Path.empty())
        GTEST_SKIP() << "lame missing";
    std::vector<uint8_t> Bytes = ReadFile(Path);
    std::vector<uint8_t> Half(Bytes.begin(), Bytes.begin() + Bytes.size() / 2);
    Prepared Whole(Path);
    Prepared Cut(WritePrivateFixture("vbr_xing_half.mp3", Half));
    ASSERT_NE(Whole.Info, nullptr);
    ASSERT_NE(Cut.Info, nullptr);
    EXPECT_EQ(Cut.Info->FileLength, Whole.Info->FileLength);
    EXPECT_EQ(Cut.Info->TrackLength, 20u);
    EXPECT_EQ(Cut.Info->VBRFlag, 5);

    // Just past 25 % of the exact length: the table's entry, on to the
    // next frame, and one frame more for the rest of the millisecond.
    const MPEGFileInfoType& I = *Whole.Info;
    std::vector<long> Offsets = FrameOffsets(Bytes, I.FirstFrameOffset);
    long TocPos = static_cast<long>(I.XingVBRTOC[25] / 256.0 * I.FileLength) + I.FirstFrameOffset;
    long Expected = *(std::lower_bound(Offsets.begin(), Offsets.end(), TocPos) + 1);
    ASSERT_LT(Expected, static_cast<long>(Half.size()));
    uint32_t Quarter = TrackMilliseconds(Whole.Info) / 4 + 1;
    SeekMPEGFile(Whole.Info, Quarter);
    EXPECT_EQ(Whole.Pos(), Expected);
    SeekMPEGFile(Cut.Info, Quarter);
    EXPECT_EQ(Cut.Pos(), Expected);

    // 90 % lies beyond the data: the stream stands at its end.
    ASSERT_GT(I.XingVBRTOC[90] / 256.0 * I.FileLength, static_cast<double>(Half.size()));
    SeekMPEGFile(Cut.Info, 18000);
    EXPECT_EQ(Cut.Pos(), static_cast<long>(Half.size()));
    EXPECT_EQ(LocateNextFrame(Cut.Info), 0);
    for (uint32_t Ms = 0; Ms <= 25000; Ms += 2500) {
        SeekMPEGFile(Cut.Info, Ms);
        EXPECT_LE(Cut.Pos(), static_cast<long>(Half.size())) << Ms;
    }
    EXPECT_EQ(UpdateMPEGForVBRTrackLength(Cut.Info), 0); // the table governs
}

TEST(RealFiles, LowerSampleRatesAndLayerII)
{
    struct Case {
        std::string Path;
        uint32_t Rate, SamplesPerFrame, Length;
        uint16_t Channels;
    } Cases[] = {
        {LameFixture("eng_22050.mp3", 12, 1, 22050, "--cbr -b 64"), 22050, 576, 12, 1},
        {LameFixture("eng_11025.mp3", 12, 2, 11025, "--cbr -b 32"), 11025, 576, 12, 2},
        {LameFixture("eng_8000.mp3", 12, 1, 8000, "--cbr -b 16"), 8000, 576, 12, 1},
        {FfmpegFixture("eng_mp2.mp2", 12, 2, 48000, "-c:a mp2 -b:a 192k -f mp2"), 48000, 1152, 12, 2},
        {FfmpegFixture("eng_mp2_22k.mp2", 12, 1, 22050, "-c:a mp2 -b:a 64k -f mp2"), 22050, 1152, 12,
         1},
    };
    for (const Case& C : Cases) {
        if (C.Path.empty())
            GTEST_SKIP() << "lame or ffmpeg missing";
        Prepared P(C.Path);
        ASSERT_NE(P.Info, nullptr) << C.Path;
        EXPECT_EQ(P.Info->SampleRate, C.Rate) << C.Path;
        EXPECT_EQ(P.Info->SamplesPerFrame, C.SamplesPerFrame) << C.Path;
        EXPECT_EQ(P.Info->Channels, C.Channels) << C.Path;
        EXPECT_EQ(P.Info->TrackLength, C.Length) << C.Path;
        SeekMPEGFile(P.Info, 6000);
        std::vector<long> Offsets = FrameOffsets(ReadFile(C.Path), 0);
        EXPECT_NEAR(TimeAt(Offsets, P.Pos(), C.SamplesPerFrame, C.Rate), 6.0, 0.2) << C.Path;
    }
}

// A VBRI file made from a lame stream without Xing frame: a VBRI frame is
// put in front and its table describes slices of ten real frames.
TEST(RealFiles, VbriTableSeek)
{
    std::string Source = LameFixture("eng_vbr_for_vbri.mp3", 20, 2, 44100, "-V 4 -t");
    if (Source.empty())
        GTEST_SKIP() << "lame missing";
    std::vector<uint8_t> Lame = ReadFile(Source);
    std::vector<long> Offsets = FrameOffsets(Lame, 0);
    Offsets.push_back(static_cast<long>(Lame.size()));
    const uint32_t EntryFrames = 10;
    uint32_t Total = static_cast<uint32_t>(Offsets.size()) / EntryFrames * EntryFrames; // with VBRI
    std::vector<long> Ends(Offsets.begin(), Offsets.begin() + Total);  // real frames kept: Total - 1

    std::vector<uint8_t> File = SyntheticFrames(Mpeg1Stereo, Len128k, 1);
    Append(File, std::vector<uint8_t>(Lame.begin(), Lame.begin() + Ends.back()));
    std::vector<long> All = {0};
    for (long O : std::vector<long>(Ends.begin(), Ends.end() - 1))
        All.push_back(O + Len128k);
    std::memcpy(&File[36], "VBRI", 4);
    PutBE16(File, 40, 1);
    PutBE32(File, 46, static_cast<uint32_t>(File.size()));
    PutBE32(File, 50, Total);
    PutBE16(File, 54, static_cast<uint16_t>(Total / EntryFrames - 1));
    PutBE16(File, 56, 1);
    PutBE16(File, 58, 2);
    PutBE16(File, 60, EntryFrames);
    All.push_back(static_cast<long>(File.size()));
    for (uint32_t e = 0; e < Total / EntryFrames; ++e)
        PutBE16(File, 62 + 2 * e,
                static_cast<uint16_t>(All[(e + 1) * EntryFrames] - All[e * EntryFrames]));
    All.pop_back();

    std::vector<uint8_t> Tagged = ID3TagBytes(300);
    Append(Tagged, File);
    Prepared P(WritePrivateFixture("vbri.mp3", Tagged));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 2);
    EXPECT_EQ(P.Info->BitRate, 0);
    EXPECT_EQ(P.Info->FrameCount, Total);
    EXPECT_EQ(P.Info->FileLength, File.size());
    EXPECT_EQ(P.Info->TrackLength, Total * 1152 / 44100);
    EXPECT_EQ(P.Info->FirstFrameOffset, 310u);

    for (long& O : All)
        O += 310;
    for (uint32_t Ms : {5000u, 12345u}) {
        SeekMPEGFile(P.Info, Ms);
        EXPECT_NEAR(TimeAt(All, P.Pos(), 1152, 44100), Ms / 1000.0, 0.3) << Ms;
    }
    SeekMPEGFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), 310);
}

// ---- Corpus: every file opens or is refused, and nothing hangs ----

namespace {

bool OtherEngineTakes(const std::string& Ext)
{
    static const std::set<std::string> Taken = {".wav", ".w64", ".ogg", ".aac", ".m4a",
                                                ".mp4", ".wma", ".flac"};
    std::string L = Ext;
    std::transform(L.begin(), L.end(), L.begin(), [](unsigned char c) { return std::tolower(c); });
    return Taken.count(L) != 0;
}

// Whether four chained frames of one version and layer start anywhere at or
// after From, the last one's header inside the file.
bool HasFourFrames(const std::vector<uint8_t>& B, size_t From)
{
    for (size_t p = From; p + 4 <= B.size(); ++p) {
        MPEGFrameHdrType First = FrameHdrFromBytes(&B[p]);
        if (First.SyncBits() != FrameSyncBits || CalculateFrameLength(First) == 0)
            continue;
        size_t q = p;
        int Chained = 1;
        MPEGFrameHdrType H = First;
        while (Chained < 4) {
            q += CalculateFrameLength(H);
            if (q + 4 > B.size())
                break;
            H = FrameHdrFromBytes(&B[q]);
            if (H.SyncBits() != FrameSyncBits || H.VersionId() != First.VersionId() ||
                H.LayerDesc() != First.LayerDesc() || CalculateFrameLength(H) == 0)
                break;
            ++Chained;
        }
        if (Chained == 4)
            return true;
    }
    return false;
}

} // namespace

TEST(Corpus, EveryCandidateFilePreparesSeeksAndScans)
{
    namespace fs = std::filesystem;
    if (!fs::is_directory(ZEB_CORPUS_DIR))
        GTEST_SKIP() << "no corpus";
    int Opened = 0, Refused = 0;
    for (const auto& Entry : fs::recursive_directory_iterator(ZEB_CORPUS_DIR)) {
        if (!Entry.is_regular_file())
            continue;
        std::string Path = Entry.path().string();
        std::string Ext = Entry.path().extension().string();
        if (OtherEngineTakes(Ext))
            continue;
        std::vector<uint8_t> Bytes = ReadFile(Path);
        FILE* F = fopen(Path.c_str(), "rb");
        uint32_t Tag = ParseID3Tag(F);
        fclose(F);
        bool Frames = HasFourFrames(Bytes, Tag);

        MPEGFileInfoType* Info = PrepareMPEGFile(Path.c_str());
        if (!Info) {
            EXPECT_FALSE(Frames) << Path << " has four frames but was refused";
            ++Refused;
            continue;
        }
        ++Opened;
        EXPECT_TRUE(Frames) << Path;
        EXPECT_GT(Info->SampleRate, 0u) << Path;
        EXPECT_TRUE(Info->Channels == 1 || Info->Channels == 2) << Path;
        EXPECT_GT(Info->FrameSize, 0u) << Path;
        EXPECT_EQ(ftell(Info->Handle), static_cast<long>(Info->FirstFrameOffset)) << Path;
        uint32_t Ms = Info->TrackLength * 1000;
        for (uint32_t To : {Ms / 2, Ms / 4, 0u, Ms - std::min(Ms, 500u), Ms + 60000, 0xFFFFFFFFu}) {
            SeekMPEGFile(Info, To);
            EXPECT_LE(ftell(Info->Handle), static_cast<long>(Bytes.size())) << Path;
        }
        SeekMPEGFile(Info, Ms / 3);
        LocateNextFrame(Info);
        if (Info->VBRFlag == 0)
            UpdateMPEGForVBRTrackLength(Info);
        UnPrepareMPEGFile(Info);
    }
    EXPECT_GT(Opened, 10);
    std::printf("corpus: %d prepared, %d refused\n", Opened, Refused);
}

TEST(Corpus, RealVbriFileUsesItsTable)
{
    std::string Path = std::string(ZEB_CORPUS_DIR) + "/mutagen/vbri.mp3";
    if (access(Path.c_str(), R_OK) != 0)
        GTEST_SKIP() << "no corpus";
    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->VBRFlag, 2);
    EXPECT_EQ(P.Info->BitRate, 0);
    EXPECT_GT(P.Info->FrameCount, 0u);
}
