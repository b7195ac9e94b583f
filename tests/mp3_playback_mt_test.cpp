// MPEG audio played through the player: the PCM equals libmpg123's own
// decode of the file, damaged streams play around the damage, and the
// track queries scan variable-bit-rate files.
#include "engines/mp3_engine.h"
#include "support/host.h"
#include "support/mpeg_fixtures.h"

#include <gtest/gtest.h>
#include <strings.h>

using namespace zebtest;

namespace {

std::string Encode(const std::string& Name, const std::string& LameArgs, uint32_t Rate, uint16_t Channels,
                   uint32_t Seconds)
{
    return LameFixture(Name, Seconds, Channels, Rate, LameArgs);
}

class Mp3Playback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("lame"))
            GTEST_SKIP() << "lame is not installed";
        Player = ZEBAudioPlayerCreate(H.Window());
        TestOutput::Open(Player, &Out);
        H.Drain(Player);
    }
    void TearDown() override
    {
        if (Player)
            ZEBAudioPlayerDestroy(Player);
    }
    // Plays Path to the end; returns every message from the open on.
    std::vector<ZEBMessage> PlayToEnd(const std::string& Path)
    {
        ZEBAudioInputOpen(Player, Path.c_str());
        ZEBAudioPlay(Player);
        return H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    }
    static bool HasError(const std::vector<ZEBMessage>& Msgs)
    {
        for (const ZEBMessage& M : Msgs)
            if (M.Msg == ZEB_NTF_ERROR || M.Msg == ZEB_RSP_ERROR)
                return true;
        return false;
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
};

TEST_F(Mp3Playback, DecodedPcmEqualsLibmpg123)
{
    struct Case {
        const char* Name;
        const char* Args;
        uint32_t Rate;
        uint16_t Channels;
    } Cases[] = {
        {"cbr128.mp3", "-b 128", 44100, 2},
        {"vbr_xing.mp3", "-V 2", 44100, 2},
        {"vbr_noxing.mp3", "-V 4 -t", 32000, 2},
        {"mpeg2_mono.mp3", "-b 32 -m m", 22050, 1},
        {"mpeg25.mp3", "-b 16 -m m", 11025, 1},
    };
    for (const Case& C : Cases) {
        std::string Path = Encode(C.Name, C.Args, C.Rate, C.Channels, 4);
        ASSERT_FALSE(Path.empty()) << C.Name;
        {
            std::lock_guard<std::mutex> G(Out.Lock);
            Out.Data.clear();
        }
        std::vector<ZEBMessage> Got = PlayToEnd(Path);
        EXPECT_FALSE(HasError(Got)) << C.Name << ": " << Describe(Got);
        std::vector<uint8_t> Expected = DecodeWithLibmpg123(Path);
        ASSERT_GT(Expected.size(), 10000u) << C.Name;
        std::vector<uint8_t> Played = Out.Bytes();
        EXPECT_EQ(Played.size(), Expected.size()) << C.Name;
        EXPECT_TRUE(Played == Expected) << C.Name;
        std::lock_guard<std::mutex> G(Out.Lock);
        EXPECT_EQ(Out.LastRate, C.Rate) << C.Name;
        EXPECT_EQ(Out.LastChannels, C.Channels) << C.Name;
    }
}

TEST_F(Mp3Playback, CorruptStretchPlaysAroundItSilently)
{
    std::string Clean = Encode("corrupt_src.mp3", "-b 128", 44100, 2, 6);
    ASSERT_FALSE(Clean.empty());
    std::vector<uint8_t> Bytes = ReadFile(Clean);
    for (size_t i = Bytes.size() / 2; i < Bytes.size() / 2 + 3000; ++i)
        Bytes[i] = static_cast<uint8_t>((i * 37) ^ 0xA5);
    std::string Damaged = FixturePath("corrupt_mid.mp3");
    WriteFile(Damaged, Bytes);
    std::vector<ZEBMessage> Got = PlayToEnd(Damaged);
    EXPECT_FALSE(HasError(Got)) << Describe(Got);
    size_t Reference = DecodeWithLibmpg123(Clean).size();
    size_t Played = Out.Bytes().size();
    EXPECT_GT(Played, Reference * 8 / 10);
    EXPECT_LE(Played, Reference + 44100 * 4);
}

TEST_F(Mp3Playback, FileCutInsideItsLastFrameEnds)
{
    std::string Clean = Encode("cut_src.mp3", "-b 128", 44100, 2, 3);
    ASSERT_FALSE(Clean.empty());
    std::vector<uint8_t> Bytes = ReadFile(Clean);
    Bytes.resize(Bytes.size() - 200);
    std::string Cut = FixturePath("cut_last_frame.mp3");
    WriteFile(Cut, Bytes);
    std::vector<ZEBMessage> Got = PlayToEnd(Cut);
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got.back().wParam, static_cast<uint32_t>(ZEB_PLAYER_STATE_EOS));
    EXPECT_FALSE(HasError(Got)) << Describe(Got);
}

TEST_F(Mp3Playback, SeekWhilePausedContinuesFromTheNewPosition)
{
    std::string Path = Encode("seek_src.mp3", "-b 128", 44100, 2, 20);
    ASSERT_FALSE(Path.empty());
    // Three quarters of the exact length (20.03 s: the frames that play).
    MPEGFileInfoType* Info = PrepareMPEGFile(Path.c_str());
    ASSERT_NE(Info, nullptr);
    uint32_t Target = static_cast<uint32_t>(TrackMilliseconds(Info) * 0.75);
    UnPrepareMPEGFile(Info);
    EXPECT_GT(Target, 15000u);
    Out.WriteDelayMs = 5;
    ZEBAudioInputOpen(Player, Path.c_str());
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    ZEBAudioPause(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    ZEBAudioSeek(Player, 3, 4);
    std::vector<ZEBMessage> Got = H.Drain(Player);
    ASSERT_EQ(Got.size(), 3u) << Describe(Got);
    EXPECT_EQ(Got[1].lParam, Target);
    size_t Before = Out.Bytes().size();
    ZEBAudioPlay(Player);
    Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    EXPECT_FALSE(HasError(Got));
    size_t After = Out.Bytes().size() - Before;
    // About 5 s remained after the seek to 15 s of 20.
    EXPECT_GT(After, 44100u * 4 * 4);
    EXPECT_LT(After, 44100u * 4 * 7);
}

TEST(Mp3TrackQueries, LengthQueryScansVariableBitRateWithoutXing)
{
    if (!HaveTool("lame"))
        GTEST_SKIP() << "lame is not installed";
    std::string Path = Encode("query_vbr_noxing.mp3", "-V 0 -t", 44100, 2, 30);
    ASSERT_FALSE(Path.empty());
    EXPECT_NEAR(static_cast<double>(ZEBAudioGetMP3TrackLength(Path.c_str())), 30.0, 1.0);
    MPEGTrackInfoType Info{};
    ASSERT_EQ(ZEBAudioGetMP3TrackInfo(Path.c_str(), &Info), 1);
    EXPECT_NEAR(static_cast<double>(Info.TrackLength), 30.0, 1.0);
    EXPECT_EQ(Info.BitRate, 0); // found to be variable by the scan
    EXPECT_EQ(Info.Supported, 1);
    std::string Cbr = Encode("query_cbr.mp3", "-b 192", 48000, 2, 10);
    MPEGTrackInfoType CbrInfo{};
    ASSERT_EQ(ZEBAudioGetMP3TrackInfo(Cbr.c_str(), &CbrInfo), 1);
    EXPECT_EQ(CbrInfo.BitRate, 192);
    EXPECT_EQ(CbrInfo.SampleRate, 48000u);
    EXPECT_NEAR(static_cast<double>(CbrInfo.TrackLength), 10.0, 1.0);
}

// ---- Corpus: .mp3 files and every file no other engine takes ----

bool TakenAsMpeg(const std::string& Path)
{
    static const char* const Others[] = {".ogg", ".aac", ".m4a", ".mp4", ".wma", ".flac", ".wav", ".w64"};
    size_t Dot = Path.rfind('.');
    if (Dot == std::string::npos || Path.find('/', Dot) != std::string::npos)
        return true;
    std::string Ext = Path.substr(Dot);
    for (const char* Other : Others)
        if (strcasecmp(Ext.c_str(), Other) == 0)
            return false;
    return true;
}

TEST(Mp3Corpus, EveryMpegCandidatePlaysToTheEndOrIsRefused)
{
    size_t Tried = PlayCorpusFiles(
        [](const std::string& P) { return TakenAsMpeg(P) && P.find("README") == std::string::npos; },
        [](const std::string& P) { ZEBAudioGetMP3TrackLength(P.c_str()); }); // must not crash or hang
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
}

} // namespace
