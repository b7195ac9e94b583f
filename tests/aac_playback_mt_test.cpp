// AAC files played through the player to a host output module: ADTS and MP4
// PCM against the faad tool, tags and stray bytes ahead of the frames, a
// change of layout mid-stream, seeks, the track queries, missing libraries
// and the corpus.
#include "aac_core.h"
#include "core/player.h"
#include "support/aac_fixtures.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

using namespace zebtest;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t FrameBytes = 4096; // one stereo frame of 1024 samples

ZEBMessage Ok(uint32_t Cmd) { return Msg(ZEB_RSP_OK, Cmd, 0); }

Bytes Tail(const Bytes& B, size_t From) { return Bytes(B.begin() + std::min(From, B.size()), B.end()); }

// The largest difference between two runs of 16-bit samples of one length.
int LargestDifference(const Bytes& A, const Bytes& B)
{
    if (A.size() != B.size())
        return INT_MAX;
    int Largest = 0;
    for (size_t i = 0; i + 1 < A.size(); i += 2) {
        int16_t X = static_cast<int16_t>(A[i] | A[i + 1] << 8), Y = static_cast<int16_t>(B[i] | B[i + 1] << 8);
        Largest = std::max(Largest, std::abs(X - Y));
    }
    return Largest;
}

class AacPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("ffmpeg") || !HaveTool("faad"))
            GTEST_SKIP() << "ffmpeg or faad missing";
        Player = ZEBAudioPlayerCreate(H.Window());
        ASSERT_NE(Player, nullptr);
        TestOutput::Open(Player, &Out);
        ASSERT_TRUE(Same(H.Drain(Player), {Ok(ZEB_CMD_OUTPUT_OPEN)}));
    }
    void TearDown() override
    {
        if (Player)
            ZEBAudioPlayerDestroy(Player);
    }
    // The answer to "Input Open": true when the file opened.
    bool Open(const std::string& Path)
    {
        ZEBAudioInputOpen(Player, Path.c_str());
        std::vector<ZEBMessage> Got = H.Drain(Player);
        return !Got.empty() && Got[0].Msg == ZEB_RSP_OK;
    }
    bool Refused(const std::string& Path)
    {
        ZEBAudioInputOpen(Player, Path.c_str());
        std::vector<ZEBMessage> Got = H.Drain(Player);
        return Same({Got.empty() ? ZEBMessage{} : Got[0]}, {Msg(ZEB_RSP_ERROR, ZEB_CMD_INPUT_OPEN, ZEB_ERR_INPUT_OPEN)});
    }
    void PlayToEnd()
    {
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    }
    Bytes Play(const std::string& Path)
    {
        bool Opened = Open(Path);
        EXPECT_TRUE(Opened) << Path;
        if (Opened)
            PlayToEnd();
        return Out.Bytes();
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
};

// Points a loader key at a library that is not there for one test.
class MissingLibrary {
public:
    explicit MissingLibrary(const char* Key) : Key_(Key)
    {
        static const char* const Absent[] = {"libzeb-absent-library.so", nullptr};
        SetSupportLibraryNames(Key_, Absent);
        ReloadSupportLibrariesForTesting();
    }
    ~MissingLibrary()
    {
        SetSupportLibraryNames(Key_, nullptr);
        ReloadSupportLibrariesForTesting();
    }

private:
    const char* Key_;
};

TEST_F(AacPlayback, AdtsAndMp4PlayAsTheFaadToolDecodesThem)
{
    struct Case { const char* Name; uint32_t Rate; int Channels; uint32_t OutRate; };
    for (Case C : {Case{"play_s44.aac", 44100, 2, 44100}, Case{"play_m22.aac", 22050, 1, 44100},
                   Case{"play_s48.aac", 48000, 2, 48000}, Case{"play_s44.m4a", 44100, 2, 44100},
                   Case{"play_m22.m4a", 22050, 1, 22050}, Case{"play_m48.m4a", 48000, 1, 48000}}) {
        SCOPED_TRACE(C.Name);
        std::string Path = MakeAac(C.Name, C.Rate, C.Channels, 3.2);
        ASSERT_FALSE(Path.empty());
        Bytes Reference = FaadPcm(Path);
        ASSERT_GT(Reference.size(), 0u);
        {
            std::lock_guard<std::mutex> G(Out.Lock);
            Out.Data.clear();
        }
        Bytes Pcm = Play(Path);
        EXPECT_TRUE(Pcm == Reference) << Pcm.size() << " bytes against " << Reference.size();
        std::lock_guard<std::mutex> G(Out.Lock);
        // FAAD2 doubles low rates of ADTS streams (implicit SBR), not those
        // of an MP4 track's configuration, and plays mono as two channels.
        EXPECT_EQ(Out.LastRate, C.OutRate);
        EXPECT_EQ(Out.LastChannels, 2);
    }
}

TEST_F(AacPlayback, AnId3TagOrStraySyncBytesAheadOfTheFramesChangeNothing)
{
    std::string Clean = MakeAac("play_s44.aac", 44100, 2, 3.2);
    Bytes Reference = FaadPcm(Clean);
    // A false header (FF F1 ...) whose followers do not agree, and an FF FF F1 run.
    Bytes Stray = {0x00, 0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x12, 0xFF, 0xFF, 0xF1, 0x50, 0x33};
    Stray.resize(Stray.size() + 200, 0x5A);
    for (const std::string& Path : {PrefixedFixture("play_id3.aac", Id3v2Tag(1000), Clean),
                                    PrefixedFixture("play_stray.aac", Stray, Clean)}) {
        SCOPED_TRACE(Path);
        {
            std::lock_guard<std::mutex> G(Out.Lock);
            Out.Data.clear();
        }
        EXPECT_TRUE(Play(Path) == Reference);
    }
}

// A frame of another channel layout than the stream opened with does not
// end it: both parts play, the first exactly, the second at its length (less
// the frame a new decoder yields nothing for).
TEST_F(AacPlayback, AChangeOfLayoutMidStreamPlaysBothParts)
{
    std::string Mono = MakeAac("play_m44.aac", 44100, 1, 3.2);
    std::string Stereo = MakeAac("play_s44.aac", 44100, 2, 3.2);
    Bytes Pcm = Play(PrefixedFixture("play_mono_stereo.aac", ReadFile(Mono), Stereo));
    Bytes First = FaadPcm(Mono);
    ASSERT_GT(Pcm.size(), First.size());
    EXPECT_TRUE(Bytes(Pcm.begin(), Pcm.begin() + static_cast<long>(First.size())) == First);
    EXPECT_NEAR(static_cast<double>(Pcm.size() - First.size()), static_cast<double>(FaadPcm(Stereo).size()),
                2.0 * FrameBytes);
}

TEST_F(AacPlayback, Mp4SeeksWithAndWithoutTheModulesLookup)
{
    std::string Path = MakeAac("play_s44_long.m4a", 44100, 2, 6.2);
    Bytes Reference = FaadPcm(Path);
    const MP4EntryPoints Saved = *MP4EntryPointsForTesting();
    if (!Saved.ReadSample)
        GTEST_SKIP() << "the MP4 module is not there";
    size_t LookupSkipped = 0;
    for (bool Lookup : {true, false}) {
        SCOPED_TRACE(Lookup ? "lookup" : "proportion");
        if (!Lookup)
            MP4EntryPointsForTesting()->GetSampleIdFromMsTime = nullptr;
        {
            std::lock_guard<std::mutex> G(Out.Lock);
            Out.Data.clear();
        }
        ASSERT_TRUE(Open(Path));
        ZEBAudioSeek(Player, 1, 2); // half of the 6-second length
        H.Drain(Player);
        PlayToEnd();
        Bytes Pcm = Out.Bytes();
        // The reference from a whole frame near 3 s to the end. The decoder
        // is not reset: its first frame after the seek still overlaps the
        // old position, and state it carries over moves later samples
        // slightly (by a unit mostly; a few tens where the tone stops), far
        // less than a frame's misalignment would.
        ASSERT_GT(Pcm.size(), FrameBytes);
        ASSERT_LE(Pcm.size(), Reference.size());
        size_t Skipped = Reference.size() - Pcm.size();
        EXPECT_EQ(Skipped % FrameBytes, 0u);
        EXPECT_NEAR(Skipped / FrameBytes * 1024 / 44100.0, 3.0, 0.2);
        EXPECT_LE(LargestDifference(Tail(Pcm, FrameBytes), Tail(Reference, Skipped + FrameBytes)), 64);
        // Both measure the same milliseconds: the proportion of the exact
        // length lands within a frame of the module's lookup.
        if (Lookup)
            LookupSkipped = Skipped / FrameBytes;
        else
            EXPECT_NEAR(static_cast<double>(Skipped / FrameBytes), static_cast<double>(LookupSkipped), 1.0);
    }
    *MP4EntryPointsForTesting() = Saved;
}

TEST_F(AacPlayback, TrackQueriesScanAdtsAndReadTheMp4Duration)
{
    std::string Adts = MakeAac("play_s48_long.aac", 48000, 2, 7.5);
    std::string Mp4 = MakeAac("play_s48_long.m4a", 48000, 2, 7.5);
    EXPECT_EQ(ZEBAudioGetMP3TrackLength(Adts.c_str()), 7u);
    EXPECT_EQ(ZEBAudioGetMP3TrackLength(Mp4.c_str()), 7u);
    for (const std::string& Path : {Adts, Mp4}) {
        SCOPED_TRACE(Path);
        MPEGTrackInfoType Info{};
        ASSERT_EQ(ZEBAudioGetMP3TrackInfo(Path.c_str(), &Info), 1);
        EXPECT_EQ(Info.TrackLength, 7u);
        EXPECT_EQ(Info.SampleRate, 48000u);
        EXPECT_EQ(Info.Channels, 2);
        EXPECT_EQ(Info.Supported, 1);
    }
}

TEST_F(AacPlayback, WithoutFaadNeitherFormatOpensAndWithoutTheModuleOnlyAdtsPlays)
{
    std::string Adts = MakeAac("play_s44.aac", 44100, 2, 3.2);
    std::string Mp4 = MakeAac("play_s44.m4a", 44100, 2, 3.2);
    {
        MissingLibrary NoFaad("faad");
        EXPECT_TRUE(Refused(Adts));
        EXPECT_TRUE(Refused(Mp4));
    }
    {
        MissingLibrary NoModule("mp4");
        EXPECT_TRUE(Refused(Mp4));
        EXPECT_TRUE(Play(Adts) == FaadPcm(Adts));
    }
    EXPECT_TRUE(Open(Mp4));
}

TEST(AacCorpus, EveryAacAndMp4FilePlaysOrIsRefused)
{
    size_t Tried = PlayCorpusFiles([](const std::string& Path) {
        size_t Dot = Path.rfind('.');
        std::string Ext = Dot == std::string::npos ? "" : Path.substr(Dot);
        return strcasecmp(Ext.c_str(), ".aac") == 0 || strcasecmp(Ext.c_str(), ".m4a") == 0 ||
               strcasecmp(Ext.c_str(), ".mp4") == 0 || strcasecmp(Ext.c_str(), ".m4b") == 0;
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus";
}

} // namespace
