// General sound-file engine: record fields, quarter-second sections bounded by
// the buffer, PCM against sox, float scaling, seeking, refusals, the missing
// library and the corpus.
#include "sndfile.h"
#include "zeb_platform.h"

#include "support/host.h"
#include "support/returns_within.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// libsndfile 1.2.0 leaks libvorbis's stream description when it refuses a
// malformed Ogg file (corpus taglib/lowercase-fields.ogg): the library's
// leak, not the engine's, which closes everything it opened.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions()
{
    return "leak:libvorbis.so\n";
}

namespace {

constexpr size_t GuardSz = 256;
constexpr uint8_t GuardByte = 0xA5;
constexpr size_t MaxCalls = 200000;

// A sox-made fixture in the build tree, made once: Format (rate, channels,
// encoding) goes before the output file, Synth (the signal) after it.
std::string SoxFixture(const std::string& Name, const std::string& Format, const std::string& Synth)
{
    std::string Path = zebtest::FixturePath("sf_" + Name);
    EXPECT_TRUE(zebtest::MakeFixtureOnce(
        Path, [&](const std::string& Own) { return "sox -D -n " + Format + " " + Own + " " + Synth; }))
        << Name;
    return Path;
}

// sox's own conversion of Path to raw bytes with the given output options.
std::vector<uint8_t> SoxRaw(const std::string& Path, const std::string& Options, const std::string& Effects = "")
{
    std::string Out = Path + ".ref" + std::to_string(std::hash<std::string>{}(Options + Effects)) + "." +
                      std::to_string(getpid()) + ".raw";
    std::string Command = "sox -V1 -D " + Path + " -t raw " + Options + " " + Out + " " + Effects;
    EXPECT_TRUE(zebtest::Run(Command)) << Command;
    return zebtest::ReadFile(Out);
}

std::vector<uint8_t> SoxPcm16(const std::string& Path) { return SoxRaw(Path, "-e signed -b 16 -L"); }

struct Prepared {
    MPEGFileInfoType* Info;
    explicit Prepared(const std::string& Path) : Info(PrepareLibSndFile(Path.c_str())) {}
    ~Prepared() { UnPrepareLibSndFile(Info); }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
};

// A decode buffer with a guard region after BufSz bytes.
struct GuardedBuffer {
    std::vector<uint8_t> Bytes;
    uint32_t Size;
    explicit GuardedBuffer(uint32_t BufSz) : Bytes(BufSz + GuardSz, GuardByte), Size(BufSz) {}
    uint8_t* Data() { return Bytes.data(); }
    bool GuardIntact() const
    {
        return std::all_of(Bytes.begin() + Size, Bytes.end(), [](uint8_t B) { return B == GuardByte; });
    }
};

// Every section to the end (bounded); Sizes receives each call's result.
std::vector<uint8_t> DecodeAll(MPEGFileInfoType* Info, std::vector<uint32_t>* Sizes = nullptr, uint32_t BufSz = OutBufSz)
{
    GuardedBuffer Buf(BufSz);
    std::vector<uint8_t> All;
    for (size_t Call = 0; Call < MaxCalls; ++Call) {
        uint32_t N = DecodeLibSndSection(Info, Buf.Data(), BufSz);
        EXPECT_LE(N, BufSz);
        EXPECT_TRUE(Buf.GuardIntact());
        if (N == 0)
            break;
        if (Sizes)
            Sizes->push_back(N);
        All.insert(All.end(), Buf.Data(), Buf.Data() + N);
    }
    return All;
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& Bytes)
{
    std::vector<int16_t> S(Bytes.size() / 2);
    memcpy(S.data(), Bytes.data(), S.size() * 2);
    return S;
}

int PeakOf(const std::vector<int16_t>& S)
{
    int Peak = 0;
    for (int16_t X : S)
        Peak = std::max(Peak, std::abs(static_cast<int>(X)));
    return Peak;
}

class SndFileEngine : public testing::Test {
protected:
    void SetUp() override
    {
        if (!zebtest::HaveTool("sox"))
            GTEST_SKIP() << "sox is needed for the fixtures";
        // Loaded by the library's start-up, or loaded here; a second call keeps it.
        ASSERT_EQ(1, GetSndFileSupport()) << "libsndfile.so.1 is a dependency";
        // Kept mapped to the end of the process, so that a leak report can
        // name the library it comes from.
        dlopen("libsndfile.so.1", RTLD_NOW | RTLD_NODELETE);
    }
};

// ---- Prepare ----

TEST_F(SndFileEngine, RecordDescribesTheStreamInFrames)
{
    std::string Path = SoxFixture("48k_stereo_3500ms.aiff", "-r 48000 -c 2 -b 16", "synth 3.5 sine 440 sine 660");
    Prepared P(Path);
    ASSERT_NE(nullptr, P.Info);
    EXPECT_EQ(48000u, P.Info->SampleRate);
    EXPECT_EQ(2u, P.Info->Channels);
    EXPECT_EQ(2u, P.Info->BytesPerSample);
    EXPECT_EQ(168000u, P.Info->FileLength); // frames, not bytes
    EXPECT_EQ(168000u, P.Info->TotalSamples);
    size_t CloseOnExec = 0; // the library reads the engine's one descriptor
    EXPECT_EQ(1u, zebtest::DescriptorsOn(Path, &CloseOnExec));
    EXPECT_EQ(1u, CloseOnExec);
    EXPECT_EQ(3u, P.Info->TrackLength);     // 3.5 s truncated
    EXPECT_EQ(0u, P.Info->FrameSize);
    EXPECT_EQ(0u, P.Info->FrameCount);
    EXPECT_EQ(0, P.Info->BitRate);
}

TEST_F(SndFileEngine, NonAudioMissingAndEmptyFilesAreRefused)
{
    std::string Text = zebtest::FixturePath("sf_text.aiff");
    zebtest::WriteFile(Text, std::vector<uint8_t>(4000, 'x'));
    std::string Empty = zebtest::FixturePath("sf_empty.wav");
    zebtest::WriteFile(Empty, {});
    EXPECT_EQ(nullptr, PrepareLibSndFile(Text.c_str()));
    EXPECT_EQ(nullptr, PrepareLibSndFile(Empty.c_str()));
    size_t CloseOnExec = 0;
    EXPECT_EQ(0u, zebtest::DescriptorsOn(Text, &CloseOnExec)) << "a refused file stayed open";
    EXPECT_EQ(nullptr, PrepareLibSndFile(zebtest::FixturePath("sf_no_such_file.aiff").c_str()));
    EXPECT_EQ(nullptr, PrepareLibSndFile(zebtest::FixtureDir().c_str()));
    EXPECT_EQ(nullptr, PrepareLibSndFile(nullptr));
    // A FIFO without a writer must not block the open.
    std::string Fifo = zebtest::FixturePath("sf_" + std::to_string(getpid()) + "_nowriter.aiff");
    unlink(Fifo.c_str());
    ASSERT_EQ(0, mkfifo(Fifo.c_str(), 0600));
    EXPECT_TRUE(zebtest::ReturnsWithin(20000, [Fifo] { EXPECT_EQ(nullptr, PrepareLibSndFile(Fifo.c_str())); }));
    unlink(Fifo.c_str());
}

// ---- Sections ----

TEST_F(SndFileEngine, EachFullCallDeliversAQuarterSecond)
{
    struct Case {
        const char* Name;
        const char* Format;
        uint32_t BytesPerCall;
        uint32_t TotalBytes;
    };
    const Case Cases[] = {
        {"48k_stereo_1100ms.wav", "-r 48000 -c 2 -b 16", 48000, 48000 * 4 * 11 / 10},
        {"44k_mono_1100ms.aiff", "-r 44100 -c 1 -b 16", 22050, 44100 * 2 * 11 / 10},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        Prepared P(SoxFixture(C.Name, C.Format, "synth 1.1 sine 440"));
        ASSERT_NE(nullptr, P.Info);
        std::vector<uint32_t> Sizes;
        std::vector<uint8_t> All = DecodeAll(P.Info, &Sizes);
        ASSERT_EQ(5u, Sizes.size());
        for (size_t i = 0; i + 1 < Sizes.size(); ++i)
            EXPECT_EQ(C.BytesPerCall, Sizes[i]);
        EXPECT_EQ(C.TotalBytes, All.size());
        EXPECT_EQ(0u, DecodeLibSndSection(P.Info, std::vector<uint8_t>(OutBufSz).data(), OutBufSz)); // stays at the end
    }
}

TEST_F(SndFileEngine, SectionsNeverPassTheBufferAndHoldWholeFrames)
{
    Prepared P(SoxFixture("48k_stereo_1100ms.wav", "-r 48000 -c 2 -b 16", "synth 1.1 sine 440"));
    ASSERT_NE(nullptr, P.Info);
    std::vector<uint8_t> Reference = SoxPcm16(zebtest::FixturePath("sf_48k_stereo_1100ms.wav"));
    for (uint32_t BufSz : {1001u, 4u, 7u}) {
        SCOPED_TRACE(BufSz);
        SeekLibSndFile(P.Info, 0);
        std::vector<uint32_t> Sizes;
        std::vector<uint8_t> All = DecodeAll(P.Info, &Sizes, BufSz);
        EXPECT_EQ(Reference, All);
        ASSERT_FALSE(Sizes.empty());
        for (size_t i = 0; i + 1 < Sizes.size(); ++i)
            EXPECT_EQ(BufSz / 4 * 4, Sizes[i]) << "as many whole frames as the buffer holds";
        EXPECT_EQ(0u, Sizes.back() % 4);
    }
    // A buffer smaller than one frame takes nothing and ends the stream.
    GuardedBuffer Tiny(3);
    SeekLibSndFile(P.Info, 0);
    EXPECT_EQ(0u, DecodeLibSndSection(P.Info, Tiny.Data(), 3));
    EXPECT_TRUE(Tiny.GuardIntact());
    EXPECT_EQ(GuardByte, Tiny.Bytes[0]);
}

TEST_F(SndFileEngine, SixChannelFileOpensAndDecodesWithinTheBuffer)
{
    std::string Path = SoxFixture("6ch.wav", "-r 8000 -c 6 -b 16", "synth 0.6 sine 300 sine 400 sine 500 sine 600 sine 700 sine 800");
    Prepared P(Path);
    ASSERT_NE(nullptr, P.Info);
    EXPECT_EQ(6u, P.Info->Channels);
    std::vector<uint32_t> Sizes;
    EXPECT_EQ(SoxPcm16(Path), DecodeAll(P.Info, &Sizes));
    ASSERT_FALSE(Sizes.empty());
    EXPECT_EQ(8000u * 2 * 6 / 4, Sizes[0]);
    SeekLibSndFile(P.Info, 0);
    GuardedBuffer Small(100); // 8 frames of 12 bytes, 4 bytes spare
    EXPECT_EQ(96u, DecodeLibSndSection(P.Info, Small.Data(), Small.Size));
    EXPECT_TRUE(Small.GuardIntact());
}

TEST_F(SndFileEngine, VeryLowRateStillPlaysOut)
{
    // A quarter second of a 3 Hz file is less than a frame: one frame per call.
    Prepared P(SoxFixture("3hz.aiff", "-r 3 -c 1 -b 16", "synth 2 sine 1"));
    ASSERT_NE(nullptr, P.Info);
    std::vector<uint32_t> Sizes;
    EXPECT_EQ(12u, DecodeAll(P.Info, &Sizes).size());
    EXPECT_EQ(std::vector<uint32_t>(6, 2), Sizes);
}

// ---- PCM ----

TEST_F(SndFileEngine, SixteenBitFilesDecodeExactlyAsSoxReadsThem)
{
    const char* Names[] = {"16bit.aiff", "16bit.caf", "16bit.wav", "16bit_mono.caf"};
    for (const char* Name : Names) {
        SCOPED_TRACE(Name);
        std::string Channels = strstr(Name, "mono") ? "-c 1" : "-c 2";
        std::string Path = SoxFixture(Name, "-r 44100 -b 16 " + Channels, "synth 1.3 sine 440 sine 1000 vol 0.9");
        Prepared P(Path);
        ASSERT_NE(nullptr, P.Info);
        std::vector<uint8_t> Reference = SoxPcm16(Path);
        ASSERT_FALSE(Reference.empty());
        EXPECT_EQ(Reference, DecodeAll(P.Info));
    }
}

// Integer samples wider than 16 bits are cut to their top 16 bits, and are
// never scaled to the file's peak as floating-point data is.
TEST_F(SndFileEngine, WiderIntegerSamplesKeepTheirTopSixteenBits)
{
    for (size_t Width : {3u, 4u}) {
        std::string Name = "int" + std::to_string(Width * 8) + ".aiff";
        SCOPED_TRACE(Name);
        std::string Bits = std::to_string(Width * 8);
        std::string Path = SoxFixture(Name, "-r 44100 -c 2 -b " + Bits, "synth 0.7 sine 440 sine 1000 vol 0.5");
        Prepared P(Path);
        ASSERT_NE(nullptr, P.Info);
        std::vector<uint8_t> Wide = SoxRaw(Path, "-e signed -b " + Bits + " -L");
        std::vector<uint8_t> Expected;
        for (size_t i = 0; i + Width <= Wide.size(); i += Width)
            Expected.insert(Expected.end(), Wide.begin() + i + Width - 2, Wide.begin() + i + Width);
        ASSERT_FALSE(Expected.empty());
        EXPECT_EQ(Expected, DecodeAll(P.Info));
    }
}

// libsndfile scales floating-point data to the file's own peak: any float
// file reads at full 16-bit scale, in the shape sox's normalised
// conversion gives.
TEST_F(SndFileEngine, FloatFilesAreScaledToTheFullSixteenBitRange)
{
    struct Case {
        const char* Name;
        const char* Format;
        const char* Volume;
    };
    const Case Cases[] = {
        {"float32_half.wav", "-e floating-point -b 32", "0.5"},
        {"float64_half.wav", "-e floating-point -b 64", "0.5"},
        {"float32_full.wav", "-e floating-point -b 32", "1.0"},
        {"float32_half.aifc", "-e floating-point -b 32", "0.5"},
        {"float32_half.caf", "-e floating-point -b 32", "0.5"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::string Path = SoxFixture(C.Name, std::string("-r 44100 -c 2 ") + C.Format,
                                      std::string("synth 0.6 sine 440 sine 1000 vol ") + C.Volume);
        Prepared P(Path);
        ASSERT_NE(nullptr, P.Info);
        std::vector<int16_t> Ours = Samples(DecodeAll(P.Info));
        std::vector<int16_t> Normalised = Samples(SoxRaw(Path, "-e signed -b 16 -L", "gain -n"));
        EXPECT_GE(PeakOf(Ours), 32700) << "unscaled float data would read as -1, 0 or 1";
        ASSERT_EQ(Normalised.size(), Ours.size());
        int Worst = 0;
        for (size_t i = 0; i < Ours.size(); ++i)
            Worst = std::max(Worst, std::abs(Ours[i] - Normalised[i]));
        EXPECT_LE(Worst, 3);
    }
}

// ---- Seeking ----

TEST_F(SndFileEngine, SeekGoesToTheFrameAtTheAskedMilliseconds)
{
    std::string Path = SoxFixture("48k_stereo_3500ms.aiff", "-r 48000 -c 2 -b 16", "synth 3.5 sine 440 sine 660");
    std::vector<uint8_t> Reference = SoxPcm16(Path);
    Prepared P(Path);
    ASSERT_NE(nullptr, P.Info);
    const size_t FrameBytes = 4;

    // 1500 ms at 48 kHz: frame 72000.
    SeekLibSndFile(P.Info, 1500);
    std::vector<uint8_t> FromHalf = DecodeAll(P.Info);
    EXPECT_EQ(std::vector<uint8_t>(Reference.begin() + 72000 * FrameBytes, Reference.end()), FromHalf);

    SeekLibSndFile(P.Info, 0);
    EXPECT_EQ(Reference, DecodeAll(P.Info));

    // At or beyond the track's 3500 ms: the end, and the stream ends.
    for (uint32_t Ms : {3500u, 10000u, UINT32_MAX}) {
        SeekLibSndFile(P.Info, Ms);
        EXPECT_TRUE(DecodeAll(P.Info).empty()) << Ms;
    }
}

TEST_F(SndFileEngine, TrackShorterThanASecondSeeksToTheAskedTime)
{
    std::string Path = SoxFixture("600ms.caf", "-r 22050 -c 1 -b 16", "synth 0.6 sine 440");
    std::vector<uint8_t> Reference = SoxPcm16(Path);
    Prepared P(Path);
    ASSERT_NE(nullptr, P.Info);
    EXPECT_EQ(0u, P.Info->TrackLength);
    for (uint32_t Ms : {0u, 300u, 5000u}) {
        DecodeAll(P.Info);
        SeekLibSndFile(P.Info, Ms);
        size_t From = std::min<size_t>(Ms * 22050u / 1000u * 2u, Reference.size());
        EXPECT_EQ(std::vector<uint8_t>(Reference.begin() + From, Reference.end()), DecodeAll(P.Info)) << Ms;
    }
}

// ---- Library availability ----

TEST_F(SndFileEngine, MissingOrIncompleteLibraryDisablesTheEngine)
{
    std::string Path = SoxFixture("16bit.wav", "-r 44100 -b 16 -c 2", "synth 1.3 sine 440 sine 1000 vol 0.9");
    static const char* const Missing[] = {"libnothing.so", nullptr};
    static const char* const WithoutEntryPoints[] = {"libm.so.6", nullptr};
    for (const char* const* Names : {Missing, WithoutEntryPoints}) {
        SCOPED_TRACE(Names[0]);
        SetSupportLibraryNames("sndfile", Names);
        CloseSndFileSupport();
        EXPECT_EQ(0, GetSndFileSupport());
        EXPECT_EQ(nullptr, PrepareLibSndFile(Path.c_str()));
    }
    SetSupportLibraryNames("sndfile", nullptr);
    CloseSndFileSupport();
    CloseSndFileSupport(); // a second unload is harmless
    ASSERT_EQ(1, GetSndFileSupport());
    Prepared P(Path);
    EXPECT_NE(nullptr, P.Info);
}

// ---- Corpus ----

// Every file opens and decodes to its end, or is refused; a seek into the
// middle of an opened file decodes on from there.
TEST_F(SndFileEngine, CorpusFilesDecodeToTheEndOrAreRefused)
{
    size_t Tried = 0, Opened = 0;
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        SCOPED_TRACE(Path);
        ++Tried;
        Prepared P(Path);
        if (!P.Info)
            return;
        ++Opened;
        EXPECT_GT(P.Info->SampleRate, 0u);
        EXPECT_GT(P.Info->Channels, 0u);
        std::vector<uint8_t> All = DecodeAll(P.Info);
        EXPECT_EQ(0u, All.size() % (2u * P.Info->Channels));
        SeekLibSndFile(P.Info, P.Info->TrackLength * 500);
        DecodeAll(P.Info);
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
    RecordProperty("opened", static_cast<int>(Opened));
    RecordProperty("tried", static_cast<int>(Tried));
}

} // namespace
