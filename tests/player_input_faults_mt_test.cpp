// The player with inputs that fail under it: a read that never returns must
// not hang the player (the read-ahead times out, the input ends, commands
// and destroy are answered), and a partly downloaded file plays from where
// a seek puts it in time, ending cleanly where its data ends.
#include "aio_bfr.h"
#include "mpeghdr.h"

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

bool HasError(const std::vector<ZEBMessage>& Msgs)
{
    for (const ZEBMessage& M : Msgs)
        if (M.Msg == ZEB_NTF_ERROR || M.Msg == ZEB_RSP_ERROR)
            return true;
    return false;
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
    // The answer to Cmd, taking everything before it.
    std::vector<ZEBMessage> Answer(uint32_t Cmd)
    {
        std::vector<ZEBMessage> Got;
        ZEBMessage M;
        while (H.Next(&M, AnswerMs)) {
            Got.push_back(M);
            if ((M.Msg == ZEB_RSP_OK || M.Msg == ZEB_RSP_ERROR) && M.wParam == Cmd)
                return Got;
        }
        ADD_FAILURE() << "no answer to " << std::hex << Cmd << " after " << Describe(Got);
        return Got;
    }
    // Opens Path with the next reader read stalled for good.
    void OpenStalled(const std::string& Path)
    {
        SetAIOTimeoutForTesting(StallTimeoutMs);
        SetAIOReaderStallForTesting(true);
        ZEBAudioInputOpen(Player, Path.c_str());
        std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_INPUT_OPENED, 0, AnswerMs);
        ASSERT_FALSE(HasError(Got)) << Describe(Got);
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
    int BaseReaders = 0;
};

// Playing time of the whole frames in Bytes after the first one (which
// holds the Xing header and plays nothing).
double SecondsAfterXingFrame(const std::vector<uint8_t>& Bytes)
{
    size_t Pos = 0;
    int Frames = -1;
    while (Pos + FrameHdrBytes <= Bytes.size()) {
        MPEGFrameHdrType Hdr = FrameHdrFromBytes(&Bytes[Pos]);
        uint32_t Len = CalculateFrameLength(Hdr);
        if (Hdr.SyncBits() != FrameSyncBits || Len == 0 || Pos + Len > Bytes.size())
            break;
        ++Frames;
        Pos += Len;
    }
    return Frames * static_cast<double>(L2_3SamplesPerFrame) / 44100;
}

std::string TenSeconds()
{
    return LameFixture("faults_cbr.mp3", 10, 2, 44100, "--cbr -b 128");
}

} // namespace

// ---- A read that never returns ----

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
        std::vector<ZEBMessage> Reply = Answer(Cmd);
        ASSERT_FALSE(Reply.empty());
        EXPECT_EQ(Reply.back().Msg, static_cast<uint32_t>(ZEB_RSP_OK)) << Describe(Reply);
    }
    EXPECT_TRUE(Destroy());
    // The stuck read returns at last; its reader must end quietly.
    SetAIOReaderStallForTesting(false);
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
    SetAIOReaderStallForTesting(false);
}

TEST_F(PlayerInput, DestroyWithAStalledReadReturns)
{
    OpenStalled(TenSeconds());
    EXPECT_TRUE(Destroy());
    std::vector<ZEBMessage> Got = H.Settle();
    EXPECT_EQ(CountErrors(Got, ZEB_ERR_ASYNC_IO, StalledRequest), 1u) << Describe(Got);
    SetAIOReaderStallForTesting(false);
}

// ---- A partly downloaded variable-bit-rate file ----

TEST_F(PlayerInput, TruncatedFileSeeksByTheWholeTrackAndEndsWhereItsDataEnds)
{
    std::string Full = LameFixture("faults_vbr_xing.mp3", 20, 2, 44100, "-V 2");
    ASSERT_FALSE(Full.empty());
    std::vector<uint8_t> Bytes = ReadFile(Full);
    Bytes.resize(Bytes.size() / 2);
    std::string Half = FixturePath("faults_vbr_half_" + std::to_string(getpid()) + ".mp3");
    WriteFile(Half, Bytes);

    // The Xing header still speaks for the whole track.
    ZEBAudioInputOpen(Player, Half.c_str());
    std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_INPUT_OPENED, 0, AnswerMs);
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got.back().lParam, 20u);

    // From 25 % of the time (5 s) to where the data ends.
    double DataEnds = SecondsAfterXingFrame(Bytes);
    ASSERT_GT(DataEnds, 7.0);
    ZEBAudioSeek(Player, 25, 100);
    ZEBAudioPlay(Player);
    Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, AnswerMs);
    EXPECT_FALSE(HasError(Got)) << Describe(Got);
    size_t Played = Out.Bytes().size();
    // Within half a second: the table's resolution and the decoder's start.
    EXPECT_NEAR(static_cast<double>(Played) / BytesPerSecond, DataEnds - 5.0, 0.5);

    // 90 % lies beyond the data: the input simply ends.
    ASSERT_LT(DataEnds, 18.0);
    ZEBAudioInputOpen(Player, Half.c_str());
    ZEBAudioSeek(Player, 90, 100);
    ZEBAudioPlay(Player);
    Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, AnswerMs);
    EXPECT_FALSE(HasError(Got)) << Describe(Got);
    EXPECT_EQ(Out.Bytes().size(), Played);
    unlink(Half.c_str());
}
