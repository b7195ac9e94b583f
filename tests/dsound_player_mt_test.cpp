// Players on the built-in output over virtual devices, driven through the
// exported API: what a player plays is the PCM of its file, preloaded or not;
// players share a device; the device list goes with the last output.
#include "output/dsound_if.h"
#include "platform/dsdevice.h"
#include "platform/dsdevice_testing.h"
#include "support/host.h"

#include "zeb-audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

namespace {

// The virtual clock runs faster than real time, within what the writer's
// waits for room keep up with.
constexpr double ClockSpeed = 4.0;

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetVirtualDevicesForTesting(2);
        ReleaseDeviceList();
    }
    // Opens and closes one output, so that the library holds no device list
    // from an earlier test.
    void ReleaseDeviceList()
    {
        zebtest::Host Quiet;
        void* Player = ZEBAudioPlayerCreate(Quiet.Window());
        ZEBAudioOutputOpenDSound(Player, Quiet.Window(), 0);
        ZEBAudioOutputClose(Player);
        Quiet.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_CLOSE, 5000);
        ZEBAudioPlayerDestroy(Player);
    }
    void TearDown() override
    {
        for (void* Player : Players)
            ZEBAudioPlayerDestroy(Player);
        SetVirtualDevicesForTesting(0);
    }
    void* NewPlayer(zebtest::Host& To, uint32_t Device)
    {
        void* Player = ZEBAudioPlayerCreate(To.Window());
        EXPECT_NE(Player, nullptr);
        Players.push_back(Player);
        ZEBAudioOutputOpenDSound(Player, To.Window(), Device);
        To.Until(ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000);
        return Player;
    }
    // Opens a WAV of Pcm; false (and the test skipped) if the input failed.
    bool OpenInput(zebtest::Host& To, void* Player, const std::string& Name, const std::vector<uint8_t>& Pcm,
                   uint16_t Channels = 2, uint32_t Rate = 44100)
    {
        std::string Path = zebtest::FixturePath(Name);
        zebtest::WriteWav(Path, Rate, Channels, 16, Pcm);
        ZEBAudioInputOpen(Player, Path.c_str());
        ZEBMessage Msg;
        while (To.Next(&Msg, 5000)) {
            if (Msg.Msg == ZEB_NTF_INPUT_OPENED)
                return true;
            if (Msg.Msg == ZEB_RSP_ERROR && Msg.wParam == ZEB_CMD_INPUT_OPEN)
                return false;
        }
        return false;
    }

    // Lets the output play out, stops the clock and returns what was heard.
    std::vector<uint8_t> DrainAndCapture(void* Player, DSDevice* Device)
    {
        ZEBAudioOutputDrain(Player);
        Host.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_DRAIN);
        VirtualDeviceRunClock(Device, 0);
        std::vector<int16_t> Samples = VirtualDeviceTakeCapture(Device);
        std::vector<uint8_t> Bytes(Samples.size() * 2);
        memcpy(Bytes.data(), Samples.data(), Bytes.size());
        return Bytes;
    }

    // Preloads the player's output on device 0, runs Between, then plays
    // the input to its end and returns what was heard.
    std::vector<uint8_t> PlayAfterPreload(void* Player, const std::function<void()>& Between)
    {
        DSDevice* Device = VirtualDeviceForTesting(0);
        EXPECT_NE(Device, nullptr);
        if (!Device)
            return {};
        ZEBAudioPreloadBuffers(Player);
        EXPECT_FALSE(Host.Until(ZEB_NTF_PRELOAD, 0, 5000).empty());
        Between();
        VirtualDeviceSetCapture(Device, true);
        VirtualDeviceRunClock(Device, ClockSpeed);
        ZEBAudioPlay(Player);
        Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
        return DrainAndCapture(Player, Device);
    }

    zebtest::Host Host, HostB;
    std::vector<void*> Players;
};

// Where Pcm begins in Played (searching frame by frame), or -1.
long Find(const std::vector<uint8_t>& Played, const std::vector<uint8_t>& Pcm)
{
    auto At = std::search(Played.begin(), Played.end(), Pcm.begin(), Pcm.begin() + 64);
    return At == Played.end() ? -1 : static_cast<long>(At - Played.begin());
}

// How many bytes of Pcm's stereo frames Played holds in order from where Pcm
// begins, silence or repeats between them aside.
size_t BytesHeardInOrder(const std::vector<uint8_t>& Played, const std::vector<uint8_t>& Pcm)
{
    long Start = Find(Played, Pcm);
    size_t Next = 0;
    for (size_t I = Start < 0 ? Played.size() : static_cast<size_t>(Start); I + 4 <= Played.size() && Next < Pcm.size();
         I += 4)
        if (memcmp(&Played[I], &Pcm[Next], 4) == 0)
            Next += 4;
    return Next;
}

} // namespace

TEST_F(PlayerTest, FilePlaysBitExactAtFullVolumeAndNormalRate)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(22050, 2, 44100);
    if (!OpenInput(Host, Player, "dsound_player_exact.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    ASSERT_NE(Device, nullptr);
    VirtualDeviceSetCapture(Device, true);
    VirtualDeviceRunClock(Device, ClockSpeed);
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    auto Played = DrainAndCapture(Player, Device);
    long Start = Find(Played, Pcm);
    ASSERT_GE(Start, 0);
    ASSERT_GE(Played.size(), Start + Pcm.size());
    EXPECT_TRUE(std::equal(Pcm.begin(), Pcm.end(), Played.begin() + Start));
    // After the end: the silence the play-out put there.
    for (size_t I = Start + Pcm.size(); I < Played.size(); ++I)
        ASSERT_EQ(Played[I], 0) << I;
}

TEST_F(PlayerTest, PreloadedFileStartsWithoutLeadingSilence)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(66150, 2, 44100); // 1.5 s: more than the buffer
    if (!OpenInput(Host, Player, "dsound_player_preload.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    ASSERT_NE(Device, nullptr);
    ZEBAudioPreloadBuffers(Player);
    auto Got = Host.Until(ZEB_NTF_PRELOAD, 0, 5000);
    ASSERT_FALSE(Got.empty());
    VirtualDeviceSetCapture(Device, true);
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    // Nothing has been mixed yet, so the capture starts with playback.
    VirtualDeviceRunClock(Device, ClockSpeed);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    auto Played = DrainAndCapture(Player, Device);
    ASSERT_GE(Played.size(), Pcm.size());
    EXPECT_TRUE(std::equal(Pcm.begin(), Pcm.end(), Played.begin()));
}

// A file that ends within the preload never reaches a write, which is what
// starts the output; its end of stream must still make it heard.
TEST_F(PlayerTest, ShortPreloadedFileIsHeard)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(11025, 2, 44100); // a quarter of the buffer
    if (!OpenInput(Host, Player, "dsound_player_short_preload.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    ASSERT_NE(Device, nullptr);
    ZEBAudioPreloadBuffers(Player);
    ASSERT_FALSE(Host.Until(ZEB_NTF_PRELOAD, 0, 5000).empty());
    VirtualDeviceSetCapture(Device, true);
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    VirtualDeviceRunClock(Device, ClockSpeed);
    auto Played = DrainAndCapture(Player, Device);
    ASSERT_GE(Played.size(), Pcm.size());
    EXPECT_TRUE(std::equal(Pcm.begin(), Pcm.end(), Played.begin()));
}

TEST_F(PlayerTest, TwoPlayersShareDeviceZeroAndTheListGoesWithTheLast)
{
    void* A = NewPlayer(Host, 0);
    void* B = NewPlayer(HostB, 0);
    if (!OpenInput(Host, A, "dsound_player_a.wav", zebtest::TestPcm(22050, 2, 44100)) ||
        !OpenInput(HostB, B, "dsound_player_b.wav", zebtest::TestPcm(11025, 1, 22050), 1, 22050))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    ASSERT_NE(Device, nullptr);
    EXPECT_EQ(VirtualDeviceForTesting(1), nullptr);
    VirtualDeviceRunClock(Device, ClockSpeed);
    ZEBAudioPlay(A);
    ZEBAudioPlay(B);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    HostB.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    ZEBAudioOutputClose(A);
    Host.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_CLOSE);
    EXPECT_EQ(VirtualDeviceForTesting(0), Device);
    ZEBAudioOutputClose(B);
    HostB.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_CLOSE);
    EXPECT_EQ(VirtualDeviceForTesting(0), nullptr);
    SetVirtualDevicesForTesting(3);
    unsigned Count = 0;
    ZEBAudioFreeDeviceEnums(ZEBAudioEnumerateDevices(&Count));
    EXPECT_EQ(Count, 3u); // enumerated afresh
}

TEST_F(PlayerTest, DeviceIndexEqualToTheCountIsAnOutputOpenError)
{
    void* Player = ZEBAudioPlayerCreate(Host.Window());
    Players.push_back(Player);
    ZEBAudioOutputOpenDSound(Player, Host.Window(), 2);
    auto Got = Host.Until(ZEB_RSP_ERROR, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000);
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got.back().lParam, static_cast<uint32_t>(ZEB_ERR_OUTPUT_OPEN));
    EXPECT_EQ(VirtualDeviceForTesting(0), nullptr);
    EXPECT_EQ(VirtualDeviceForTesting(1), nullptr);
}

TEST_F(PlayerTest, PauseKeepsThePositionAndPlayResumes)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(88200, 2, 44100);
    if (!OpenInput(Host, Player, "dsound_player_pause.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    VirtualDeviceSetCapture(Device, true);
    VirtualDeviceRunClock(Device, ClockSpeed);
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    ZEBAudioPause(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    // The paused buffer holds unplayed audio: it is not ready for a preload.
    ZEBAudioPreloadBuffers(Player);
    Host.Until(ZEB_NTF_PRELOAD, 1);
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    // Silence while paused, but every byte of the file in order.
    EXPECT_EQ(BytesHeardInOrder(DrainAndCapture(Player, Device), Pcm), Pcm.size());
}

// A command is answered while the output has no room for the section it is
// writing (the device's clock stands still); the rest of that section is
// written afterwards, so every byte is heard once, in order.
TEST_F(PlayerTest, ACommandIsAnsweredWhileTheWriteWaitsForRoom)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(44100 * 3, 2, 44100);
    if (!OpenInput(Host, Player, "dsound_player_full.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    VirtualDeviceSetCapture(Device, true);
    ZEBAudioSetInputTimeInterval(Player, 100);
    ZEBAudioPlay(Player);
    ZEBMessage M{};
    while (Host.Next(&M) && !(M.Msg == ZEB_NTF_ELAPSED_TIME && M.lParam >= 700)) {
    }
    ASSERT_GE(M.lParam, 700u) << "the output never filled";
    ZEBAudioPause(Player);
    auto Seen = Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    // Paused longer than a stall takes: the cursor stood still because the
    // buffer was stopped, which the resumed write must not take for a stall.
    SetDSoundStallTimeoutForTesting(300);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    VirtualDeviceRunClock(Device, ClockSpeed);
    ZEBAudioPlay(Player);
    auto Played = Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
    Seen.insert(Seen.end(), Played.begin(), Played.end());
    SetDSoundStallTimeoutForTesting(0);
    for (const ZEBMessage& Got : Seen)
        EXPECT_NE(Got.Msg, static_cast<uint32_t>(ZEB_NTF_ERROR)) << zebtest::Describe(Seen);
    EXPECT_EQ(BytesHeardInOrder(DrainAndCapture(Player, Device), Pcm), Pcm.size());
}

// A device whose clock stands still is reported as stalled on time even
// while a host keeps sending commands, each of which ends a wait for room.
TEST_F(PlayerTest, AStallIsReportedWhileCommandsKeepInterruptingTheWait)
{
    void* Player = NewPlayer(Host, 0);
    if (!OpenInput(Host, Player, "dsound_player_stall.wav", zebtest::TestPcm(44100 * 5, 2, 44100)))
        GTEST_SKIP() << "WAV input not available";
    SetDSoundStallTimeoutForTesting(300);
    ZEBAudioPlay(Player);
    bool Stalled = false;
    for (int Ping = 0; Ping < 100 && !Stalled; ++Ping) {
        ZEBAudioPing(Player);
        for (const ZEBMessage& M : Host.Until(ZEB_NTF_PONG, 0, 5000))
            Stalled |= M.Msg == ZEB_NTF_ERROR && M.wParam == ZEB_ERR_DSOUND_BUFFER && M.lParam == 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    SetDSoundStallTimeoutForTesting(0);
    EXPECT_TRUE(Stalled);
}

// A device that goes away is reported once; the player then pauses instead
// of decoding the rest of the file into nothing.
TEST_F(PlayerTest, ALostDeviceIsReportedOnceAndThePlayerPauses)
{
    void* Player = NewPlayer(Host, 0);
    if (!OpenInput(Host, Player, "dsound_player_lost.wav", zebtest::TestPcm(44100 * 20, 2, 44100)))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    VirtualDeviceRunClock(Device, ClockSpeed);
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    DSDeviceSetLost(Device);
    auto Seen = Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED);
    auto After = Host.Drain(Player);
    Seen.insert(Seen.end(), After.begin(), After.end());
    size_t Errors = 0, Progress = 0;
    for (const ZEBMessage& M : Seen) {
        Errors += M.Msg == ZEB_NTF_ERROR;
        Progress += M.Msg == ZEB_NTF_ELAPSED_TIME;
        EXPECT_FALSE(M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_EOS) << zebtest::Describe(Seen);
    }
    EXPECT_EQ(Errors, 1u) << zebtest::Describe(Seen);
    EXPECT_LT(Progress, 5u) << zebtest::Describe(Seen);
}

namespace {

// Index of the first non-zero byte, or the size when all are zero.
size_t LeadingSilence(const std::vector<uint8_t>& Played)
{
    auto At = std::find_if(Played.begin(), Played.end(), [](uint8_t B) { return B != 0; });
    return static_cast<size_t>(At - Played.begin());
}

// True when Played holds only zeros from From up to To (or its end).
bool AllZero(const std::vector<uint8_t>& Played, size_t From, size_t To = SIZE_MAX)
{
    To = std::min(To, Played.size());
    return std::all_of(Played.begin() + std::min(From, To), Played.begin() + To, [](uint8_t B) { return B == 0; });
}

} // namespace

// A preload belongs to the position it was made at: "Stop" rewinds the input,
// so the file is then heard once, from its start, and nothing after it.
TEST_F(PlayerTest, PreloadThenStopThenPlayPlaysTheFileOnce)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(66150, 2, 44100); // 1.5 s: the preload holds some back
    if (!OpenInput(Host, Player, "dsound_player_preload_stop.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    auto Played = PlayAfterPreload(Player, [&] {
        ZEBAudioStop(Player);
        Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED);
    });
    long Start = Find(Played, Pcm);
    ASSERT_GE(Start, 0);
    EXPECT_TRUE(AllZero(Played, 0, Start));
    ASSERT_GE(Played.size(), Start + Pcm.size());
    EXPECT_TRUE(std::equal(Pcm.begin(), Pcm.end(), Played.begin() + Start));
    EXPECT_TRUE(AllZero(Played, Start + Pcm.size()));
}

// "Output Reset" discards the preload with the buffer; playing on must not
// first sit through the second of silence the reset left.
TEST_F(PlayerTest, PreloadThenResetPlaysOnWithoutASecondOfSilence)
{
    void* Player = NewPlayer(Host, 0);
    auto Pcm = zebtest::TestPcm(88200, 2, 44100);
    if (!OpenInput(Host, Player, "dsound_player_preload_reset.wav", Pcm))
        GTEST_SKIP() << "WAV input not available";
    auto Played = PlayAfterPreload(Player, [&] {
        ZEBAudioOutputReset(Player);
        Host.Until(ZEB_RSP_OK, ZEB_CMD_OUTPUT_RESET);
    });
    // The first write lands a few hundredths of a second ahead, as always.
    EXPECT_LT(LeadingSilence(Played), 176400u / 8);
}

// On the built-in output the heard position follows the play cursor, not the
// decoder: with the device's clock stopped nothing has been heard however
// far decoding ran, and one second of device time later one second (less
// the start's lead-in) has. "Played out" comes after end of stream, only
// once the device has played the rest, when the whole track is heard.
TEST_F(PlayerTest, HeardPositionFollowsThePlayCursorAndPlayedOutFollowsTheEnd)
{
    void* Player = NewPlayer(Host, 0);
    if (!OpenInput(Host, Player, "dsound_heard.wav", zebtest::TestPcm(44100 * 2, 2, 44100)))
        GTEST_SKIP() << "WAV input not available";
    DSDevice* Device = VirtualDeviceForTesting(0);
    ASSERT_NE(Device, nullptr);
    auto HeardMs = [&] {
        ZEBAudioGetPlayPosition(Player);
        std::vector<ZEBMessage> Got = Host.Until(ZEB_NTF_PLAY_POSITION, 0);
        return Got.empty() ? UINT32_MAX : Got.back().lParam;
    };
    // A quarter second of device time; the second ping is answered only
    // after the writer has refilled the room the first one left it.
    std::vector<ZEBMessage> Seen;
    auto Step = [&] {
        VirtualDeviceAdvance(Device, 44100 / 4);
        for (int Ping = 0; Ping < 2; ++Ping) {
            std::vector<ZEBMessage> Got = Host.Drain(Player);
            Seen.insert(Seen.end(), Got.begin(), Got.end());
        }
    };
    auto SeenMsg = [&](uint32_t Msg) {
        return std::any_of(Seen.begin(), Seen.end(), [Msg](const ZEBMessage& M) { return M.Msg == Msg; });
    };
    ZEBAudioPlay(Player);
    Host.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING);
    Host.Drain(Player);
    EXPECT_EQ(HeardMs(), 0u);
    for (int i = 0; i < 4; ++i)
        Step();
    uint32_t AfterOneSecond = HeardMs();
    EXPECT_LE(AfterOneSecond, 1000u);
    EXPECT_GE(AfterOneSecond, 900u);
    for (int i = 0; i < 8 && !SeenMsg(ZEB_NTF_PLAY_STATE); ++i)
        Step();
    ASSERT_TRUE(SeenMsg(ZEB_NTF_PLAY_STATE)) << zebtest::Describe(Seen); // end of stream
    EXPECT_LT(HeardMs(), 2000u); // the last bytes are still unplayed
    std::vector<ZEBMessage> Quiet = Host.Settle(200);
    Seen.insert(Seen.end(), Quiet.begin(), Quiet.end());
    EXPECT_FALSE(SeenMsg(ZEB_NTF_PLAYED_OUT)) << "before the device played the end";
    VirtualDeviceRunClock(Device, ClockSpeed);
    std::vector<ZEBMessage> Out = Host.Until(ZEB_NTF_PLAYED_OUT, 0);
    ASSERT_FALSE(Out.empty());
    EXPECT_EQ(Out.back().Player, Player);
    EXPECT_EQ(HeardMs(), 2000u);
}
