// The built-in output against a running PulseAudio server with the null
// sink "zebnull" (scripts/start-sound-server.sh): what the players play is
// recorded from the sink's monitor. Skips when no server answers.
#include "output/dsound_if.h"
#include "support/host.h"
#include "support/mpeg_fixtures.h"
#include "support/sound.h"

#include "zeb-audio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t Rate = 44100;
constexpr double Amplitude = 10000.0;
const char NullSink[] = "zebnull";

std::string ToneWav(const std::string& Name, uint32_t SampleRate, uint16_t Channels, double Frequency, double Seconds)
{
    std::string Path = zebtest::FixturePath(Name);
    auto Pcm = zebtest::Tone(static_cast<uint32_t>(SampleRate * Seconds), Channels, SampleRate, Frequency, Amplitude);
    zebtest::WriteWav(Path, SampleRate, Channels, 16, Pcm);
    return Path;
}

// The loud stretch of a recording's left channel, its edges trimmed.
std::vector<int16_t> LoudPart(const std::vector<int16_t>& Recording)
{
    auto Left = zebtest::Channel(Recording, 2, 0);
    long First = zebtest::FirstLoud(Left, 1000);
    if (First < 0)
        return {};
    long Last = static_cast<long>(Left.size()) - 1;
    while (Last > First && std::abs(Left[Last]) < 1000)
        --Last;
    long Trim = 2205; // 50 ms at each end
    if (Last - First < 4 * Trim)
        return {};
    return std::vector<int16_t>(Left.begin() + First + Trim, Left.begin() + Last - Trim);
}

bool SinkExists(const std::string& Name)
{
    return zebtest::Run("pactl list short sinks | awk '{print $2}' | grep -qx " + Name);
}

class PulseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!zebtest::PulseReachable())
            GTEST_SKIP() << "no PulseAudio server (scripts/start-sound-server.sh starts one)";
        if (!SinkExists(NullSink))
            GTEST_SKIP() << "no null sink " << NullSink << " (scripts/start-sound-server.sh makes it)";
        zebtest::Run(std::string("pactl set-default-sink ") + NullSink);
    }
    void TearDown() override
    {
        for (void* Player : Players)
            ZEBAudioPlayerDestroy(Player);
        Players.clear();
        for (const std::string& Module : Modules)
            zebtest::Run("pactl unload-module " + Module + " >/dev/null 2>&1");
        if (zebtest::PulseReachable())
            zebtest::Run(std::string("pactl set-default-sink ") + NullSink + " >/dev/null 2>&1");
    }
    // A player with the built-in output on Device and Path open; skips the
    // test when the input cannot be opened.
    void* Open(zebtest::Host& To, uint32_t Device, const std::string& Path)
    {
        void* Player = ZEBAudioPlayerCreate(To.Window());
        EXPECT_NE(Player, nullptr);
        Players.push_back(Player);
        ZEBAudioOutputOpenDSound(Player, To.Window(), Device);
        auto Got = To.Until(ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000);
        EXPECT_FALSE(Got.empty());
        ZEBAudioInputOpen(Player, Path.c_str());
        Got = To.Until(ZEB_NTF_INPUT_OPENED, 0, 5000);
        EXPECT_FALSE(Got.empty());
        return Player;
    }
    std::string LoadNullSink(const std::string& Name)
    {
        std::string Module = zebtest::Capture("pactl load-module module-null-sink sink_name=" + Name +
                                              " sink_properties=device.description=" + Name);
        Modules.push_back(Module);
        return Module;
    }
    // Index of the device whose description is Description, or -1.
    int DeviceIndex(const std::string& Description)
    {
        unsigned Count = 0;
        char** Devices = ZEBAudioEnumerateDevices(&Count);
        int Found = -1;
        for (unsigned I = 0; I < Count; ++I)
            if (Description == Devices[I])
                Found = static_cast<int>(I);
        ZEBAudioFreeDeviceEnums(Devices);
        return Found;
    }

    // Hosts outlive the players that post to them.
    zebtest::Host Host, HostB;
    std::vector<void*> Players;
    std::vector<std::string> Modules;
};

void WaitEndAndDrain(zebtest::Host& To, void* Player)
{
    To.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 20000);
    ZEBAudioOutputDrain(Player);
    To.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_DRAIN, 10000);
}

bool StartSoundServer()
{
    return zebtest::Run(std::string("bash ") + ZEB_SOURCE_DIR + "/scripts/start-sound-server.sh >/dev/null 2>&1");
}

// Stops the server and starts it again, as a crash and a restart would.
bool RestartSoundServer()
{
    zebtest::Run("pulseaudio -k >/dev/null 2>&1");
    for (int Tries = 0; Tries < 100 && zebtest::PulseReachable(); ++Tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return StartSoundServer();
}

// Leaves a server running whatever the test did to it.
struct ServerKeeper {
    ~ServerKeeper()
    {
        if (!zebtest::PulseReachable())
            StartSoundServer();
    }
};

size_t Count(const std::vector<ZEBMessage>& Msgs, uint32_t Msg)
{
    size_t N = 0;
    for (const ZEBMessage& M : Msgs)
        N += M.Msg == Msg ? 1 : 0;
    return N;
}

} // namespace

TEST_F(PulseTest, ListsTheDefaultFirstThenTheSinks)
{
    unsigned Count = 0;
    char** Devices = ZEBAudioEnumerateDevices(&Count);
    ASSERT_NE(Devices, nullptr);
    ASSERT_GE(Count, 2u);
    EXPECT_STREQ(Devices[0], "Default output");
    EXPECT_EQ(reinterpret_cast<DeviceEnumType*>(Devices[0])->lpGUID, nullptr);
    bool Listed = false;
    for (unsigned I = 1; I < Count; ++I) {
        Listed = Listed || std::string(Devices[I]) == "Zeb_null_output";
        EXPECT_NE(reinterpret_cast<DeviceEnumType*>(Devices[I])->lpGUID, nullptr);
    }
    EXPECT_TRUE(Listed);
    ZEBAudioFreeDeviceEnums(Devices);
}

TEST_F(PulseTest, ToneOnTheDefaultDeviceReachesTheSinkAtItsFrequencyAndLevel)
{
    std::string Path = ToneWav("e2e_tone_1000.wav", Rate, 2, 1000.0, 1.5);
    void* Player = Open(Host, 0, Path);
    zebtest::PulseRecorder Recorder;
    ASSERT_TRUE(Recorder.Start(std::string(NullSink) + ".monitor"));
    ZEBAudioPlay(Player);
    WaitEndAndDrain(Host, Player);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto Tone = LoudPart(Recorder.Stop());
    ASSERT_GT(Tone.size(), Rate / 2) << "the tone was not recorded";
    EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Tone, Rate), 1000.0, 10.0);
    EXPECT_NEAR(zebtest::Rms(Tone), Amplitude / std::sqrt(2.0), Amplitude * 0.1);
    EXPECT_GT(Tone.size(), Rate * 1.3); // most of 1.5 s, nothing cut off
}

TEST_F(PulseTest, TwoPlayersAtOnceAreBothHeard)
{
    zebtest::Host& HostA = Host;
    void* A = Open(HostA, 0, ToneWav("e2e_tone_600.wav", Rate, 2, 600.0, 1.5));
    void* B = Open(HostB, 0, ToneWav("e2e_tone_1500_22k.wav", 22050, 1, 1500.0, 1.5));
    zebtest::PulseRecorder Recorder;
    ASSERT_TRUE(Recorder.Start(std::string(NullSink) + ".monitor"));
    ZEBAudioPlay(A);
    ZEBAudioPlay(B);
    WaitEndAndDrain(HostA, A);
    WaitEndAndDrain(HostB, B);
    auto Left = zebtest::Channel(Recorder.Stop(), 2, 0);
    long First = zebtest::FirstLoud(Left, 1000);
    ASSERT_GE(First, 0);
    std::vector<int16_t> Both(Left.begin() + First + 8820, Left.begin() + First + 8820 + Rate / 2);
    EXPECT_GT(zebtest::ToneShare(Both, Rate, 600.0), 0.1);
    EXPECT_GT(zebtest::ToneShare(Both, Rate, 1500.0), 0.1);
    EXPECT_LT(zebtest::ToneShare(Both, Rate, 1000.0), 0.01);
}

TEST_F(PulseTest, HalfRateHalvesThePitch)
{
    void* Player = Open(Host, 0, ToneWav("e2e_tone_1200.wav", Rate, 2, 1200.0, 1.0));
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_OUTPUT_FREQUENCY, 0.5);
    Host.Until(ZEB_RSP_OK, ZEB_CMD_SET_OUTPUT_FREQUENCY, 5000);
    auto Second = Host.Until(ZEB_RSP_OK, ZEB_CMD_SET_OUTPUT_FREQUENCY, 5000);
    zebtest::PulseRecorder Recorder;
    ASSERT_TRUE(Recorder.Start(std::string(NullSink) + ".monitor"));
    ZEBAudioPlay(Player);
    WaitEndAndDrain(Host, Player);
    auto Tone = LoudPart(Recorder.Stop());
    ASSERT_GT(Tone.size(), Rate / 2);
    EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Tone, Rate), 600.0, 10.0);
    EXPECT_GT(Tone.size(), Rate * 1.7); // one second played at half speed lasts two
}

TEST_F(PulseTest, SinkRemovedWhilePlayingIsReportedAndDrainReturns)
{
    LoadNullSink("zebgone");
    ASSERT_TRUE(SinkExists("zebgone"));
    // A list still held by outputs closing meanwhile is released with them.
    int Index = -1;
    for (int Tries = 0; Tries < 100 && Index < 0; ++Tries) {
        Index = DeviceIndex("zebgone");
        if (Index < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GT(Index, 0);
    void* Player = Open(Host, static_cast<uint32_t>(Index), ToneWav("e2e_tone_long.wav", Rate, 2, 800.0, 6.0));
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    zebtest::Run("pactl unload-module " + Modules.back());
    Modules.pop_back();
    auto Got = Host.Until(ZEB_NTF_ERROR, ZEB_ERR_DSOUND_BUFFER, 15000);
    ASSERT_FALSE(Got.empty());
    ZEBAudioOutputDrain(Player);
    Got = Host.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_DRAIN, 15000);
    EXPECT_FALSE(Got.empty());
}

TEST_F(PulseTest, DefaultDeviceFollowsTheSystemDefault)
{
    LoadNullSink("zebtwo");
    void* Player = Open(Host, 0, ToneWav("e2e_tone_long_700.wav", Rate, 2, 700.0, 4.0));
    zebtest::PulseRecorder Second;
    ASSERT_TRUE(Second.Start("zebtwo.monitor"));
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(zebtest::FirstLoud(zebtest::Channel(Second.Snapshot(), 2, 0), 1000), 0);
    ASSERT_TRUE(zebtest::Run("pactl set-default-sink zebtwo"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    auto Moved = LoudPart(Second.Stop());
    ASSERT_GT(Moved.size(), Rate / 4u) << "the stream did not follow the new default sink";
    EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Moved, Rate), 700.0, 10.0);
    ZEBAudioStop(Player);
}

TEST_F(PulseTest, ServerRestartPausesThePlayerWithOneErrorAndANewOutputIsHeard)
{
    ServerKeeper Keeper;
    void* Player = Open(Host, 0, ToneWav("e2e_tone_long.wav", Rate, 2, 800.0, 6.0));
    void* Holder = ZEBAudioPlayerCreate(HostB.Window()); // keeps the device object in use
    Players.push_back(Holder);
    ZEBAudioOutputOpenDSound(Holder, HostB.Window(), 0);
    ASSERT_FALSE(HostB.Until(ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000).empty());
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(RestartSoundServer());

    // One error, and the player pauses rather than decoding on into nothing.
    auto Got = Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED, 20000);
    ASSERT_EQ(Count(Got, ZEB_NTF_ERROR), 1u) << zebtest::Describe(Got);
    for (const ZEBMessage& M : Got) {
        if (M.Msg != ZEB_NTF_ERROR)
            continue;
        EXPECT_EQ(M.wParam, static_cast<uint32_t>(ZEB_ERR_DSOUND_BUFFER));
        EXPECT_EQ(M.lParam, DSoundDetailDeviceLost);
    }

    // The same index, opened again while the holder still has the lost
    // device, reaches the restarted server.
    ZEBAudioOutputOpenDSound(Player, Host.Window(), 0);
    Got = Host.Until(ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000);
    ASSERT_EQ(Count(Got, ZEB_RSP_ERROR), 0u) << zebtest::Describe(Got);
    ZEBAudioInputOpen(Player, ToneWav("e2e_tone_1000.wav", Rate, 2, 1000.0, 1.5).c_str());
    ASSERT_FALSE(Host.Until(ZEB_NTF_INPUT_OPENED, 0, 5000).empty());
    zebtest::PulseRecorder Recorder;
    ASSERT_TRUE(Recorder.Start(std::string(NullSink) + ".monitor"));
    ZEBAudioPlay(Player);
    WaitEndAndDrain(Host, Player);
    auto Tone = LoudPart(Recorder.Stop());
    ASSERT_GT(Tone.size(), Rate / 2) << "nothing was heard after the restart";
    EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Tone, Rate), 1000.0, 10.0);
}

// At the end of decoding the heard position lags the decoded one by what the
// buffer holds; "played out" follows end of stream once the sink has played
// the tone to its end, and the whole track has been heard then.
TEST_F(PulseTest, PlayedOutFollowsTheEndOnceTheSinkPlayedIt)
{
    std::string Path = ToneWav("e2e_tone_played_out.wav", Rate, 2, 800.0, 1.5);
    void* Player = Open(Host, 0, Path);
    zebtest::PulseRecorder Recorder;
    ASSERT_TRUE(Recorder.Start(std::string(NullSink) + ".monitor"));
    ZEBAudioPlay(Player);
    auto ToEnd = Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 20000);
    EXPECT_EQ(Count(ToEnd, ZEB_NTF_PLAYED_OUT), 0u);
    ZEBAudioGetPlayPosition(Player); // the buffer still holds the tone's end
    auto AtEnd = Host.Until(ZEB_NTF_PLAY_POSITION, 0, 5000);
    ASSERT_FALSE(AtEnd.empty());
    if (Count(AtEnd, ZEB_NTF_PLAYED_OUT) == 0) {
        EXPECT_LT(AtEnd.back().lParam, 1500u);
    }
    auto Out = Host.Until(ZEB_NTF_PLAYED_OUT, 0, 10000);
    ASSERT_FALSE(Out.empty());
    EXPECT_EQ(Out.back().Player, Player);
    ZEBAudioGetPlayPosition(Player);
    auto Heard = Host.Until(ZEB_NTF_PLAY_POSITION, 0, 5000);
    ASSERT_FALSE(Heard.empty());
    EXPECT_EQ(Heard.back().lParam, 1500u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the server's own latency
    auto Tone = LoudPart(Recorder.Stop());
    EXPECT_GT(Tone.size(), Rate * 1.3); // the tone was heard to its end
}

// One file of each format: its exact length is ffprobe's within one of the
// codec's frames; while it plays, the heard position is behind the decoded
// one by no more than the buffer and the server's queue; "played out"
// follows end of stream, and by then the track has been heard to its end.
TEST_F(PulseTest, EveryFormatIsHeardBehindItsDecodingAndPlaysOutToItsExactLength)
{
    if (!zebtest::HaveTool("ffmpeg") || !zebtest::HaveTool("ffprobe"))
        GTEST_SKIP() << "ffmpeg missing";
    // What may lie between decoding and hearing: the one-second buffer, a
    // decoded section not yet written (a quarter second of PCM at most) and
    // the server's queue (about 40 ms on the null sink).
    const uint32_t BufferMs = 1000, SectionMs = 250, QueueBoundMs = 100;
    const struct {
        const char* Name;
        const char* Options;
        uint32_t FrameSamples;
    } Cases[] = {
        {"e2e_heard.mp3", "-c:a libmp3lame -b:a 128k -f mp3", 1152},
        {"e2e_heard.wav", "-c:a pcm_s16le -f wav", 1},
        {"e2e_heard.ogg", "-c:a libvorbis -f ogg", 2048},
        {"e2e_heard.flac", "-c:a flac -f flac", 4608},
        {"e2e_heard.aac", "-c:a aac -b:a 96k -f adts", 1024},
        {"e2e_heard.m4a", "-c:a aac -b:a 96k -f ipod", 1024},
        {"e2e_heard.wma", "-c:a wmav2 -b:a 64k -f asf", 2048},
        {"e2e_heard.aiff", "-c:a pcm_s16be -f aiff", 1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::string Path = zebtest::FfmpegFixture(C.Name, 2.0, 2, Rate, C.Options);
        ASSERT_FALSE(Path.empty());
        double FrameMs = 1000.0 * C.FrameSamples / Rate + 1;
        ZEBTrackDetails D{};
        D.Size = sizeof D;
        ASSERT_NE(ZEBAudioGetTrackDetails(Path.c_str(), &D), 0);
        EXPECT_NEAR(static_cast<double>(D.LengthMs), zebtest::ProbeDurationMs(Path, strstr(C.Name, ".aac")), FrameMs);
        void* Player = Open(Host, 0, Path);
        ZEBAudioSetInputTimeInterval(Player, 50);
        ZEBAudioPlay(Player);
        uint32_t Decoded = 0, DecodedThen = 0, Heard = UINT32_MAX;
        bool Asked = false, Ended = false;
        ZEBMessage M;
        while (!Ended && Host.Next(&M)) {
            ASSERT_NE(M.Msg, static_cast<uint32_t>(ZEB_NTF_PLAYED_OUT)) << "before end of stream";
            if (M.Msg == ZEB_NTF_ELAPSED_TIME)
                Decoded = M.lParam;
            Ended = M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_EOS;
            if (M.Msg == ZEB_NTF_PLAY_POSITION) {
                Heard = M.lParam;
                DecodedThen = Decoded;
            }
            if (!Asked && Decoded >= 1500) {
                ZEBAudioGetPlayPosition(Player);
                Asked = true;
            }
        }
        ASSERT_TRUE(Ended);
        ASSERT_NE(Heard, UINT32_MAX);
        EXPECT_LT(Heard, DecodedThen);
        EXPECT_LE(DecodedThen - Heard, BufferMs + SectionMs + QueueBoundMs);
        ZEBAudioGetPlayPosition(Player); // the buffer still holds the track's last second
        auto AtEnd = Host.Until(ZEB_NTF_PLAY_POSITION, 0, 5000);
        ASSERT_FALSE(AtEnd.empty());
        if (Count(AtEnd, ZEB_NTF_PLAYED_OUT) == 0) {
            EXPECT_LT(AtEnd.back().lParam, D.LengthMs);
        }
        auto Out = Host.Until(ZEB_NTF_PLAYED_OUT, 0, 10000);
        ASSERT_FALSE(Out.empty());
        EXPECT_EQ(Out.back().Player, Player);
        ZEBAudioGetPlayPosition(Player);
        auto Final = Host.Until(ZEB_NTF_PLAY_POSITION, 0, 5000);
        ASSERT_FALSE(Final.empty());
        // The whole track has been heard: its end, within two frames (the
        // frames ADTS counts include the encoder's delay, not decoded).
        EXPECT_GE(Final.back().lParam, Decoded);
        EXPECT_NEAR(static_cast<double>(Final.back().lParam), static_cast<double>(D.LengthMs), 2 * FrameMs);
        ZEBAudioPlayerDestroy(Player);
        Players.pop_back();
    }
}
