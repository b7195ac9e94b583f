// The player with an input whose read never returns: the read-ahead times
// out, the input ends, and commands and destroy are still answered.
#include "aio_bfr.h"

#include "support/host.h"
#include "support/mpeg_fixtures.h"
#include "support/returns_within.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace zebtest;

namespace {

constexpr uint32_t StallTimeoutMs = 1000;
// Generous bounds: they tell a hang from an answer, not fast from slow.
constexpr int AnswerMs = 20000;
constexpr int DestroyMs = 20000;
// What the reader was asked for after the first fill of three blocks: the
// free ring minus one block (blocks of 1251 bytes, a ring of 100).
constexpr uint32_t StalledRequest = 125100 - 3 * 1251 - 1251;
constexpr uint32_t BytesPerSecond = 44100 * 2 * 2;

bool WaitLiveReaders(int Count)
{
    for (int i = 0; i < 2000; ++i) {
        if (AIOLiveReadersForTesting() == Count)
            return true;
        usleep(10000);
    }
    return false;
}

size_t CountErrors(const std::vector<ZEBMessage>& Msgs, uint32_t Code, uint32_t Detail)
{
    size_t N = 0;
    for (const ZEBMessage& M : Msgs)
        if (M.Msg == ZEB_NTF_ERROR && M.wParam == Code && M.lParam == Detail)
            ++N;
    return N;
}

class PlayerInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("lame"))
            GTEST_SKIP() << "lame is not installed";
        BaseReaders = AIOLiveReadersForTesting();
        Player = ZEBAudioPlayerCreate(H.Window());
        ASSERT_NE(Player, nullptr);
        TestOutput::Open(Player, &Out);
        H.Drain(Player);
    }
    void TearDown() override
    {
        if (Player)
            ZEBAudioPlayerDestroy(Player);
        // The stuck read returns at last; its reader must end quietly.
        SetAIOReaderStallForTesting(false);
        SetAIOTimeoutForTesting(AIOTimeoutMs);
        if (!IsSkipped()) {
            EXPECT_TRUE(WaitLiveReaders(BaseReaders)) << "a reader thread did not end";
        }
    }
    // Destroys the player; false when destroy did not return.
    bool Destroy()
    {
        void* P = Player;
        Player = nullptr;
        return ReturnsWithin(DestroyMs, [P] { ZEBAudioPlayerDestroy(P); });
    }
    // Opens Path with the next reader read stalled for good.
    void OpenStalled(const std::string& Path)
    {
        SetAIOTimeoutForTesting(StallTimeoutMs);
        SetAIOReaderStallForTesting(true);
        ZEBAudioInputOpen(Player, Path.c_str());
        H.Until(ZEB_NTF_INPUT_OPENED, 0, AnswerMs);
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
    int BaseReaders = 0;
};

std::string TenSeconds()
{
    return LameFixture("faults_cbr.mp3", 10, 2, 44100, "--cbr -b 128");
}

} // namespace

TEST_F(PlayerInput, StalledReadEndsPlaybackAndPlayerStaysResponsive)
{
    OpenStalled(TenSeconds());
    ZEBAudioPlay(Player);
    std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, AnswerMs);
    EXPECT_EQ(CountErrors(Got, ZEB_ERR_ASYNC_IO, StalledRequest), 1u) << Describe(Got);
    // Only what the first fill brought was played: under a second.
    EXPECT_LT(Out.Bytes().size(), BytesPerSecond);

    for (uint32_t Cmd : {ZEB_CMD_STOP, ZEB_CMD_INPUT_CLOSE, ZEB_CMD_PING}) {
        ZEBAudioMessageSend(Player, Cmd);
        H.Until(ZEB_RSP_OK, Cmd, AnswerMs);
    }
    EXPECT_TRUE(Destroy());
}

TEST_F(PlayerInput, CommandsWaitingOnAStalledReadAreAnswered)
{
    OpenStalled(TenSeconds());
    // "Stop" waits for the reader, times out and restarts the input at 0;
    // the commands queued behind it follow.
    ZEBAudioStop(Player);
    ZEBAudioInputClose(Player);
    ZEBAudioPing(Player);
    std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_PONG, 0, AnswerMs);
    EXPECT_EQ(CountErrors(Got, ZEB_ERR_ASYNC_IO, StalledRequest), 1u) << Describe(Got);
    std::vector<ZEBMessage> Answers;
    for (const ZEBMessage& M : Got)
        if (M.Msg == ZEB_RSP_OK || M.Msg == ZEB_RSP_ERROR)
            Answers.push_back(M);
    EXPECT_TRUE(Same(Answers, {Msg(ZEB_RSP_OK, ZEB_CMD_STOP, 0), Msg(ZEB_RSP_OK, ZEB_CMD_INPUT_CLOSE, 0),
                               Msg(ZEB_RSP_OK, ZEB_CMD_PING, 0)}))
        << Describe(Got);
    EXPECT_TRUE(Destroy());
}

TEST_F(PlayerInput, DestroyWithAStalledReadReturns)
{
    OpenStalled(TenSeconds());
    EXPECT_TRUE(Destroy());
    std::vector<ZEBMessage> Got = H.Settle();
    EXPECT_EQ(CountErrors(Got, ZEB_ERR_ASYNC_IO, StalledRequest), 1u) << Describe(Got);
}
