// WAVE files played through a host output module: bytes, sections, filters,
// progress arithmetic and the message sequences of playback control.
#include "core/player.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace zebtest;

namespace {

// These tests are about the built-in WAVE engine: the sound-file library,
// which takes WAVE files when it is present, is switched off for them.
class BuiltInWaveEngine : public ::testing::Environment {
public:
    void SetUp() override { UseSoundFileLibrary(false); }
    void TearDown() override { UseSoundFileLibrary(true); }

private:
    static void UseSoundFileLibrary(bool Use)
    {
        static const char* const NoLibrary[] = {"libzeb-absent-sndfile.so", nullptr};
        SetSupportLibraryNames("sndfile", Use ? nullptr : NoLibrary);
        ReloadSupportLibrariesForTesting();
    }
};
::testing::Environment* const WaveEngineOnly = ::testing::AddGlobalTestEnvironment(new BuiltInWaveEngine);

ZEBMessage Ok(uint32_t Cmd) { return Msg(ZEB_RSP_OK, Cmd, 0); }
ZEBMessage Err(uint32_t Cmd, uint32_t Code) { return Msg(ZEB_RSP_ERROR, Cmd, Code); }
ZEBMessage State(uint32_t S) { return Msg(ZEB_NTF_PLAY_STATE, S, 0); }

std::string MakeWav(const std::string& Name, uint32_t Rate, uint16_t Channels, uint16_t Bits, uint32_t Frames)
{
    std::string Path = FixturePath(Name);
    std::vector<uint8_t> Pcm = TestPcm(Frames, Channels, Rate);
    if (Bits != 16)
        Pcm.resize(static_cast<size_t>(Frames) * Channels * Bits / 8, 0x11);
    WriteWav(Path, Rate, Channels, Bits, Pcm);
    return Path;
}

class WavPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        Player = ZEBAudioPlayerCreate(H.Window());
        ASSERT_NE(Player, nullptr);
        TestOutput::Open(Player, &Out);
        ASSERT_TRUE(Same(H.Drain(Player), {Ok(ZEB_CMD_OUTPUT_OPEN)}));
    }
    void TearDown() override { ZEBAudioPlayerDestroy(Player); }
    // Opens Path and checks the two answers; returns the track length.
    uint32_t Open(const std::string& Path)
    {
        ZEBAudioInputOpen(Player, Path.c_str());
        std::vector<ZEBMessage> Got = H.Take(2);
        EXPECT_TRUE(Got.size() == 2 && Got[0].Msg == ZEB_RSP_OK && Got[1].Msg == ZEB_NTF_INPUT_OPENED)
            << Describe(Got);
        return Got.size() == 2 ? Got[1].lParam : 0;
    }
    std::vector<ZEBMessage> PlayToEnd()
    {
        ZEBAudioPlay(Player);
        return H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
};

// The progress pairs posted for sections of SectionBytes each: a section's
// time counts whole sample frames only.
std::vector<ZEBMessage> ExpectedProgress(uint32_t Sections, uint32_t SectionBytes, uint16_t Channels, uint32_t Rate,
                                         uint32_t Interval, uint32_t TrackMs, uint32_t Limit)
{
    double SectionMs = static_cast<double>(SectionBytes / Channels / 2) / Rate * 1000.0;
    std::vector<ZEBMessage> Pairs;
    double Elapsed = 0;
    uint32_t Last = 0;
    for (uint32_t i = 0; i < Sections; ++i) {
        Elapsed = std::min(Elapsed + SectionMs, static_cast<double>(TrackMs));
        if (static_cast<double>(Last + Interval) < Elapsed) {
            Last = static_cast<uint32_t>(Elapsed);
            Pairs.push_back(Msg(ZEB_NTF_ELAPSED_TIME, 0, Last));
            Pairs.push_back(Msg(ZEB_NTF_POSITION, 0, static_cast<uint32_t>(Limit * (Elapsed / TrackMs) + 0.5)));
        }
    }
    return Pairs;
}

std::vector<ZEBMessage> OnlyProgress(const std::vector<ZEBMessage>& Msgs)
{
    std::vector<ZEBMessage> Out;
    for (const ZEBMessage& M : Msgs)
        if (M.Msg == ZEB_NTF_ELAPSED_TIME || M.Msg == ZEB_NTF_POSITION)
            Out.push_back(M);
    return Out;
}

TEST_F(WavPlayback, DeliversTheDataChunkInQuarterSecondSections)
{
    const uint32_t Frames = 44100 * 3 + 1000; // 3 s and a remainder
    std::string Path = MakeWav("play_stereo.wav", 44100, 2, 16, Frames);
    EXPECT_EQ(Open(Path), 3u);
    std::vector<ZEBMessage> Got = PlayToEnd();
    ASSERT_GE(Got.size(), 2u);
    EXPECT_TRUE(Same({Got[0], Got[1]}, {Ok(ZEB_CMD_PLAY), State(ZEB_PLAYER_STATE_PLAYING)})) << Describe(Got);
    EXPECT_EQ(Out.Bytes(), TestPcm(Frames, 2, 44100));
    std::vector<uint32_t> Writes;
    {
        std::lock_guard<std::mutex> G(Out.Lock);
        Writes = Out.Writes;
        EXPECT_EQ(Out.LastChannels, 2);
        EXPECT_EQ(Out.LastRate, 44100u);
    }
    ASSERT_EQ(Writes.size(), 13u);
    for (size_t i = 0; i + 1 < Writes.size(); ++i)
        EXPECT_EQ(Writes[i], 44100u);
    EXPECT_EQ(Writes.back(), 4000u);
    // Open, writes, then the stream's close once decoding ended.
    std::vector<std::string> Calls = Out.CallLog();
    EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "open"), 1);
    EXPECT_EQ(Calls.back(), "close");
}

TEST_F(WavPlayback, ProgressFollowsTheIntervalAndPositionArithmetic)
{
    std::string Path = MakeWav("progress_10s.wav", 22050, 1, 16, 22050 * 10);
    Open(Path);
    ZEBAudioSetInputTimeInterval(Player, 600);
    ZEBAudioSetInputPositionRange(Player, 1000);
    std::vector<ZEBMessage> Got = PlayToEnd();
    std::vector<ZEBMessage> Expected = ExpectedProgress(40, 11025, 1, 22050, 600, 10000, 1000);
    EXPECT_TRUE(Same(OnlyProgress(Got), Expected)) << Describe(Got) << "\nwanted " << Describe(Expected);
    EXPECT_EQ(Got.back().Msg, static_cast<uint32_t>(ZEB_NTF_PLAY_STATE));
}

TEST_F(WavPlayback, ElapsedTimeIsClampedToTheDeclaredDuration)
{
    std::string Path = MakeWav("clamp_4s.wav", 8000, 1, 16, 8000 * 4);
    Open(Path);
    ZEBAudioSetDuration(Player, 2);
    ZEBAudioSetInputTimeInterval(Player, 100);
    std::vector<ZEBMessage> Got = PlayToEnd();
    std::vector<ZEBMessage> Progress = OnlyProgress(Got);
    ASSERT_FALSE(Progress.empty());
    for (const ZEBMessage& M : Progress) {
        if (M.Msg == ZEB_NTF_ELAPSED_TIME)
            EXPECT_LE(M.lParam, 2000u);
        else
            EXPECT_LE(M.lParam, 100u);
    }
    EXPECT_EQ(Progress[Progress.size() - 2].lParam, 2000u);
    EXPECT_EQ(Progress.back().lParam, 100u);
}

// Filters see every section before the output and may change it in place.
void NegateWrite(void* Inst, void* Buf, uint32_t Size, uint16_t, uint16_t, uint32_t)
{
    uint8_t* B = static_cast<uint8_t*>(Buf);
    for (uint32_t i = 0; i < Size; ++i)
        B[i] = static_cast<uint8_t>(B[i] ^ 0x5A);
    ++*static_cast<int*>(Inst);
}
int NegateCreate(void** Inst, void* Params)
{
    *Inst = Params;
    return 1;
}
void NegateRegister(OutputFilterModule* M)
{
    M->FilterCreate = NegateCreate;
    M->FilterWrite = NegateWrite;
}

TEST_F(WavPlayback, FiltersChangeSectionsBeforeTheOutput)
{
    int CallsA = 0, CallsB = 0;
    ZEBAudioAddOutputFilter(Player, NegateRegister, &CallsA);
    ZEBAudioAddOutputFilter(Player, NegateRegister, &CallsB);
    H.Drain(Player);
    std::string Path = MakeWav("filtered.wav", 16000, 2, 16, 16000 + 123);
    Open(Path);
    PlayToEnd();
    // Two XORs cancel: B saw A's change, and the output saw B's.
    EXPECT_EQ(Out.Bytes(), TestPcm(16000 + 123, 2, 16000));
    EXPECT_EQ(CallsA, CallsB);
    EXPECT_EQ(CallsA, 6); // five sections and the empty one at the end
}

TEST_F(WavPlayback, PauseSeekPlayAndStopSequences)
{
    Out.WriteDelayMs = 20;
    std::string Path = MakeWav("control_20s.wav", 44100, 2, 16, 44100 * 20);
    Open(Path);
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    ZEBAudioSeek(Player, 10, 100); // refused while playing
    ZEBAudioPause(Player);
    std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    std::vector<ZEBMessage> Tail(Got.end() - 3, Got.end());
    EXPECT_TRUE(Same(Tail, {Err(ZEB_CMD_SEEK, ZEB_ERR_INVALID_PARAMS), Ok(ZEB_CMD_PAUSE),
                            State(ZEB_PLAYER_STATE_PAUSED)}))
        << Describe(Got);

    ZEBAudioSeek(Player, 50, 100);
    EXPECT_TRUE(Same(H.Drain(Player), {Ok(ZEB_CMD_SEEK), Msg(ZEB_NTF_ELAPSED_TIME, 0, 10000),
                                       Msg(ZEB_NTF_POSITION, 0, 50)}));
    size_t Before = Out.Bytes().size();
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    H.Until(ZEB_NTF_ELAPSED_TIME, 0);
    ZEBAudioStop(Player);
    Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED);
    ASSERT_GE(Got.size(), 4u);
    std::vector<ZEBMessage> StopTail(Got.end() - 4, Got.end());
    EXPECT_EQ(StopTail[0].Msg, static_cast<uint32_t>(ZEB_NTF_ELAPSED_TIME));
    EXPECT_GT(StopTail[0].lParam, 10000u);
    EXPECT_EQ(StopTail[1].Msg, static_cast<uint32_t>(ZEB_NTF_POSITION));
    EXPECT_TRUE(Same({StopTail[2], StopTail[3]}, {Ok(ZEB_CMD_STOP), State(ZEB_PLAYER_STATE_STOPPED)}));

    // After the seek the data continued from 10 s into the file.
    std::vector<uint8_t> Bytes = Out.Bytes();
    std::vector<uint8_t> Pcm = TestPcm(44100 * 20, 2, 44100);
    ASSERT_GT(Bytes.size(), Before + 1000);
    EXPECT_TRUE(std::equal(Bytes.begin() + static_cast<long>(Before), Bytes.begin() + static_cast<long>(Before) + 1000,
                           Pcm.begin() + 44100 * 4 * 10));
    std::vector<std::string> Calls = Out.CallLog();
    EXPECT_NE(std::find(Calls.begin(), Calls.end(), "cmd:8002:0"), Calls.end());
    // Playing from a seek's stopped state does not resume the output.
    EXPECT_EQ(std::find(Calls.begin(), Calls.end(), "cmd:8003:0"), Calls.end());

    // A second stop rewinds again and reports position 0.
    ZEBAudioStop(Player);
    EXPECT_TRUE(Same(H.Drain(Player), {Msg(ZEB_NTF_ELAPSED_TIME, 0, 0), Msg(ZEB_NTF_POSITION, 0, 0),
                                       Ok(ZEB_CMD_STOP), State(ZEB_PLAYER_STATE_STOPPED)}));
}

TEST_F(WavPlayback, ResumeFromPausePassesPlayToTheOutput)
{
    Out.WriteDelayMs = 10;
    Open(MakeWav("resume.wav", 8000, 1, 16, 8000 * 10));
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    ZEBAudioPause(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    std::vector<std::string> Calls = Out.CallLog();
    EXPECT_NE(std::find(Calls.begin(), Calls.end(), "cmd:8003:0"), Calls.end());
    EXPECT_EQ(Out.Bytes(), TestPcm(8000 * 10, 1, 8000));
}

TEST_F(WavPlayback, EndOfStreamClosesTheInput)
{
    Open(MakeWav("short.wav", 44100, 2, 16, 4410));
    PlayToEnd();
    ZEBAudioPlay(Player);
    ZEBAudioSeek(Player, 1, 2);
    EXPECT_TRUE(Same(H.Drain(Player), {Ok(ZEB_CMD_PLAY), Ok(ZEB_CMD_SEEK)}));
}

TEST_F(WavPlayback, OutputCloseWhilePlayingKeepsThePlayingState)
{
    Out.WriteDelayMs = 20;
    Open(MakeWav("outclose.wav", 44100, 2, 16, 44100 * 20));
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    ZEBAudioOutputClose(Player);
    ZEBAudioSeek(Player, 1, 2);
    std::vector<ZEBMessage> Got = H.Drain(Player);
    ASSERT_GE(Got.size(), 2u);
    EXPECT_TRUE(Same({Got[Got.size() - 2], Got.back()}, {Ok(ZEB_CMD_OUTPUT_CLOSE), Err(ZEB_CMD_SEEK, 6)}))
        << Describe(Got);
    EXPECT_EQ(Out.Count("delete"), 1u);
}

TEST_F(WavPlayback, UnsupportedFormatsAreRefusedAndNothingStaysOpen)
{
    Out.WriteDelayMs = 10;
    Open(MakeWav("before_refusal.wav", 44100, 2, 16, 44100 * 10));
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    for (const std::string& Path : {MakeWav("deep24.wav", 44100, 2, 24, 4410), MakeWav("six.wav", 48000, 6, 16, 4800),
                                    MakeWav("eight.wav", 8000, 1, 8, 800)}) {
        ZEBAudioInputOpen(Player, Path.c_str());
        ZEBAudioPlay(Player);
        std::vector<ZEBMessage> Got = H.Drain(Player);
        ASSERT_GE(Got.size(), 2u);
        EXPECT_TRUE(Same({Got[Got.size() - 2], Got.back()}, {Err(ZEB_CMD_INPUT_OPEN, 1), Ok(ZEB_CMD_PLAY)}))
            << Path << ": " << Describe(Got);
    }
    MPEGTrackInfoType Info{};
    ASSERT_EQ(ZEBAudioGetMP3TrackInfo(FixturePath("six.wav").c_str(), &Info), 1);
    EXPECT_EQ(Info.Supported, 0);
    EXPECT_EQ(Info.Channels, 6);
    EXPECT_EQ(Info.SampleRate, 48000u);
}

TEST(WavTrackQueries, LengthAndInfoOfAWaveFile)
{
    std::string Path = MakeWav("info_7s.wav", 22050, 2, 16, 22050 * 7 + 5);
    EXPECT_EQ(ZEBAudioGetMP3TrackLength(Path.c_str()), 7u);
    MPEGTrackInfoType Info{};
    ASSERT_EQ(ZEBAudioGetMP3TrackInfo(Path.c_str(), &Info), 1);
    EXPECT_EQ(Info.TrackLength, 7u);
    EXPECT_EQ(Info.SampleRate, 22050u);
    EXPECT_EQ(Info.Channels, 2);
    EXPECT_EQ(Info.BitRate, 0);
    EXPECT_EQ(Info.Supported, 1);
    MPEGTrackInfoType Kept{};
    Kept.TrackLength = 300;
    ASSERT_EQ(ZEBAudioGetMP3TrackInfo(Path.c_str(), &Kept), 1);
    EXPECT_EQ(Kept.TrackLength, 300u);
}

// ---- Corpus ----

TEST(WavCorpus, EveryWaveFilePlaysToTheEndOrIsRefused)
{
    size_t Tried = PlayCorpusFiles([](const std::string& P) {
        return P.size() > 4 && strcasecmp(P.c_str() + P.size() - 4, ".wav") == 0;
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
}

} // namespace
