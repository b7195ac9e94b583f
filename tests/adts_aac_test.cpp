// ADTS engine: header layout, candidate and validated searches, the
// one-second estimate, the exact length scan with resynchronisation, and
// seeking; over hand-made streams, ffmpeg's encoder output and the corpus.
#include "engines/adts_aac.h"

#include "support/host.h"
#include "support/mpeg_fixtures.h"
#include "support/returns_within.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

using namespace zebtest;

namespace {

// Header fields in file order, most significant bit first.
struct Fields {
    uint32_t Sync = 0xFFF, Version = 0, Layer = 0, NoCrc = 1, Profile = 1, Rate = 4, Private = 0,
             ChannelConfig = 2, Original = 0, HomeBit = 0, CopyId = 0, CopyStart = 0, Length = 372,
             Fullness = 0x7FF, Blocks = 0;
};

std::vector<uint8_t> HeaderOf(const Fields& F)
{
    const std::pair<uint32_t, int> Parts[] = {
        {F.Sync, 12},    {F.Version, 1},       {F.Layer, 2},    {F.NoCrc, 1},   {F.Profile, 2},
        {F.Rate, 4},     {F.Private, 1},       {F.ChannelConfig, 3}, {F.Original, 1},
        {F.HomeBit, 1},  {F.CopyId, 1},        {F.CopyStart, 1}, {F.Length, 13}, {F.Fullness, 11},
        {F.Blocks, 2}};
    uint64_t V = 0;
    for (auto [Val, Bits] : Parts)
        V = (V << Bits) | (Val & ((1u << Bits) - 1));
    std::vector<uint8_t> Out(7);
    for (int i = 6; i >= 0; --i, V >>= 8)
        Out[i] = static_cast<uint8_t>(V);
    return Out;
}

ADTSHeaderType Parsed(const uint8_t* Raw)
{
    ADTSHeaderType H;
    std::memcpy(H.Bytes, Raw, 7);
    HeaderSwap(&H);
    return H;
}

// Frames of the given lengths, each its header followed by zeros.
std::vector<uint8_t> Stream(Fields F, const std::vector<uint32_t>& Lengths)
{
    std::vector<uint8_t> Out;
    for (uint32_t L : Lengths) {
        F.Length = L;
        std::vector<uint8_t> H = HeaderOf(F);
        size_t At = Out.size();
        Out.resize(At + std::max<uint32_t>(L, 7), 0);
        std::copy(H.begin(), H.end(), Out.begin() + At);
    }
    return Out;
}

std::vector<uint8_t> Uniform(Fields F, uint32_t Len, uint32_t Count)
{
    return Stream(F, std::vector<uint32_t>(Count, Len));
}

std::vector<uint8_t> operator+(std::vector<uint8_t> A, const std::vector<uint8_t>& B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

struct Prepared {
    MPEGFileInfoType* Info;
    explicit Prepared(const std::string& Path) : Info(PrepareAAC_ADTSFile(Path.c_str())) {}
    ~Prepared() { UnPrepareAAC_ADTSFile(Info); }
    off_t Pos() const { return ftello(Info->Handle); }
};

int32_t SearchIn(const std::vector<uint8_t>& Bytes, bool Validated, ADTSHeaderType* H = nullptr)
{
    ADTSHeaderType Local;
    int32_t Offset = -2;
    FILE* F = fmemopen(const_cast<uint8_t*>(Bytes.data()), Bytes.size(), "rb");
    (Validated ? GetNextADTSHeader : ProcessNextADTSHeader)(F, H ? H : &Local, &Offset);
    fclose(F);
    return Offset;
}

size_t OpenFds()
{
    size_t N = 0;
    if (DIR* D = opendir("/proc/self/fd")) {
        while (readdir(D))
            ++N;
        closedir(D);
    }
    return N;
}

// Frame starts by walking the lengths from First; a header cut by the end counts.
std::vector<off_t> FrameStarts(const std::vector<uint8_t>& Bytes, size_t First)
{
    std::vector<off_t> Out;
    for (size_t At = First; At + 7 <= Bytes.size();) {
        ADTSHeaderType H = Parsed(&Bytes[At]);
        if (SyncBits(H) != 0xFFF || FrameLength(H) < 7)
            break;
        Out.push_back(static_cast<off_t>(At));
        At += FrameLength(H);
    }
    return Out;
}

// ffprobe's count of the file's packets (one per ADTS frame), or 0.
size_t ProbedPackets(const std::string& Path)
{
    std::string Cmd = "ffprobe -v error -count_packets -select_streams a:0 -show_entries "
                      "stream=nb_read_packets -of csv=p=0 '" + Path + "'";
    FILE* P = popen(Cmd.c_str(), "r");
    if (!P)
        return 0;
    unsigned long N = 0;
    if (fscanf(P, "%lu", &N) != 1)
        N = 0;
    pclose(P);
    return N;
}

// ---- Header layout and candidates ----

TEST(ADTSHeader, FieldsSitWhereTheFileFormatPutsThem)
{
    const uint8_t Ffmpeg[7] = {0xFF, 0xF1, 0x50, 0x80, 0x2E, 0x7F, 0xFC};
    ADTSHeaderType H = Parsed(Ffmpeg);
    EXPECT_EQ(H.Bytes[0], 0xFC);
    EXPECT_EQ(H.Bytes[3], 0x80);
    EXPECT_EQ(H.Bytes[6], 0xFF);
    EXPECT_EQ(SyncBits(H), 0xFFFu);
    EXPECT_EQ(Protection(H), 1u);
    EXPECT_EQ(Profile(H), 1u);
    EXPECT_EQ(SampleRate(H), 4u);
    EXPECT_EQ(Channel(H), 2u);
    EXPECT_EQ(FrameLength(H), 371u);
    EXPECT_EQ(BufferFullness(H), 0x7FFu);

    // Each field alone at all ones: only its accessor sees it.
    using Get = uint32_t (*)(const ADTSHeaderType&);
    const std::tuple<uint32_t Fields::*, uint32_t, Get> Cases[] = {
        {&Fields::Sync, 0xFFF, SyncBits},      {&Fields::Version, 1, VersionId},
        {&Fields::Layer, 3, LayerDesc},        {&Fields::NoCrc, 1, Protection},
        {&Fields::Profile, 3, Profile},        {&Fields::Rate, 15, SampleRate},
        {&Fields::Private, 1, Private},        {&Fields::Original, 1, OriginalCopy},
        {&Fields::HomeBit, 1, Home},           {&Fields::CopyId, 1, CopyrightId},
        {&Fields::CopyStart, 1, CopyrightStart}, {&Fields::Length, 0x1FFF, FrameLength},
        {&Fields::Fullness, 0x7FF, BufferFullness}, {&Fields::Blocks, 3, BlocksInFrame},
        {&Fields::ChannelConfig, 7, [](const ADTSHeaderType& X) { return Channel2(X) << 2 | Channel(X); }}};
    for (const auto& [Member, Ones, _] : Cases) {
        Fields F;
        for (const auto& [M, O, G] : Cases)
            F.*M = 0;
        F.*Member = Ones;
        ADTSHeaderType P = Parsed(HeaderOf(F).data());
        for (const auto& [M, O, G] : Cases)
            EXPECT_EQ(G(P), M == Member ? O : 0u);
    }
}

TEST(ADTSSearch, CandidatesNeedSyncAndLayerZero)
{
    std::vector<uint8_t> Real = HeaderOf(Fields{});
    // FF FF F1: the second FF is taken as a second byte, so nothing starts there.
    std::vector<uint8_t> DoubleFF = {0x00, 0xFF, 0xFF, 0xF1, 0x50, 0x80, 0x2E, 0x7F, 0xFC};
    EXPECT_EQ(SearchIn(DoubleFF, false), -1);
    EXPECT_EQ(SearchIn(DoubleFF + std::vector<uint8_t>(11, 0) + Real, false), 20);
    for (uint32_t Layer = 1; Layer < 4; ++Layer)
        EXPECT_EQ(SearchIn(HeaderOf(Fields{.Layer = Layer}), false), -1) << Layer;

    // A header across the 1024-byte read blocks.
    ADTSHeaderType H;
    EXPECT_EQ(SearchIn(std::vector<uint8_t>(1020, 0) + Real, false, &H), 1020);
    EXPECT_EQ(FrameLength(H), 372u);
    EXPECT_EQ(SampleRate(H), 4u);
}

TEST(ADTSSearch, GenuineFrameNeedsThreeAgreeingFollowers)
{
    EXPECT_EQ(SearchIn(Uniform(Fields{}, 100, 3), true), -1);
    EXPECT_EQ(SearchIn(Uniform(Fields{}, 100, 4), true), 0);
    // A follower of another sample rate breaks the chain.
    EXPECT_EQ(SearchIn(Uniform(Fields{}, 100, 3) + Uniform(Fields{.Rate = 3}, 100, 4), true), 300);
    // Stray patterns before the first frame: one pointing into zeros, one
    // whose length runs past the end of the file.
    std::vector<uint8_t> Strays = std::vector<uint8_t>(10, 0) + HeaderOf(Fields{.Length = 30}) +
                                  std::vector<uint8_t>(13, 0) + HeaderOf(Fields{.Length = 8000}) +
                                  std::vector<uint8_t>(13, 0);
    EXPECT_EQ(SearchIn(Strays + Uniform(Fields{}, 100, 4), true), 50);
}

TEST(ADTSSearch, ReservedRatesAndShortLengthsAreNotFrames)
{
    for (uint32_t Rate = 12; Rate < 16; ++Rate)
        EXPECT_EQ(SearchIn(Uniform(Fields{.Rate = Rate}, 100, 10), true), -1) << Rate;
    for (uint32_t Len : {0u, 1u, 6u})
        EXPECT_TRUE(ReturnsWithin(10000, [Len] { EXPECT_EQ(SearchIn(Uniform(Fields{}, Len, 10), true), -1); }));
    EXPECT_EQ(SearchIn(Uniform(Fields{}, 7, 4), true), 0);
}

// ---- Preparation ----

TEST(PrepareADTS, OneSecondEstimate)
{
    // 43 frames of 16000 bytes in all after a 1000-byte tag; 4000000 bytes of frames.
    std::vector<uint32_t> Lengths(39, 372);
    Lengths.resize(43, 373);
    Lengths.resize(43 + (4000000 - 16000) / 372 + 1, 372);
    std::vector<uint8_t> Frames = Stream(Fields{}, Lengths);
    Frames.resize(4000000);
    Prepared P(WritePrivateFixture("estimate.aac", ID3TagBytes(1000) + Frames));
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->FirstFrameOffset, 1010u);
    EXPECT_EQ(P.Pos(), 1010);
    EXPECT_EQ(P.Info->FileLength, 4000000u);
    EXPECT_EQ(P.Info->SampleRate, 44100u);
    EXPECT_EQ(P.Info->Channels, 2);
    EXPECT_EQ(P.Info->BytesPerSample, 2);
    EXPECT_EQ(P.Info->FrameCount, 10752u);
    EXPECT_EQ(P.Info->BitRate, 128000);
    EXPECT_EQ(P.Info->TrackLength, 250u);
    EXPECT_EQ(P.Info->VBRFlag, 1);

    // Every frame counted, the last one cut by the end of the file included.
    ProcessAAC_ADTSForTrackLength(P.Info);
    EXPECT_EQ(P.Info->FrameCount, 10753u);
    EXPECT_EQ(P.Info->TrackLength, 249u); // 10753 / 43.06640625
    EXPECT_EQ(P.Info->BitRate, 0);
}

TEST(PrepareADTS, RefusesWhatHasNoLengthAndLeavesNothingOpen)
{
    size_t Before = OpenFds();
    EXPECT_EQ(PrepareAAC_ADTSFile(WritePrivateFixture("three.aac", Uniform(Fields{}, 100, 3)).c_str()), nullptr);
    EXPECT_EQ(PrepareAAC_ADTSFile(WritePrivateFixture("reserved.aac", Uniform(Fields{.Rate = 13}, 100, 50)).c_str()),
              nullptr);
    // 7-byte frames at 8000 Hz: 437.5 bit/s rounds to 0 kbit/s.
    EXPECT_EQ(PrepareAAC_ADTSFile(WritePrivateFixture("zero_rate.aac", Uniform(Fields{.Rate = 11}, 7, 50)).c_str()),
              nullptr);
    EXPECT_NE(Prepared(WritePrivateFixture("four.aac", Uniform(Fields{}, 100, 4))).Info, nullptr);
    std::vector<uint8_t> Cut = Uniform(Fields{}, 100, 4);
    Cut.resize(303); // the fourth header cut short
    EXPECT_EQ(PrepareAAC_ADTSFile(WritePrivateFixture("cut3.aac", Cut).c_str()), nullptr);
    EXPECT_EQ(PrepareAAC_ADTSFile("/nonexistent/x.aac"), nullptr);
    EXPECT_EQ(PrepareAAC_ADTSFile(FixtureDir().c_str()), nullptr);
    std::string Fifo = FixturePath(std::to_string(getpid()) + "_fifo.aac");
    unlink(Fifo.c_str());
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    EXPECT_TRUE(ReturnsWithin(20000, [Fifo] { EXPECT_EQ(PrepareAAC_ADTSFile(Fifo.c_str()), nullptr); }));
    unlink(Fifo.c_str());
    EXPECT_EQ(OpenFds(), Before);
}

// ---- Exact scan and seeking ----

TEST(ADTSLength, ScanResynchronisesAfterGarbage)
{
    std::vector<uint8_t> Garbage(50, 0x11);
    std::vector<uint8_t> Junk = HeaderOf(Fields{.Length = 9});
    std::copy(Junk.begin(), Junk.end(), Garbage.begin() + 20);
    Prepared P(WritePrivateFixture("garbage.aac", Uniform(Fields{}, 200, 100) + Garbage + Uniform(Fields{}, 200, 100)));
    ASSERT_NE(P.Info, nullptr);
    ProcessAAC_ADTSForTrackLength(P.Info);
    EXPECT_EQ(P.Info->FrameCount, 200u);
    EXPECT_EQ(P.Info->TrackLength, 4u);
}

TEST(SeekADTS, LandsOnTheFirstGenuineFrameAtOrAfterTheEstimate)
{
    std::vector<uint8_t> Lead = ID3TagBytes(1000) + std::vector<uint8_t>{0xFF, 0xF1, 0x00} +
                                std::vector<uint8_t>(27, 0);
    std::vector<uint8_t> Bytes = Lead + Uniform(Fields{}, 372, 500);
    Prepared P(WritePrivateFixture("seek.aac", Bytes));
    ASSERT_NE(P.Info, nullptr);
    ASSERT_EQ(P.Info->FirstFrameOffset, 1040u);
    ASSERT_EQ(P.Info->BitRate, 128000);
    SeekAAC_ADTSFile(P.Info, 1000); // 16000 bytes in: the 45th frame starts at 16368
    EXPECT_EQ(P.Pos(), 1040 + 44 * 372);
    SeekAAC_ADTSFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), 1040);
    SeekAAC_ADTSFile(P.Info, 11539); // 184624 bytes in: three frames left after it
    EXPECT_EQ(P.Pos(), static_cast<off_t>(Bytes.size()));
    SeekAAC_ADTSFile(P.Info, 4000000000u);
    EXPECT_EQ(P.Pos(), static_cast<off_t>(Bytes.size()));
}

TEST(SeekADTS, PositionsBeyondTwoGigabytesStayPositive)
{
    constexpr off_t Far = (off_t{1} << 31) + (off_t{1} << 29); // 2.5 GiB, 16 bytes per ms at 128 kbit/s
    std::string Path = FixturePath(std::to_string(getpid()) + "_sparse.aac");
    std::vector<uint8_t> Frames = Uniform(Fields{}, 372, 100);
    int Fd = open(Path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(Fd, 0);
    bool Ok = pwrite(Fd, Frames.data(), Frames.size(), 0) == static_cast<ssize_t>(Frames.size()) &&
              pwrite(Fd, Frames.data(), Frames.size(), Far) == static_cast<ssize_t>(Frames.size());
    close(Fd);
    if (Ok) {
        Prepared P(Path);
        ASSERT_NE(P.Info, nullptr);
        EXPECT_EQ(P.Info->FileLength, static_cast<uint64_t>(Far) + Frames.size());
        EXPECT_EQ(P.Info->TrackLength, (static_cast<uint64_t>(Far) + Frames.size()) * 8 / 128000);
        SeekAAC_ADTSFile(P.Info, static_cast<uint32_t>(Far / 16));
        EXPECT_EQ(P.Pos(), Far);
    }
    unlink(Path.c_str());
    if (!Ok)
        GTEST_SKIP() << "no room for a sparse file";
}

TEST(ADTSEngine, NullRecordsAreHarmless)
{
    UnPrepareAAC_ADTSFile(nullptr);
    ProcessAAC_ADTSForTrackLength(nullptr);
    SeekAAC_ADTSFile(nullptr, 1000);
    int32_t Offset = 0;
    GetNextADTSHeader(nullptr, nullptr, &Offset);
    EXPECT_EQ(Offset, -1);
}

// ---- ffmpeg's encoder ----

class FfmpegADTS : public testing::TestWithParam<std::pair<uint32_t, int>> {
protected:
    std::string Path;
    void SetUp() override
    {
        if (!HaveTool("ffmpeg") || !HaveTool("ffprobe"))
            GTEST_SKIP() << "ffmpeg missing";
        uint32_t Rate = GetParam().first;
        int Channels = GetParam().second;
        Path = FixturePath("adts_sine_" + std::to_string(Rate) + "_" + std::to_string(Channels) + ".aac");
        ASSERT_TRUE(MakeFixtureOnce(Path, [&](const std::string& Own) {
            return "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=" +
                   std::to_string(Rate) + ":duration=6 -ac " + std::to_string(Channels) +
                   " -c:a aac -f adts '" + Own + "'";
        }));
    }
};

TEST_P(FfmpegADTS, PrepareScanAndSeek)
{
    auto [Rate, Channels] = GetParam();
    std::vector<uint8_t> Bytes = ReadFile(Path);
    std::vector<off_t> Starts = FrameStarts(Bytes, 0);
    ASSERT_EQ(Starts.size(), ProbedPackets(Path));

    Prepared P(Path);
    ASSERT_NE(P.Info, nullptr);
    EXPECT_EQ(P.Info->FirstFrameOffset, 0u);
    EXPECT_EQ(P.Info->SampleRate, Rate);
    EXPECT_EQ(P.Info->Channels, Channels);
    EXPECT_EQ(P.Info->FileLength, Bytes.size());
    EXPECT_NEAR(P.Info->TrackLength, 6, 1);

    SeekAAC_ADTSFile(P.Info, 3000);
    off_t Target = static_cast<off_t>(P.Info->BitRate * 3.0 * 0.125);
    auto At = std::lower_bound(Starts.begin(), Starts.end(), Target);
    ASSERT_NE(At, Starts.end());
    EXPECT_EQ(P.Pos(), *At);
    SeekAAC_ADTSFile(P.Info, 0);
    EXPECT_EQ(P.Pos(), 0);
    SeekAAC_ADTSFile(P.Info, 60000);
    EXPECT_EQ(P.Pos(), static_cast<off_t>(Bytes.size()));

    EXPECT_EQ(P.Info->TotalSamples, 0u); // an estimate only
    ProcessAAC_ADTSForTrackLength(P.Info);
    EXPECT_EQ(P.Info->FrameCount, Starts.size());
    EXPECT_EQ(P.Info->TrackLength, Starts.size() * 1024 / Rate);
    EXPECT_EQ(P.Info->TotalSamples, Starts.size() * 1024);
    // Counted, the stream seeks in proportion to its exact length.
    SeekAAC_ADTSFile(P.Info, TrackMilliseconds(P.Info) / 2);
    At = std::lower_bound(Starts.begin(), Starts.end(), static_cast<off_t>(Bytes.size() / 2));
    ASSERT_NE(At, Starts.end());
    EXPECT_EQ(P.Pos(), *At);

    // Cut in the middle of the fourth frame from the end: the scan counts
    // up to the cut frame and stops.
    std::vector<uint8_t> Cut(Bytes.begin(), Bytes.begin() + Starts[Starts.size() - 4] + 20);
    Prepared C(WritePrivateFixture("cut_" + std::to_string(Rate) + ".aac", Cut));
    ASSERT_NE(C.Info, nullptr);
    ProcessAAC_ADTSForTrackLength(C.Info);
    EXPECT_EQ(C.Info->FrameCount, Starts.size() - 3);
}

INSTANTIATE_TEST_SUITE_P(RatesAndChannels, FfmpegADTS,
                         testing::Values(std::pair{22050u, 1}, std::pair{44100u, 2}, std::pair{48000u, 2}));

// ---- Corpus ----

TEST(ADTSCorpus, EveryFileIsPreparedScannedAndSeekedOrRefused)
{
    size_t Tried = 0;
    ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        if (Path.size() < 4 || Path.compare(Path.size() - 4, 4, ".aac") != 0)
            return;
        SCOPED_TRACE(Path);
        ++Tried;
        Prepared P(Path);
        if (!P.Info)
            return;
        struct stat St;
        ASSERT_EQ(stat(Path.c_str(), &St), 0);
        EXPECT_NE(P.Info->SampleRate, 0u);
        for (uint32_t Ms : {0u, P.Info->TrackLength * 500u, 0xFFFFFFFFu}) {
            SeekAAC_ADTSFile(P.Info, Ms);
            EXPECT_LE(P.Pos(), St.st_size);
        }
        ProcessAAC_ADTSForTrackLength(P.Info);
        EXPECT_GE(P.Info->FrameCount, 4u);
    });
    if (Tried == 0)
        GTEST_SKIP() << "no .aac files at " << ZEB_CORPUS_DIR;
}

} // namespace
