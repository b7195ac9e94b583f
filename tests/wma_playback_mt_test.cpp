// Windows Media Audio through the player and the project's runtime module:
// the PCM equals ffmpeg's decode, pause, seek, stop and preload keep the
// stream whole, damaged files end or are refused without a hang or a word on
// standard error, and every Windows Media file of the corpus plays or is
// refused.
#include "platform/dsdevice_testing.h"
#include "support/host.h"
#include "support/returns_within.h"
#include "wmaengine.h"
#include "wmmedia.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace zebtest;

namespace {

constexpr int HangMs = 20000;

// The module is there and makes readers (its reader may still be missing).
bool ReaderAvailable()
{
    IWMReader* Reader = nullptr;
    if (!CommonDllInit() || WMCreateReader(nullptr, 0, &Reader) < 0 || !Reader)
        return false;
    Reader->Release();
    return true;
}

// Seconds of TestPcm encoded by ffmpeg with Options (codec, extra streams,
// metadata); made once in the fixture folder. Empty without ffmpeg.
std::string MakeWma(const std::string& Name, uint32_t Rate, uint16_t Channels, double Seconds,
                    const std::string& Options, const std::string& Inputs = "")
{
    if (!HaveTool("ffmpeg"))
        return "";
    // Test processes run in parallel: the source is this process's own.
    std::string Wav = FixturePath(Name + ".src." + std::to_string(getpid()) + ".wav");
    std::string Path = FixturePath(Name);
    bool Made = MakeFixtureOnce(Path, [&](const std::string& Own) {
        WriteWav(Wav, Rate, Channels, 16, TestPcm(static_cast<uint32_t>(Rate * Seconds), Channels, Rate));
        return "ffmpeg -v error -nostdin -y " + Inputs + " -i " + Wav + " " + Options + " -f asf " + Own;
    });
    unlink(Wav.c_str());
    return Made ? Path : "";
}

std::string StereoWmav2() { return MakeWma("wmav2_stereo.wma", 44100, 2, 6.0, "-c:a wmav2 -b:a 128k"); }

// ffmpeg's own decode of the file, as the module is to deliver it.
std::vector<uint8_t> FfmpegPcm(const std::string& Path)
{
    std::string Out = Path + ".ffmpeg." + std::to_string(getpid()) + ".s16";
    std::vector<uint8_t> Pcm;
    if (Run("ffmpeg -v error -nostdin -y -i " + Path + " -f s16le " + Out))
        Pcm = ReadFile(Out);
    unlink(Out.c_str());
    return Pcm;
}

// Where the Len bytes at Played[From] occur in Reference, or -1.
long FindIn(const std::vector<uint8_t>& Reference, const std::vector<uint8_t>& Played, size_t From, size_t Len)
{
    if (From + Len > Played.size())
        return -1;
    auto At = std::search(Reference.begin(), Reference.end(), Played.begin() + static_cast<long>(From),
                          Played.begin() + static_cast<long>(From + Len));
    return At == Reference.end() ? -1 : static_cast<long>(At - Reference.begin());
}

bool HasError(const std::vector<ZEBMessage>& Msgs)
{
    for (const ZEBMessage& M : Msgs)
        if (M.Msg == ZEB_NTF_ERROR || M.Msg == ZEB_RSP_ERROR)
            return true;
    return false;
}

class WmaPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("ffmpeg"))
            GTEST_SKIP() << "ffmpeg is not installed";
        if (!ReaderAvailable())
            GTEST_SKIP() << "libzeb-wmf.so with its reader is not beside the test";
        Player = ZEBAudioPlayerCreate(H.Window());
        TestOutput::Open(Player, &Out);
        H.Drain(Player);
    }
    void TearDown() override
    {
        if (Player) {
            EXPECT_TRUE(ReturnsWithin(HangMs, [P = Player] { ZEBAudioPlayerDestroy(P); }));
        }
    }
    // Opens Path: true when the player answered with the track length.
    bool Open(const std::string& Path)
    {
        ZEBAudioInputOpen(Player, Path.c_str());
        std::vector<ZEBMessage> Got = H.Take(2);
        return Got.size() == 2 && Got[0].Msg == ZEB_RSP_OK && Got[1].Msg == ZEB_NTF_INPUT_OPENED;
    }
    std::vector<ZEBMessage> PlayToEnd()
    {
        ZEBAudioPlay(Player);
        return H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    }
    void ClearOutput()
    {
        std::lock_guard<std::mutex> G(Out.Lock);
        Out.Data.clear();
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
};

TEST_F(WmaPlayback, PcmEqualsFfmpegDecode)
{
    struct Case {
        std::string Path;
        uint32_t Rate;
        uint16_t Channels;
        uint32_t Seconds;
    } Cases[] = {
        {StereoWmav2(), 44100, 2, 6},
        {MakeWma("wmav1_mono.wma", 22050, 1, 4.0, "-c:a wmav1 -b:a 32k"), 22050, 1, 4},
        {MakeWma("with_video.wma", 44100, 2, 3.0, "-map 0:v -map 1:a -c:v wmv2 -c:a wmav2 -b:a 96k",
                 "-f lavfi -i color=c=blue:s=32x32:r=5:d=3"),
         44100, 2, 3},
        {MakeWma("tagged.wma", 44100, 2, 3.0,
                 "-c:a wmav2 -b:a 64k -metadata title=Tune -metadata artist=Someone -metadata comment=Words"),
         44100, 2, 3},
    };
    for (const Case& C : Cases) {
        ASSERT_FALSE(C.Path.empty());
        ClearOutput();
        ZEBAudioInputOpen(Player, C.Path.c_str());
        std::vector<ZEBMessage> Opened = H.Take(2);
        ASSERT_EQ(Opened.size(), 2u) << C.Path;
        ASSERT_EQ(Opened[1].Msg, static_cast<uint32_t>(ZEB_NTF_INPUT_OPENED)) << C.Path << Describe(Opened);
        EXPECT_NEAR(static_cast<double>(Opened[1].lParam), C.Seconds, 1.0) << C.Path;
        std::vector<ZEBMessage> Got = PlayToEnd();
        EXPECT_FALSE(HasError(Got)) << C.Path << ": " << Describe(Got);
        std::vector<uint8_t> Expected = FfmpegPcm(C.Path);
        ASSERT_GT(Expected.size(), 10000u) << C.Path;
        std::vector<uint8_t> Played = Out.Bytes();
        EXPECT_EQ(Played.size(), Expected.size()) << C.Path;
        EXPECT_TRUE(Played == Expected) << C.Path;
        std::lock_guard<std::mutex> G(Out.Lock);
        EXPECT_EQ(Out.LastRate, C.Rate) << C.Path;
        EXPECT_EQ(Out.LastChannels, C.Channels) << C.Path;
    }
}

TEST_F(WmaPlayback, PauseThenPlayResumesWhereItPaused)
{
    std::string Path = StereoWmav2();
    ASSERT_TRUE(Open(Path));
    Out.WriteDelayMs = 10;
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_ELAPSED_TIME, 0);
    for (int i = 0; i < 3; ++i) {
        ZEBAudioPause(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    }
    std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    EXPECT_FALSE(HasError(Got)) << Describe(Got);
    EXPECT_TRUE(Out.Bytes() == FfmpegPcm(Path)) << "a pause lost or repeated a sample";
}

TEST_F(WmaPlayback, SeekWhilePausedAndStopPlayStartWhereAsked)
{
    std::string Path = StereoWmav2();
    std::vector<uint8_t> Reference = FfmpegPcm(Path);
    ASSERT_TRUE(Open(Path));
    Out.WriteDelayMs = 10;
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_ELAPSED_TIME, 0);
    ZEBAudioPause(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    ZEBAudioSeek(Player, 4, 6); // 4 s of the 6
    H.Drain(Player);
    size_t Before = Out.Bytes().size();
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    // Half a second after the new start the output is the file's audio at
    // 4.5 s (within a decoder frame or two).
    constexpr size_t BytesPerSecond = 44100 * 4;
    long At = FindIn(Reference, Out.Bytes(), Before + BytesPerSecond / 2, 4096);
    ASSERT_GE(At, 0) << "the audio after the seek is not the file's";
    EXPECT_NEAR(static_cast<double>(At) / BytesPerSecond, 4.5, 0.1);

    // After the end the input is closed; a new open, some play, a stop and
    // a play start again from the beginning.
    ASSERT_TRUE(Open(Path));
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_ELAPSED_TIME, 0);
    ZEBAudioStop(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED);
    Before = Out.Bytes().size();
    ZEBAudioPlay(Player);
    H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
    std::vector<uint8_t> Played = Out.Bytes();
    At = FindIn(Reference, Played, Before + BytesPerSecond / 2, 4096);
    ASSERT_GE(At, 0);
    EXPECT_NEAR(static_cast<double>(At) / BytesPerSecond, 0.5, 0.1);
    EXPECT_NEAR(static_cast<double>(Played.size() - Before), static_cast<double>(Reference.size()),
                static_cast<double>(BytesPerSecond) / 10);
}

// "Pause" with nothing under way (just opened, or stopped) and then "Play"
// streams the file whole from its start.
TEST_F(WmaPlayback, PauseWhileStoppedThenPlayStreamsFromTheStart)
{
    std::string Path = MakeWma("again.wma", 44100, 2, 2.0, "-c:a wmav2 -b:a 128k");
    std::vector<uint8_t> Reference = FfmpegPcm(Path);
    ASSERT_FALSE(Reference.empty());
    for (bool PlayedFirst : {false, true}) {
        ASSERT_TRUE(Open(Path));
        if (PlayedFirst) {
            ZEBAudioPlay(Player);
            H.Until(ZEB_NTF_ELAPSED_TIME, 0);
            ZEBAudioStop(Player);
            H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED);
        }
        ZEBAudioPause(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
        ClearOutput();
        ZEBAudioPlay(Player);
        std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, HangMs);
        EXPECT_FALSE(HasError(Got)) << Describe(Got);
        EXPECT_TRUE(Out.Bytes() == Reference) << "played first: " << PlayedFirst;
    }
}

TEST_F(WmaPlayback, DamagedFilesEndOrAreRefusedWithoutHanging)
{
    std::string Good = StereoWmav2();
    std::vector<uint8_t> Bytes = ReadFile(Good);
    ASSERT_GT(Bytes.size(), 20000u);
    auto Variant = [&](const std::string& Name, std::vector<uint8_t> B) {
        std::string P = FixturePath(Name);
        WriteFile(P, B);
        return P;
    };
    std::vector<uint8_t> Garbled = Bytes;
    for (size_t i = Garbled.size() / 3; i < Garbled.size() / 3 + 5000; ++i)
        Garbled[i] = static_cast<uint8_t>(i * 131);
    std::vector<std::string> Files = {
        Variant("bad_half.wma", std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + static_cast<long>(Bytes.size() / 2))),
        Variant("bad_header_only.wma", std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + 600)),
        Variant("bad_empty.wma", {}),
        Variant("bad_text.wma", std::vector<uint8_t>(5000, 'x')),
        Variant("bad_garbled.wma", Garbled),
    };
    // FFmpeg's reports of the damage must not reach the host's standard error.
    testing::internal::CaptureStderr();
    for (const std::string& P : Files) {
        ZEBAudioInputOpen(Player, P.c_str());
        ZEBAudioPlay(Player);
        std::vector<ZEBMessage> Got = H.Drain(Player, 30000);
        ASSERT_FALSE(Got.empty()) << P;
        bool Refused = Got[0].Msg == ZEB_RSP_ERROR && Got[0].lParam == ZEB_ERR_INPUT_OPEN;
        if (!Refused) {
            bool Ended = std::any_of(Got.begin(), Got.end(), [](const ZEBMessage& M) {
                return M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_EOS;
            });
            if (!Ended)
                Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 30000);
            ASSERT_FALSE(Got.empty()) << P;
            EXPECT_EQ(Got.back().wParam, static_cast<uint32_t>(ZEB_PLAYER_STATE_EOS)) << P << Describe(Got);
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(WmaPlayback, CloseStopAndDestroyWhileTheReaderWaitsComplete)
{
    std::string Path = StereoWmav2();
    // Paused with a sample waiting in the hand-over: Input Close, Stop and
    // the player's destruction must all come back.
    for (int Way = 0; Way < 3; ++Way) {
        ASSERT_TRUE(Open(Path));
        Out.WriteDelayMs = 20;
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_ELAPSED_TIME, 0);
        ZEBAudioPause(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
        if (Way == 0) {
            ZEBAudioInputClose(Player);
            EXPECT_FALSE(H.Until(ZEB_RSP_OK, ZEB_CMD_INPUT_CLOSE, HangMs).empty());
        } else if (Way == 1) {
            ZEBAudioStop(Player);
            EXPECT_FALSE(H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED, HangMs).empty());
            ZEBAudioInputClose(Player);
            EXPECT_FALSE(H.Until(ZEB_RSP_OK, ZEB_CMD_INPUT_CLOSE, HangMs).empty());
        } else {
            void* P = Player;
            Player = nullptr;
            EXPECT_TRUE(ReturnsWithin(HangMs, [P] { ZEBAudioPlayerDestroy(P); }));
        }
    }
}

// Plays the prepared file from where it stands to its end, as the audio
// thread would, and returns the PCM.
std::vector<uint8_t> PlayThrough(MPEGFileInfoType* Info)
{
    std::vector<uint8_t> Buffer(OutBufSz);
    std::vector<uint8_t> Got;
    EXPECT_NE(WMAActionZEBCommand(ZEB_CMD_PLAY, Info), 0);
    for (;;) {
        while (!WMASamplesPending(Info))
            ;
        uint32_t Size = DecodeWMASection(Info, Buffer.data(), OutBufSz);
        if (Size == 0)
            return Got;
        Got.insert(Got.end(), Buffer.begin(), Buffer.begin() + Size);
    }
}

// The engine alone with the real module: a stream that reached its end
// plays again after Stop and a new start from 0.
TEST(WmaEngineReal, StopAndPlayAfterTheEndPlaysAgain)
{
    if (!HaveTool("ffmpeg") || !ReaderAvailable())
        GTEST_SKIP() << "ffmpeg or libzeb-wmf.so missing";
    std::string Path = MakeWma("again.wma", 44100, 2, 2.0, "-c:a wmav2 -b:a 128k");
    std::vector<uint8_t> Reference = FfmpegPcm(Path);
    MPEGFileInfoType* Info = PrepareWMAFile(Path.c_str());
    ASSERT_NE(Info, nullptr);
    // The header's duration in samples: the decoded length within a
    // decoder frame or two.
    EXPECT_NEAR(static_cast<double>(Info->TotalSamples), static_cast<double>(Reference.size() / 4), 44100 / 10);
    EXPECT_TRUE(PlayThrough(Info) == Reference);
    WMAActionZEBCommand(ZEB_CMD_STOP, Info);
    SeekWMAFile(Info, 0);
    std::vector<uint8_t> Again = PlayThrough(Info);
    EXPECT_EQ(Again.size(), Reference.size());
    UnPrepareWMAFile(Info);
}

// A file under a path far longer than 260 bytes plays, and opens for
// editing.
TEST(WmaEngineReal, LongPathPlaysAndOpensForEditing)
{
    if (!HaveTool("ffmpeg") || !ReaderAvailable())
        GTEST_SKIP() << "ffmpeg or libzeb-wmf.so missing";
    std::string Path = MakeWma("again.wma", 44100, 2, 2.0, "-c:a wmav2 -b:a 128k");
    std::string Dir = FixturePath("long." + std::to_string(getpid()));
    for (char Part : {'a', 'b', 'c'})
        Dir += "/" + std::string(120, Part);
    ASSERT_TRUE(zebtest::Run("mkdir -p " + Dir));
    std::string Long = Dir + "/again.wma";
    ASSERT_GT(Long.size(), 360u);
    WriteFile(Long, ReadFile(Path));
    MPEGFileInfoType* Info = PrepareWMAFile(Long.c_str());
    ASSERT_NE(Info, nullptr);
    EXPECT_TRUE(PlayThrough(Info) == FfmpegPcm(Path));
    UnPrepareWMAFile(Info);
    void* Editor = _WMOpenMetaEditor(Long.c_str());
    EXPECT_NE(Editor, nullptr);
    EXPECT_EQ(_WMCloseMetaEditor(Editor), 1);
    zebtest::Run("rm -rf " + FixturePath("long." + std::to_string(getpid())));
}

// ---- On the built-in output over a virtual device ----

class WmaOnDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("ffmpeg") || !ReaderAvailable())
            GTEST_SKIP() << "ffmpeg or libzeb-wmf.so missing";
        SetVirtualDevicesForTesting(1);
        Player = ZEBAudioPlayerCreate(H.Window());
        ZEBAudioOutputOpenDSound(Player, H.Window(), 0);
        H.Until(ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000);
        Device = VirtualDeviceForTesting(0);
    }
    void TearDown() override
    {
        if (Player)
            ZEBAudioPlayerDestroy(Player);
        SetVirtualDevicesForTesting(0);
    }
    std::vector<uint8_t> PlayAndCapture(bool Preload)
    {
        if (Preload) {
            ZEBAudioPreloadBuffers(Player);
            EXPECT_FALSE(H.Until(ZEB_NTF_PRELOAD, 0, 5000).empty());
        }
        VirtualDeviceSetCapture(Device, true);
        VirtualDeviceRunClock(Device, 4.0);
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
        ZEBAudioOutputDrain(Player);
        H.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_DRAIN);
        VirtualDeviceRunClock(Device, 0);
        std::vector<int16_t> Samples = VirtualDeviceTakeCapture(Device);
        std::vector<uint8_t> Bytes(Samples.size() * 2);
        memcpy(Bytes.data(), Samples.data(), Bytes.size());
        return Bytes;
    }
    Host H;
    void* Player = nullptr;
    DSDevice* Device = nullptr;
};

TEST_F(WmaOnDevice, PreloadThenPlayIsHeardWholeWithoutRepeatOrGap)
{
    ASSERT_NE(Device, nullptr);
    std::string Path = StereoWmav2();
    std::vector<uint8_t> Reference = FfmpegPcm(Path);
    ASSERT_FALSE(Reference.empty());
    for (bool Preload : {true, false}) {
        ZEBAudioInputOpen(Player, Path.c_str());
        ASSERT_FALSE(H.Until(ZEB_NTF_INPUT_OPENED, 0, 5000).empty());
        std::vector<uint8_t> Played = PlayAndCapture(Preload);
        // The file's audio from its first loud sample on, once and whole.
        auto Loud = std::find_if(Reference.begin(), Reference.end(), [](uint8_t B) { return B != 0; });
        size_t First = static_cast<size_t>(Loud - Reference.begin()) & ~size_t(3);
        ASSERT_GT(Reference.size(), First + 64);
        auto At = std::search(Played.begin(), Played.end(), Reference.begin() + static_cast<long>(First),
                              Reference.begin() + static_cast<long>(First) + 64);
        ASSERT_NE(At, Played.end()) << "preload " << Preload;
        size_t Start = static_cast<size_t>(At - Played.begin());
        size_t Rest = Reference.size() - First;
        ASSERT_GE(Played.size(), Start + Rest) << "preload " << Preload;
        EXPECT_TRUE(std::equal(Reference.begin() + static_cast<long>(First), Reference.end(),
                               Played.begin() + static_cast<long>(Start)))
            << "preload " << Preload;
    }
}

// ---- Corpus ----

TEST(WmaCorpus, EveryWindowsMediaFilePlaysToTheEndOrIsRefused)
{
    size_t Tried = PlayCorpusFiles([](const std::string& P) {
        return P.size() > 4 && (strcasecmp(P.c_str() + P.size() - 4, ".wma") == 0 ||
                                strcasecmp(P.c_str() + P.size() - 4, ".asf") == 0);
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
}

} // namespace
