// The command protocol as a host sees it: exact message sequences of every
// command without an input, output modules, filters, ordering, failures.
#include "support/host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

using namespace zebtest;

namespace {

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Player = ZEBAudioPlayerCreate(H.Window());
        ASSERT_NE(Player, nullptr);
    }
    void TearDown() override
    {
        if (Player)
            ZEBAudioPlayerDestroy(Player);
    }
    void ExpectAnswers(const std::vector<ZEBMessage>& Expected)
    {
        std::vector<ZEBMessage> Got = H.Drain(Player);
        EXPECT_TRUE(Same(Got, Expected)) << "got " << Describe(Got) << "\nwanted " << Describe(Expected);
    }
    Host H;
    TestOutput Out, Out2, Out3; // outlive the player, which TearDown destroys
    void* Player = nullptr;
};

ZEBMessage Ok(uint32_t Cmd) { return Msg(ZEB_RSP_OK, Cmd, 0); }
ZEBMessage Err(uint32_t Cmd, uint32_t Code) { return Msg(ZEB_RSP_ERROR, Cmd, Code); }

TEST_F(PlayerTest, CommandsWithoutInputOrOutput)
{
    ZEBAudioStop(Player);
    ZEBAudioPlay(Player);
    ZEBAudioPause(Player);
    ZEBAudioSetOutputVolume(Player, 50);
    ZEBAudioSetOutputFrequency(Player, 1.5);
    ZEBAudioSetInputPositionRange(Player, 1000);
    ZEBAudioSetInputTimeInterval(Player, 250);
    ZEBAudioSetDuration(Player, 10);
    ZEBAudioOutputReset(Player);
    ZEBAudioOutputDrain(Player);
    ZEBAudioInputClose(Player);
    ZEBAudioOutputClose(Player);
    ZEBAudioSetMainVolume(Player, 20);
    ZEBAudioGetMainVolume(Player);
    ZEBAudioPreloadBuffers(Player);
    ExpectAnswers({Ok(ZEB_CMD_STOP), Ok(ZEB_CMD_PLAY), Ok(ZEB_CMD_PAUSE),
                   Msg(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED, 0), Ok(ZEB_CMD_SET_OUTPUT_VOLUME),
                   Ok(ZEB_CMD_SET_OUTPUT_VOLUME), Ok(ZEB_CMD_SET_OUTPUT_FREQUENCY), Ok(ZEB_CMD_SET_OUTPUT_FREQUENCY),
                   Ok(ZEB_CMD_SET_INPUT_POSITION_RANGE), Ok(ZEB_CMD_SET_INPUT_TIME_INTERVAL),
                   Err(ZEB_CMD_SET_DURATION, ZEB_ERR_INPUT_NOT_OPEN), Ok(ZEB_CMD_OUTPUT_RESET),
                   Ok(ZEB_CMD_OUTPUT_DRAIN), Ok(ZEB_CMD_INPUT_CLOSE), Ok(ZEB_CMD_OUTPUT_CLOSE),
                   Ok(ZEB_CMD_SET_MAIN_VOLUME), Ok(ZEB_CMD_GET_MAIN_VOLUME), Msg(ZEB_NTF_MAIN_VOLUME, 0, 100),
                   Err(ZEB_CMD_PRELOAD_BUFFERS, ZEB_ERR_NOT_DSOUND)});
}

TEST_F(PlayerTest, SeekRefusals)
{
    ZEBAudioSeek(Player, 0, 0);
    ZEBAudioSeek(Player, 101, 100);
    ZEBAudioSeek(Player, 100, 100);
    ZEBAudioSeek(Player, 0, 1);
    ExpectAnswers({Err(ZEB_CMD_SEEK, ZEB_ERR_INVALID_PARAMS), Err(ZEB_CMD_SEEK, ZEB_ERR_INVALID_PARAMS),
                   Ok(ZEB_CMD_SEEK), Ok(ZEB_CMD_SEEK)});
}

TEST_F(PlayerTest, CodesOutsideTheCommandRangeQueueNothing)
{
    ZEBAudioMessageSend(Player, 0x7FFF);
    ZEBAudioMessageSend(Player, 0x8015);
    ZEBAudioMessageSend(Player, ZEB_CMD_INTERNAL_ERROR);
    ZEBAudioMessageSend(Player, ZEB_CMD_DSOUND_OUTPUT_OPEN, 0, 0);
    ExpectAnswers({});
}

TEST_F(PlayerTest, InputOpenOfMissingFile)
{
    ZEBAudioInputOpen(Player, "/nonexistent/zeb/file.wav");
    ZEBAudioInputOpen(Player, "/nonexistent/zeb/noextension");
    ExpectAnswers({Err(ZEB_CMD_INPUT_OPEN, ZEB_ERR_INPUT_OPEN), Err(ZEB_CMD_INPUT_OPEN, ZEB_ERR_INPUT_OPEN)});
}

TEST_F(PlayerTest, HostOutputModuleOpenCreateAndFailure)
{
    TestOutput& Good = Out;
    TestOutput& Failing = Out2;
    TestOutput& NoCreate = Out3;
    Failing.CreateResult = 0;
    NoCreate.WithCreate = false;
    TestOutput::Open(Player, &Good);
    ExpectAnswers({Ok(ZEB_CMD_OUTPUT_OPEN)});
    TestOutput::Open(Player, &Failing);
    ExpectAnswers({Err(ZEB_CMD_OUTPUT_OPEN, ZEB_ERR_OUTPUT_OPEN)});
    TestOutput::Open(Player, &NoCreate);
    ExpectAnswers({Ok(ZEB_CMD_OUTPUT_OPEN)});
    // The previous module is deleted with its own instance when the next opens.
    EXPECT_EQ(Good.CallLog(), (std::vector<std::string>{"create", "delete"}));
    EXPECT_EQ(Failing.CallLog(), (std::vector<std::string>{"create"}));
    ZEBAudioOutputClose(Player);
    ExpectAnswers({Ok(ZEB_CMD_OUTPUT_CLOSE)});
    EXPECT_EQ(NoCreate.CallLog(), (std::vector<std::string>{"delete"}));
}

TEST_F(PlayerTest, NullRegisterFunctionIsAnOpenError)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_OPEN, "HOST", static_cast<uintptr_t>(0), static_cast<uintptr_t>(0));
    ZEBAudioMessageSend(Player, ZEB_CMD_ADD_OUTPUT_FILTER, static_cast<uintptr_t>(0), static_cast<uintptr_t>(0));
    ExpectAnswers({Err(ZEB_CMD_OUTPUT_OPEN, ZEB_ERR_OUTPUT_OPEN), Err(ZEB_CMD_ADD_OUTPUT_FILTER, ZEB_ERR_FILTER_ADD)});
}

TEST_F(PlayerTest, OutputCommandResultsBecomeResponses)
{
    TestOutput::Open(Player, &Out);
    ExpectAnswers({Ok(ZEB_CMD_OUTPUT_OPEN)});
    Out.CmdResult = 0;
    ZEBAudioSetOutputVolume(Player, 40);
    ZEBAudioSetOutputFrequency(Player, 1.0);
    ZEBAudioPause(Player);
    ZEBAudioOutputReset(Player);
    ZEBAudioOutputDrain(Player);
    ZEBAudioSetMainVolume(Player, 30);
    ExpectAnswers({Ok(ZEB_CMD_SET_OUTPUT_VOLUME), Err(ZEB_CMD_SET_OUTPUT_VOLUME, ZEB_ERR_GENERAL),
                   Ok(ZEB_CMD_SET_OUTPUT_FREQUENCY), Err(ZEB_CMD_SET_OUTPUT_FREQUENCY, ZEB_ERR_GENERAL),
                   Err(ZEB_CMD_PAUSE, ZEB_ERR_GENERAL), Err(ZEB_CMD_OUTPUT_RESET, ZEB_ERR_GENERAL),
                   Ok(ZEB_CMD_OUTPUT_DRAIN), Ok(ZEB_CMD_SET_MAIN_VOLUME)});
    Out.CmdResult = 37;
    ZEBAudioGetMainVolume(Player);
    ExpectAnswers({Ok(ZEB_CMD_GET_MAIN_VOLUME), Msg(ZEB_NTF_MAIN_VOLUME, 0, 37)});
    // The rate travels as the single-precision float's bits; 1.0 is 0x3F800000.
    std::vector<std::string> Calls = Out.CallLog();
    EXPECT_NE(std::find(Calls.begin(), Calls.end(), "cmd:8010:1065353216"), Calls.end());
    EXPECT_NE(std::find(Calls.begin(), Calls.end(), "cmd:8006:40"), Calls.end());
    EXPECT_NE(std::find(Calls.begin(), Calls.end(), "cmd:8013:30"), Calls.end());
}

TEST_F(PlayerTest, DsoundNameIsMatchedWithoutCase)
{
    // No device has this index, so both forms fail; the answers carry the
    // internal DirectSound code, which shows the name was recognised.
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_OPEN, "dsound", static_cast<uintptr_t>(0), static_cast<uintptr_t>(9999));
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_OPEN, "DSound", static_cast<uintptr_t>(0), static_cast<uintptr_t>(9999));
    ExpectAnswers({Err(ZEB_CMD_DSOUND_OUTPUT_OPEN, ZEB_ERR_OUTPUT_OPEN),
                   Err(ZEB_CMD_DSOUND_OUTPUT_OPEN, ZEB_ERR_OUTPUT_OPEN)});
}

// ---- Filters ----

struct FilterLog {
    std::vector<std::string> Calls;
    int CreateResult = 1;
};

int FCreate(void** Inst, void* Params)
{
    FilterLog* Log = static_cast<FilterLog*>(Params);
    *Inst = Log;
    Log->Calls.push_back("create");
    return Log->CreateResult;
}
void FDelete(void* Inst) { static_cast<FilterLog*>(Inst)->Calls.push_back("delete"); }
void FilterRegister(OutputFilterModule* M)
{
    M->FilterCreate = FCreate;
    M->FilterDelete = FDelete;
}
void BareFilterRegister(OutputFilterModule* M) { (void)M; }

TEST_F(PlayerTest, AddOutputFilter)
{
    FilterLog Good, Failing;
    Failing.CreateResult = 0;
    ZEBAudioAddOutputFilter(Player, FilterRegister, &Good);
    ZEBAudioAddOutputFilter(Player, FilterRegister, &Failing);
    ZEBAudioAddOutputFilter(Player, BareFilterRegister, nullptr);
    ExpectAnswers({Ok(ZEB_CMD_ADD_OUTPUT_FILTER), Err(ZEB_CMD_ADD_OUTPUT_FILTER, ZEB_ERR_FILTER_ADD),
                   Ok(ZEB_CMD_ADD_OUTPUT_FILTER)});
    ZEBAudioPlayerDestroy(Player);
    Player = nullptr;
    // Filters are deleted with the player; one whose create failed was never
    // kept, so it is not called again.
    EXPECT_EQ(Good.Calls, (std::vector<std::string>{"create", "delete"}));
    EXPECT_EQ(Failing.Calls, (std::vector<std::string>{"create"}));
}

// ---- Lifetime, ordering, failures ----

TEST(PlayerLifetime, DestroyRightAfterCreateAnswersStopAndInputClose)
{
    Host H;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    ASSERT_NE(Player, nullptr);
    ZEBAudioPlayerDestroy(Player);
    std::vector<ZEBMessage> Got = H.Settle(300);
    EXPECT_TRUE(Same(Got, {Ok(ZEB_CMD_STOP), Ok(ZEB_CMD_INPUT_CLOSE)})) << Describe(Got);
}

// Eight players on one window, each with its own script: half play a file
// to the end, half fail to open one; every player pings as often as its
// number once the files have ended. Each message names its sender, so each player's own messages are
// exactly its script's answers, in order, through its destroy.
TEST(PlayerLifetime, ManyPlayersOnOneWindowAreToldApart)
{
    constexpr int Count = 8;
    std::string Wav = FixturePath("one_window_players.wav");
    WriteWav(Wav, 44100, 2, 16, TestPcm(44100 / 4, 2, 44100));
    Host H;
    std::vector<void*> Players;
    std::vector<TestOutput> Outs(Count);
    std::vector<std::vector<ZEBMessage>> Expected(Count);
    for (int i = 0; i < Count; ++i) {
        void* P = ZEBAudioPlayerCreate(H.Window());
        ASSERT_NE(P, nullptr);
        Players.push_back(P);
        std::vector<ZEBMessage>& E = Expected[static_cast<size_t>(i)];
        if (i % 2 == 0) {
            TestOutput::Open(P, &Outs[static_cast<size_t>(i)]);
            ZEBAudioInputOpen(P, Wav.c_str());
            ZEBAudioPlay(P);
            E = {Ok(ZEB_CMD_OUTPUT_OPEN), Ok(ZEB_CMD_INPUT_OPEN), Msg(ZEB_NTF_INPUT_OPENED, 0, 0),
                 Ok(ZEB_CMD_PLAY), Msg(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 0),
                 Msg(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 0)};
        } else {
            ZEBAudioInputOpen(P, "/nonexistent/one_window.wav");
            E = {Err(ZEB_CMD_INPUT_OPEN, ZEB_ERR_INPUT_OPEN)};
        }
    }
    std::vector<ZEBMessage> All;
    for (int i = 0; i < Count; i += 2) { // each playing player reaches its end
        std::vector<ZEBMessage> Part = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
        All.insert(All.end(), Part.begin(), Part.end());
    }
    for (int i = 0; i < Count; ++i) {
        std::vector<ZEBMessage>& E = Expected[static_cast<size_t>(i)];
        for (int Ping = 0; Ping <= i; ++Ping) {
            ZEBAudioPing(Players[static_cast<size_t>(i)]);
            E.push_back(Ok(ZEB_CMD_PING));
            E.push_back(Msg(ZEB_NTF_PONG, 0, 0));
        }
        E.push_back(Ok(ZEB_CMD_STOP));
        E.push_back(Ok(ZEB_CMD_INPUT_CLOSE));
    }
    for (void* P : Players)
        ZEBAudioPlayerDestroy(P);
    std::vector<ZEBMessage> Rest = H.Settle(300);
    All.insert(All.end(), Rest.begin(), Rest.end());
    std::vector<std::vector<ZEBMessage>> Got(Count);
    size_t Unnamed = 0;
    for (const ZEBMessage& M : All) {
        auto It = std::find(Players.begin(), Players.end(), M.Player);
        if (It == Players.end()) {
            ++Unnamed;
            continue;
        }
        Got[static_cast<size_t>(It - Players.begin())].push_back(M);
    }
    EXPECT_EQ(Unnamed, 0u);
    for (int i = 0; i < Count; ++i) {
        std::vector<ZEBMessage> Own;
        // Progress reports depend on pacing; the script's answers do not.
        for (const ZEBMessage& M : Got[static_cast<size_t>(i)])
            if (M.Msg != ZEB_NTF_ELAPSED_TIME && M.Msg != ZEB_NTF_POSITION)
                Own.push_back(M);
        const std::vector<ZEBMessage>& E = Expected[static_cast<size_t>(i)];
        EXPECT_TRUE(Same(Own, E)) << "player " << i << " got " << Describe(Own) << "\nwanted " << Describe(E);
    }
}

// The heard position is the decoded one less what the host module says it
// still holds, and the decoded one for a module without that entry; with
// heard progress on, the progress pair reports it too. 0x8015 stays no
// command, and the formatter names the additions.
TEST_F(PlayerTest, PlayPositionSubtractsWhatTheModuleHolds)
{
    std::string Wav = FixturePath("play_position.wav");
    WriteWav(Wav, 44100, 2, 16, TestPcm(44100, 2, 44100));
    Out.WithBufferedMs = true;
    Out.BufferedMs = 200;
    TestOutput::Open(Player, &Out);
    ZEBAudioInputOpen(Player, Wav.c_str());
    ZEBAudioSeek(Player, 1, 2);
    ZEBAudioGetPlayPosition(Player);
    ZEBAudioMessageSend(Player, 0x8015);
    ZEBAudioSetHeardProgress(Player, 1);
    ZEBAudioSeek(Player, 3, 4);
    ExpectAnswers({Ok(ZEB_CMD_OUTPUT_OPEN), Ok(ZEB_CMD_INPUT_OPEN), Msg(ZEB_NTF_INPUT_OPENED, 0, 1),
                   Ok(ZEB_CMD_SEEK), Msg(ZEB_NTF_ELAPSED_TIME, 0, 500), Msg(ZEB_NTF_POSITION, 0, 50),
                   Ok(ZEB_CMD_GET_PLAY_POSITION), Msg(ZEB_NTF_PLAY_POSITION, 0, 300),
                   Ok(ZEB_CMD_SET_HEARD_PROGRESS), Ok(ZEB_CMD_SEEK), Msg(ZEB_NTF_ELAPSED_TIME, 0, 550),
                   Msg(ZEB_NTF_POSITION, 0, 55)});
    Out2.WithBufferedMs = false;
    TestOutput::Open(Player, &Out2);
    ZEBAudioInputOpen(Player, Wav.c_str());
    ZEBAudioSeek(Player, 1, 4);
    H.Drain(Player);
    ZEBAudioGetPlayPosition(Player);
    ExpectAnswers({Ok(ZEB_CMD_GET_PLAY_POSITION), Msg(ZEB_NTF_PLAY_POSITION, 0, 250)});
    char Text[ZEB_ERROR_STRING_SIZE];
    ZEBAudioFormatErrorString(ZEB_CMD_GET_PLAY_POSITION, 0, Text);
    EXPECT_NE(strstr(Text, "'Get Play Position'"), nullptr) << Text;
    ZEBAudioFormatErrorString(0x8015, 0, Text);
    EXPECT_NE(strstr(Text, "'Unknown Command'"), nullptr) << Text;
}

// With heard progress on, the report made as a section is decoded is
// behind all of that section: the k-th report is what the module was given
// before it, less what the module holds.
TEST_F(PlayerTest, HeardProgressIsBehindTheSectionNotYetWritten)
{
    std::string Wav = FixturePath("heard_progress.wav");
    WriteWav(Wav, 44100, 2, 16, TestPcm(44100, 2, 44100));
    Out.WithBufferedMs = true;
    Out.BufferedMs = 200;
    TestOutput::Open(Player, &Out);
    ZEBAudioSetInputTimeInterval(Player, 1); // a report for every section
    ZEBAudioSetHeardProgress(Player, 1);
    ZEBAudioInputOpen(Player, Wav.c_str());
    ZEBAudioPlay(Player);
    std::vector<uint32_t> Reports;
    for (const ZEBMessage& M : H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS))
        if (M.Msg == ZEB_NTF_ELAPSED_TIME)
            Reports.push_back(M.lParam);
    std::vector<uint32_t> Writes;
    {
        std::lock_guard<std::mutex> Guard(Out.Lock);
        Writes = Out.Writes;
    }
    ASSERT_GE(Writes.size(), 2u);
    ASSERT_EQ(Reports.size(), Writes.size());
    uint64_t Given = 0;
    for (size_t K = 0; K < Reports.size(); ++K) {
        double Expected = static_cast<double>(Given / 4) * 1000.0 / 44100 - 200;
        EXPECT_NEAR(Reports[K], Expected > 0 ? Expected : 0, 1.0) << "report " << K;
        Given += Writes[K];
    }
}

TEST_F(PlayerTest, CommandsFromSeveralThreadsKeepEachThreadsOrder)
{
    TestOutput::Open(Player, &Out);
    ExpectAnswers({Ok(ZEB_CMD_OUTPUT_OPEN)});
    constexpr int Threads = 4, PerThread = 50;
    std::vector<std::thread> Senders;
    for (int t = 0; t < Threads; ++t)
        Senders.emplace_back([this, t] {
            for (int i = 0; i < PerThread; ++i)
                ZEBAudioSetMainVolume(Player, static_cast<uint32_t>(t * 1000 + i));
        });
    for (std::thread& T : Senders)
        T.join();
    std::vector<ZEBMessage> Got = H.Drain(Player);
    EXPECT_EQ(Got.size(), static_cast<size_t>(Threads * PerThread));
    std::vector<int> Last(Threads, -1);
    int Seen = 0;
    for (const std::string& Call : Out.CallLog()) {
        unsigned Param;
        if (sscanf(Call.c_str(), "cmd:8013:%u", &Param) != 1)
            continue;
        int T = static_cast<int>(Param / 1000), I = static_cast<int>(Param % 1000);
        EXPECT_EQ(I, Last[T] + 1) << "thread " << T;
        Last[T] = I;
        ++Seen;
    }
    EXPECT_EQ(Seen, Threads * PerThread);
}

TEST(PlayerLifetime, DestroyDuringALongDrainHandsTheRecordToTheThread)
{
    Host H;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    ASSERT_NE(Player, nullptr);
    TestOutput Out;
    TestOutput::Open(Player, &Out);
    H.Drain(Player);
    Out.CmdDelayMs = 6000; // longer than destroy waits
    ZEBAudioOutputDrain(Player);
    while (Out.CallLog().back() != "cmd:800b:0")
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ZEBAudioPlayerDestroy(Player); // returns while the thread still drains
    EXPECT_EQ(Out.Count("delete"), 0u);
    // The thread finishes its commands, then frees the player and its output.
    std::vector<ZEBMessage> Got = H.Until(ZEB_RSP_OK, ZEB_CMD_INPUT_CLOSE, 20000);
    EXPECT_TRUE(Same(Got, {Ok(ZEB_CMD_OUTPUT_DRAIN), Ok(ZEB_CMD_STOP), Ok(ZEB_CMD_INPUT_CLOSE)})) << Describe(Got);
    Out.CmdDelayMs = 0;
    for (int i = 0; i < 400 && Out.Count("delete") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Out.Count("delete"), 1u);
}

// A host may destroy its window as soon as ZEBAudioPlayerDestroy returns,
// even when the player's thread is still busy and will post its last answers
// later: those posts are dropped and nothing touches freed memory.
TEST(PlayerLifetime, WindowDestroyedBeforeAHandedOverPlayerEnds)
{
    ZEBWindow* Window = ZEBWindowCreate();
    ASSERT_NE(Window, nullptr);
    void* Player = ZEBAudioPlayerCreate(Window);
    ASSERT_NE(Player, nullptr);
    TestOutput Out;
    TestOutput::Open(Player, &Out);
    Out.CmdDelayMs = 5500; // longer than destroy waits
    ZEBAudioOutputDrain(Player);
    while (Out.Count("cmd:800b:0") == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ZEBAudioPlayerDestroy(Player);
    ZEBWindowDestroy(Window); // the thread still holds the window
    for (int i = 0; i < 1000 && Out.Count("delete") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Out.Count("delete"), 1u);
}

TEST(PlayerLifetime, WindowDestroyedWhileItsPlayerLivesDropsPosts)
{
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    ASSERT_NE(Player, nullptr);
    ZEBWindowDestroy(Window);
    for (int i = 0; i < 50; ++i)
        ZEBAudioPing(Player);
    ZEBAudioPlayerDestroy(Player); // answers go nowhere; the window is freed here
}

TEST(PlayerFailure, ExceptionInHandlerEndsThreadWithNotification)
{
    Host H;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    ASSERT_NE(Player, nullptr);
    TestOutput Out;
    TestOutput::Open(Player, &Out);
    Out.ThrowOnCmd = 1;
    ZEBAudioPause(Player);
    std::vector<ZEBMessage> Got = H.Until(ZEB_NTF_ERROR, ZEB_ERR_UNHANDLED_EXCEPTION);
    ASSERT_FALSE(Got.empty());
    EXPECT_EQ(Got.back().lParam, 0u);
    // The thread has ended: nothing answers any more.
    ZEBAudioPing(Player);
    EXPECT_TRUE(H.Settle(300).empty());
    ZEBAudioPlayerDestroy(Player);
    EXPECT_TRUE(H.Settle(100).empty());
    EXPECT_EQ(Out.Count("delete"), 1u);
}

TEST(PlayerFailure, QueuedPathsOfADeadPlayerAreReleased)
{
    Host H;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    TestOutput Out;
    TestOutput::Open(Player, &Out);
    Out.ThrowOnCmd = 1;
    ZEBAudioPause(Player);
    H.Until(ZEB_NTF_ERROR, ZEB_ERR_UNHANDLED_EXCEPTION);
    ZEBAudioInputOpen(Player, "/never/handled.wav"); // the leak check catches a lost copy
    ZEBAudioPlayerDestroy(Player);
}

} // namespace
