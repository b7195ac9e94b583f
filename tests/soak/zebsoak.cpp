// zebsoak: many players at once, each driven by its own host thread that
// sends random commands with random arguments. Every answer and notification
// is checked against the protocol of zeb-audio.h; a player that stops
// answering is reported with its last commands and the stacks of all
// threads. Uses nothing but the public header.
//
//   zebsoak [--players N] [--seconds S] [--seed X] [--corpus DIR]
//           [--fixtures DIR] [--hang-seconds S]
#include "zeb-audio.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- Options, files, figures ----

struct Options {
    int Players = 16;
    int Seconds = 60;
    uint64_t Seed = 0;
    int HangSeconds = 30;
    std::string Corpus = ZEB_SOAK_CORPUS;
    std::string Fixtures = ZEB_SOAK_FIXTURES;
};

// Good files must open, Refused ones must be refused with 1, Missing paths
// too; corpus files (and fixtures whose fate depends on the libraries
// installed) may go either way.
enum class Kind { Good, Refused, Corpus, Missing };
struct File {
    std::string Path;
    Kind K;
    uint32_t Rate = 0, Channels = 0, Seconds = 0; // from a fixture's name
    bool ExactLength = false; // the length the library reports is the real one
};

struct Figures {
    std::atomic<uint64_t> Sent{0}, Answers{0}, Players{0}, Recreates{0}, OpenOk{0}, OpenRefused{0},
        Queries{0}, AsyncErrors{0}, SlowDestroys{0}, BadBlocks{0};
    std::atomic<int64_t> MaxDestroyMs{0};
    std::atomic<uint64_t> ErrorCodes[16] = {}; // ZEB_NTF_ERROR by code
};

Options Opt;
std::vector<File> Files[4]; // indexed by Kind
Figures Fig;
unsigned DeviceCount = 0;
std::atomic<bool> Failed{false};
std::mutex PrintLock;
std::mutex GraveLock;
std::vector<ZEBWindow*> Graveyard; // windows of destroyed players, freed at exit

int64_t MsSince(Clock::time_point T)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - T).count();
}

void AddFixtures(const std::string& Dir)
{
    std::error_code Ec;
    for (const auto& E : fs::directory_iterator(Dir, Ec)) {
        std::string Name = E.path().filename();
        File F{E.path(), Kind::Good};
        char Tag[32];
        if (sscanf(Name.c_str(), "good-%31[^-]-%u-%uch-%us.", Tag, &F.Rate, &F.Channels, &F.Seconds) == 4) {
            // The length of a raw AAC stream on open is an estimate.
            F.ExactLength = strncmp(Tag, "ffmadts", 7) != 0;
            Files[int(Kind::Good)].push_back(F);
        } else if (Name.rfind("bad-", 0) == 0) {
            Files[int(Kind::Refused)].push_back({F.Path, Kind::Refused});
        } else if (Name.rfind("odd-", 0) == 0) {
            Files[int(Kind::Corpus)].push_back({F.Path, Kind::Corpus});
        }
    }
    if (Files[int(Kind::Good)].empty())
        printf("note: no fixtures in %s (make them with tests/soak/make-fixtures.sh %s)\n", Dir.c_str(),
               Dir.c_str());
}

void AddCorpus(const std::string& Dir)
{
    std::error_code Ec;
    if (!fs::is_directory(Dir, Ec)) {
        printf("note: no corpus at %s, skipped\n", Dir.c_str());
        return;
    }
    for (const auto& E : fs::recursive_directory_iterator(Dir, Ec))
        if (E.is_regular_file())
            Files[int(Kind::Corpus)].push_back({E.path(), Kind::Corpus});
}

void CollectFiles()
{
    AddFixtures(Opt.Fixtures);
    AddCorpus(Opt.Corpus);
    for (const char* P : {"/nonexistent/zebsoak/missing.mp3", "/nonexistent/missing.wav", ""})
        Files[int(Kind::Missing)].push_back({P, Kind::Missing});
    Files[int(Kind::Missing)].push_back({Opt.Fixtures + "/missing.wav", Kind::Missing});
    Files[int(Kind::Missing)].push_back({Opt.Fixtures, Kind::Missing}); // a folder
    for (auto& List : Files) // the same seed picks the same files on every machine
        std::sort(List.begin(), List.end(), [](const File& A, const File& B) { return A.Path < B.Path; });
}

// ---- Host output module and filter ----

constexpr int ModuleVolume = 77; // what the module reports for "Get Main Volume"
int FailTag;                     // creation parameter that makes a create fail

void CheckBlock(void* Bfr, uint32_t Size, uint16_t BytesPerSample, uint16_t Channels, uint32_t Rate)
{
    if (BytesPerSample != 2 || Channels < 1 || Channels > 2 || Rate == 0 || Size > 524288) {
        Fig.BadBlocks++;
        return;
    }
    auto* S = static_cast<int16_t*>(Bfr); // touch every sample: the block must be that large
    for (uint32_t i = 0; i < Size / 2; ++i)
        S[i] = static_cast<int16_t>(S[i] / 2);
}

struct SoakOutput {
    uint64_t Writes = 0;
};

int OutCreate(void** Inst, void* Param)
{
    *Inst = Param == &FailTag ? nullptr : new SoakOutput;
    return *Inst != nullptr;
}
void OutDelete(void* Inst) { delete static_cast<SoakOutput*>(Inst); }
int OutOpen(void*) { return 1; }
void OutClose(void*) {}
void OutWrite(void* Inst, void* Bfr, uint32_t Size, uint16_t Bps, uint16_t Channels, uint32_t Rate)
{
    CheckBlock(Bfr, Size, Bps, Channels, Rate);
    // A failed create leaves the slots installed with a null instance.
    uint64_t N = Inst ? ++static_cast<SoakOutput*>(Inst)->Writes : 0;
    if (N % 4 == 1) // a device that sometimes takes its time
        std::this_thread::sleep_for(milliseconds(1 + N % 3));
}
int OutCmd(void*, uint32_t Cmd, uint32_t) { return Cmd == ZEB_CMD_GET_MAIN_VOLUME ? ModuleVolume : 1; }
void RegisterOutput(OutputModule* M) { *M = {OutCreate, OutDelete, OutOpen, OutClose, OutWrite, OutCmd, nullptr}; }
void RegisterOutputNoCmd(OutputModule* M)
{
    RegisterOutput(M);
    M->OutputCmd = nullptr;
}

int FilterCreate(void** Inst, void* Param)
{
    *Inst = Param == &FailTag ? nullptr : new SoakOutput;
    return *Inst != nullptr;
}
void FilterDelete(void* Inst) { delete static_cast<SoakOutput*>(Inst); }
void FilterWrite(void*, void* Bfr, uint32_t Size, uint16_t Bps, uint16_t Channels, uint32_t Rate)
{
    CheckBlock(Bfr, Size, Bps, Channels, Rate);
}
void RegisterFilter(OutputFilterModule* M) { *M = {FilterCreate, FilterDelete, nullptr, nullptr, FilterWrite}; }

// ---- Commands ----

constexpr uint32_t Recreate = 1, Query = 2; // host actions in the weight table
const std::pair<uint32_t, int> Weights[] = {
    {ZEB_CMD_INPUT_OPEN, 140}, {ZEB_CMD_PLAY, 140}, {ZEB_CMD_PAUSE, 50}, {ZEB_CMD_STOP, 50},
    {ZEB_CMD_SEEK, 80}, {ZEB_CMD_DSOUND_OUTPUT_OPEN, 45}, {ZEB_CMD_OUTPUT_OPEN, 25},
    {ZEB_CMD_SET_OUTPUT_VOLUME, 35}, {ZEB_CMD_ADD_OUTPUT_FILTER, 15}, {ZEB_CMD_PRELOAD_BUFFERS, 40},
    {ZEB_CMD_SET_INPUT_POSITION_RANGE, 15}, {ZEB_CMD_OUTPUT_RESET, 30}, {ZEB_CMD_OUTPUT_DRAIN, 3},
    {ZEB_CMD_PING, 30}, {ZEB_CMD_INPUT_CLOSE, 25}, {ZEB_CMD_SET_DURATION, 25},
    {ZEB_CMD_SET_INPUT_TIME_INTERVAL, 15}, {ZEB_CMD_SET_OUTPUT_FREQUENCY, 55}, {ZEB_CMD_OUTPUT_CLOSE, 15},
    {ZEB_CMD_SET_MAIN_VOLUME, 15}, {ZEB_CMD_GET_MAIN_VOLUME, 20}, {Recreate, 6}, {Query, 20}};

// Phrases: chains that take streams through their whole life in quick
// succession (open, play, cut short, pause, reopen at another format, rate
// changes in between), where the output's stream transitions meet. Files,
// arguments and the waits (Rest) are random.
constexpr uint32_t Rest = 3;
const std::vector<uint32_t> Phrases[] = {
    {ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY, Rest, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PAUSE, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY,
     Rest, ZEB_CMD_INPUT_OPEN, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY},
    {ZEB_CMD_SET_OUTPUT_FREQUENCY, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY, Rest, ZEB_CMD_INPUT_OPEN,
     ZEB_CMD_SET_OUTPUT_FREQUENCY, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY, Rest},
    {ZEB_CMD_INPUT_OPEN, ZEB_CMD_PRELOAD_BUFFERS, ZEB_CMD_PLAY, Rest, ZEB_CMD_PAUSE, ZEB_CMD_SEEK, ZEB_CMD_PLAY,
     Rest, ZEB_CMD_STOP, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY},
    {ZEB_CMD_DSOUND_OUTPUT_OPEN, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY, Rest, ZEB_CMD_STOP, ZEB_CMD_INPUT_OPEN,
     ZEB_CMD_PLAY, Rest, ZEB_CMD_OUTPUT_RESET, ZEB_CMD_INPUT_OPEN, ZEB_CMD_PLAY},
};

const char* CmdName(uint32_t Code)
{
    static const char* const Names[] = {"Input Open", "Stop", "Pause", "Play", "Seek", "Output Open",
        "Set Output Volume", "Add Output Filter", "Preload Buffers", "Set Input Position Range",
        "Output Reset", "Output Drain", "Ping", "Input Close", "Set Duration", "Set Input Time Interval",
        "Set Ouput Frequency", "Internal Error", "Output Close", "Set Main Volume", "Get Main Volume"};
    if (Code == ZEB_CMD_DSOUND_OUTPUT_OPEN)
        return "Output Open";
    return Code >= 0x8000 && Code <= 0x8014 ? Names[Code - 0x8000] : "?";
}

const char* MsgName(uint32_t Msg)
{
    static const char* const Names[] = {"RSP_ERROR", "RSP_OK", "PLAY_STATE", "POSITION", "ELAPSED_TIME",
        "INPUT_OPENED", "PONG", "PRELOAD", "NTF_ERROR", "MAIN_VOLUME"};
    return Msg >= 0x8000 && Msg <= 0x8009 ? Names[Msg - 0x8000] : "?";
}

std::string MsgText(const ZEBMessage& M)
{
    char Text[96];
    snprintf(Text, sizeof Text, "%s(0x%X, %u)", MsgName(M.Msg), M.wParam, M.lParam);
    return Text;
}

int AnswerCount(uint32_t Code)
{
    return Code == ZEB_CMD_SET_OUTPUT_VOLUME || Code == ZEB_CMD_SET_OUTPUT_FREQUENCY ? 2 : 1;
}

struct Command {
    uint32_t Code = 0; // as the answers carry it: 0x83E8 for a DSOUND "Output Open"
    uint32_t A = 0, B = 0;
    double Ratio = 1.0;
    const File* F = nullptr;
    const char* Name = "DSOUND";
    bool NoCmd = false, Fail = false, Null = false;
    int Answered = 0;
    std::string Text, Answer;
};

// What the host knows of a player from the answers so far.
enum class Output { None, DSound, Module, ModuleNoCmd, ModuleFailed };
enum class State { Stopped, Playing, Paused, Eos };
const char* const OutputNames[] = {"none", "DSOUND", "module", "module without Cmd", "module, create failed"};
const char* const StateNames[] = {"stopped", "playing", "paused", "end of stream"};

// A notification that must be the player's next message.
struct Await {
    uint32_t Msg = 0, Lo = 0, Hi = UINT32_MAX; // range of the value the message carries
    std::string After;                          // the command whose answer it follows
};

void DumpStacks()
{
    if (system("command -v gdb >/dev/null 2>&1") != 0) {
        puts("(no gdb: no thread stacks)");
        return;
    }
    fflush(stdout);
    std::string Cmd = "gdb -p " + std::to_string(getpid()) + " -batch -ex 'thread apply all bt' 2>&1";
    if (system(Cmd.c_str()) != 0)
        puts("(gdb could not attach)");
}

// ---- One player and its host thread ----

class Slot {
public:
    explicit Slot(int Index) : Index_(Index), Rng_(Opt.Seed + 0x9E3779B97F4A7C15ull * (Index + 1)) {}
    void Run(Clock::time_point End);
    // Watchdog: a library call that has not returned for a while is a hang.
    void Watch();
    std::atomic<bool> Done{false};

private:
    using CommandPtr = std::shared_ptr<Command>;
    int Index_;
    std::mt19937_64 Rng_;
    ZEBWindow* Win_ = nullptr;
    void* Player_ = nullptr;
    int Instance_ = 0;
    size_t Depth_ = 1; // commands in flight
    bool Calm_ = false;
    int PhaseLeft_ = 0; // steps until the pace changes
    int RestMs_ = -1;   // the next pause, when a phrase asks for one
    std::deque<uint32_t> Plan_; // the rest of the phrase being played
    bool InputOpen_ = false, Dead_ = false;
    State State_ = State::Eos;
    Output Out_ = Output::None;
    int Filters_ = 0;
    std::deque<CommandPtr> Pending_, History_;
    Await Wait_;
    Clock::time_point HeadSince_, WaitSince_;
    std::atomic<int64_t> CallSince_{-1}; // ms on the steady clock; -1 outside library calls
    const char* CallName_ = "";

    uint32_t Below(uint32_t N) { return static_cast<uint32_t>(Rng_() % N); }
    bool Chance(int Percent) { return Below(100) < static_cast<uint32_t>(Percent); }
    void Enter(const char* What);
    void Leave() { CallSince_.store(-1, std::memory_order_release); }

    void Create();
    void Destroy();
    void Finish();
    void Step();
    int PauseMs();
    CommandPtr Make(uint32_t Code);
    const File* PickFile();
    double PickRatio();
    void Send(const CommandPtr& C);
    void Issue(const Command& C);
    void QueryFiles();
    bool Pump(Clock::time_point Until);
    void WaitAll();
    void CheckStall();
    void Track(const CommandPtr& C);
    void Handle(const ZEBMessage& M);
    void Answer(const ZEBMessage& M);
    std::string Judge(Command& C, bool Ok, uint32_t Err);
    std::string JudgeOpen(const Command& C, bool Ok, uint32_t Err);
    void Expect(uint32_t Msg, uint32_t Lo = 0, uint32_t Hi = UINT32_MAX);
    void Note(const std::string& Text);
    void Violation(const std::string& What);
    void Report(const char* Kind, const std::string& What);
    [[noreturn]] void Hang(const std::string& What);
};

void Slot::Enter(const char* What)
{
    CallName_ = What;
    CallSince_.store(std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count(),
                     std::memory_order_release);
}

void Slot::Watch()
{
    int64_t Since = CallSince_.load(std::memory_order_acquire);
    int64_t Now = std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
    if (Since >= 0 && Now - Since > Opt.HangSeconds * 1000ll)
        Hang(std::string(CallName_) + " has not returned for " + std::to_string(Opt.HangSeconds) + " s");
}

void Slot::Create()
{
    Enter("ZEBWindowCreate/ZEBAudioPlayerCreate");
    Win_ = ZEBWindowCreate();
    Player_ = Win_ ? ZEBAudioPlayerCreate(Win_) : nullptr;
    Leave();
    ++Instance_;
    Fig.Players++;
    InputOpen_ = false;
    State_ = State::Eos;
    Out_ = Output::None;
    Filters_ = 0;
    Depth_ = 1 + Below(4);
    if (!Player_)
        Violation("could not create a window and a player");
}

// Destroy queues "Stop" and "Input Close" behind whatever is in flight; all of
// it is answered on the old window, which stays alive until the end.
void Slot::Destroy()
{
    for (uint32_t Code : {ZEB_CMD_STOP, ZEB_CMD_INPUT_CLOSE}) {
        auto C = Make(Code);
        C->Text += " (destroy)";
        Track(C);
        Fig.Sent++;
    }
    auto T0 = Clock::now();
    Enter("ZEBAudioPlayerDestroy");
    ZEBAudioPlayerDestroy(Player_);
    Leave();
    Player_ = nullptr;
    int64_t Ms = MsSince(T0);
    int64_t Max = Fig.MaxDestroyMs.load();
    while (Ms > Max && !Fig.MaxDestroyMs.compare_exchange_weak(Max, Ms)) {
    }
    if (Ms > 6000) {
        Fig.SlowDestroys++;
        Report("SLOW DESTROY", "ZEBAudioPlayerDestroy took " + std::to_string(Ms) + " ms");
    }
    WaitAll();
    std::lock_guard<std::mutex> G(GraveLock);
    Graveyard.push_back(Win_);
    Win_ = nullptr;
}

void Slot::Run(Clock::time_point End)
{
    Create();
    while (!Dead_ && !Failed && Clock::now() < End) {
        if (Pending_.size() < Depth_)
            Step();
        if (!Dead_ && !Pump(Clock::now() + milliseconds(PauseMs())))
            break;
    }
    Finish();
    Done = true;
}

// At the end every player must still answer "Ping" with OK and PONG.
void Slot::Finish()
{
    if (!Dead_) {
        Send(Make(ZEB_CMD_PING));
        WaitAll();
    }
    if (!Dead_) {
        Destroy();
        return;
    }
    if (Player_) { // after a failure: no more checks, only clean up
        Enter("ZEBAudioPlayerDestroy");
        ZEBAudioPlayerDestroy(Player_);
        Leave();
    }
    std::lock_guard<std::mutex> G(GraveLock);
    if (Win_)
        Graveyard.push_back(Win_);
}

// Bursts of commands that cut every stream short alternate with calm
// stretches in which files play on, end and play out.
int Slot::PauseMs()
{
    if (RestMs_ >= 0)
        return std::exchange(RestMs_, -1);
    if (--PhaseLeft_ <= 0) {
        Calm_ = Chance(25);
        PhaseLeft_ = 5 + static_cast<int>(Below(40));
    }
    return static_cast<int>(Calm_ ? 50 + Below(600) : Chance(97) ? Below(30) : 300 + Below(1000));
}

void Slot::Step()
{
    if (Plan_.empty() && Chance(5)) {
        const auto& P = Phrases[Below(std::size(Phrases))];
        Plan_.assign(P.begin(), P.end());
    }
    if (!Plan_.empty()) {
        uint32_t Code = Plan_.front();
        Plan_.pop_front();
        if (Code == Rest)
            RestMs_ = static_cast<int>(Below(600));
        else
            Send(Make(Code));
        return;
    }
    int Total = 0;
    for (const auto& [Code, W] : Weights)
        Total += W;
    int Pick = static_cast<int>(Below(static_cast<uint32_t>(Total)));
    uint32_t Code = 0;
    for (const auto& [C, W] : Weights)
        if ((Pick -= W) < 0) {
            Code = C;
            break;
        }
    if (Code == Query)
        return QueryFiles();
    if (Code == Recreate) {
        if (State_ != State::Playing && !Chance(30)) // mostly while it plays
            return;
        Fig.Recreates++;
        Note("re-create");
        Destroy();
        if (!Dead_)
            Create();
        return;
    }
    if (Code == ZEB_CMD_ADD_OUTPUT_FILTER && Filters_ >= 8) // filters live as long as the player
        Code = ZEB_CMD_PING;
    Send(Make(Code));
}

const File* Slot::PickFile()
{
    uint32_t R = Below(100);
    Kind K = R < 45 ? Kind::Good : R < 55 ? Kind::Refused : R < 90 ? Kind::Corpus : Kind::Missing;
    if (Files[int(K)].empty())
        K = Files[int(Kind::Good)].empty() ? Kind::Missing : Kind::Good;
    const auto& List = Files[int(K)];
    return &List[Below(static_cast<uint32_t>(List.size()))];
}

// Exactly 1.0, values around 1.0 on both sides, and a wide spread.
double Slot::PickRatio()
{
    uint32_t R = Below(100);
    if (R < 30)
        return 1.0;
    if (R < 50)
        return 0.97 + Below(61) / 1000.0;
    if (R < 90)
        return 0.25 + Below(2751) / 1000.0;
    return Chance(50) ? 0.2 : 4.0;
}

Slot::CommandPtr Slot::Make(uint32_t Code)
{
    auto C = std::make_shared<Command>();
    C->Code = Code;
    C->Text = CmdName(Code);
    char Arg[160] = "";
    switch (Code) {
    case ZEB_CMD_INPUT_OPEN:
        C->F = PickFile();
        snprintf(Arg, sizeof Arg, " \"%s\"", C->F->Path.c_str());
        break;
    case ZEB_CMD_SEEK: { // valid, to the very end, no range, past the end
        static const uint32_t Ranges[] = {1, 100, 1000, 0xFFFFFFFF};
        uint32_t R = Below(100);
        C->B = R < 15 ? 0 : Chance(80) ? Ranges[Below(4)] : 1 + Below(5000);
        if (R < 15)
            C->A = Below(200);
        else if (R < 30 && C->B < 0xFFFFFFFF)
            C->A = C->B + 1 + Below(10);
        else
            C->A = Chance(10) ? C->B : Below(C->B);
        snprintf(Arg, sizeof Arg, " %u/%u", C->A, C->B);
        break;
    }
    case ZEB_CMD_DSOUND_OUTPUT_OPEN: {
        static const char* const Names[] = {"DSOUND", "dsound", "DSound"};
        C->Name = Names[Below(3)];
        uint32_t R = Below(100);
        C->A = R < 75 ? 0 : R < 85 && DeviceCount > 1 ? Below(DeviceCount) : R < 95 ? DeviceCount + Below(3)
                                                                                   : 0xFFFFFFFF;
        snprintf(Arg, sizeof Arg, " %s device %u", C->Name, C->A);
        break;
    }
    case ZEB_CMD_OUTPUT_OPEN:
        C->NoCmd = Chance(25);
        C->Fail = Chance(10);
        snprintf(Arg, sizeof Arg, " module%s%s", C->NoCmd ? " without Cmd" : "", C->Fail ? ", create fails" : "");
        break;
    case ZEB_CMD_ADD_OUTPUT_FILTER:
        C->Null = Chance(20);
        C->Fail = !C->Null && Chance(15);
        snprintf(Arg, sizeof Arg, "%s", C->Null ? " null register" : C->Fail ? " create fails" : "");
        break;
    case ZEB_CMD_SET_OUTPUT_VOLUME:
    case ZEB_CMD_SET_MAIN_VOLUME:
        C->A = Chance(5) ? (Chance(50) ? 101 : 0xFFFFFFFF) : Below(101);
        break;
    case ZEB_CMD_SET_INPUT_POSITION_RANGE:
        C->A = Chance(10) ? 0 : Chance(50) ? 100 : 1 + Below(100000);
        break;
    case ZEB_CMD_SET_DURATION:
        C->A = Chance(10) ? 0 : 1 + Below(600);
        break;
    case ZEB_CMD_SET_INPUT_TIME_INTERVAL: {
        static const uint32_t Ms[] = {0, 10, 100, 250, 1000, 1000, 3000};
        C->A = Ms[Below(7)];
        break;
    }
    case ZEB_CMD_SET_OUTPUT_FREQUENCY:
        C->Ratio = PickRatio();
        snprintf(Arg, sizeof Arg, " %.3f", C->Ratio);
        break;
    }
    if (!Arg[0] && C->A)
        snprintf(Arg, sizeof Arg, " %u", C->A);
    C->Text += Arg;
    return C;
}

// Answers come back in the order the commands were queued.
void Slot::Track(const CommandPtr& C)
{
    History_.push_back(C);
    while (History_.size() > 20)
        History_.pop_front();
    if (Pending_.empty())
        HeadSince_ = Clock::now();
    Pending_.push_back(C);
}

void Slot::Send(const CommandPtr& C)
{
    Track(C);
    Fig.Sent++;
    Enter("ZEBAudioMessageSend");
    Issue(*C);
    Leave();
}

void Slot::Issue(const Command& C)
{
    switch (C.Code) {
    case ZEB_CMD_INPUT_OPEN:
        return ZEBAudioInputOpen(Player_, C.F->Path.c_str());
    case ZEB_CMD_SEEK:
        return ZEBAudioSeek(Player_, C.A, C.B);
    case ZEB_CMD_DSOUND_OUTPUT_OPEN:
        return ZEBAudioMessageSend(Player_, ZEB_CMD_OUTPUT_OPEN, C.Name, (uintptr_t)Win_, (uintptr_t)C.A);
    case ZEB_CMD_OUTPUT_OPEN:
        return ZEBAudioOutputOpenModule(Player_, "SOAK", C.NoCmd ? RegisterOutputNoCmd : RegisterOutput,
                                        C.Fail ? &FailTag : nullptr);
    case ZEB_CMD_ADD_OUTPUT_FILTER:
        return ZEBAudioAddOutputFilter(Player_, C.Null ? nullptr : RegisterFilter, C.Fail ? &FailTag : nullptr);
    case ZEB_CMD_SET_OUTPUT_FREQUENCY:
        return ZEBAudioSetOutputFrequency(Player_, C.Ratio);
    case ZEB_CMD_SET_OUTPUT_VOLUME:
    case ZEB_CMD_SET_MAIN_VOLUME:
    case ZEB_CMD_SET_INPUT_POSITION_RANGE:
    case ZEB_CMD_SET_DURATION:
    case ZEB_CMD_SET_INPUT_TIME_INTERVAL:
        return ZEBAudioMessageSend(Player_, C.Code, C.A);
    default:
        return ZEBAudioMessageSend(Player_, C.Code);
    }
}

// The player-less exports, from this host thread while the players play.
void Slot::QueryFiles()
{
    Fig.Queries++;
    const File* F = PickFile();
    std::string Bad;
    Enter("device and track queries");
    if (Chance(20)) {
        unsigned Count = 12345;
        char** List = ZEBAudioEnumerateDevices(&Count);
        if (Count && !List)
            Bad = "ZEBAudioEnumerateDevices: null list";
        for (unsigned i = 0; Bad.empty() && i < Count; ++i) // records may be released later: not read
            if (!List[i])
                Bad = "ZEBAudioEnumerateDevices: null entry";
        ZEBAudioFreeDeviceEnums(List);
    } else if (Chance(50)) {
        uint32_t Length = ZEBAudioGetMP3TrackLength(F->Path.c_str());
        if (F->K == Kind::Missing && Length != 0)
            Bad = "ZEBAudioGetMP3TrackLength of a missing file: " + std::to_string(Length);
        if (F->ExactLength && (Length + 1 < F->Seconds || Length > F->Seconds + 1))
            Bad = "ZEBAudioGetMP3TrackLength: " + std::to_string(Length) + " s";
    } else {
        MPEGTrackInfoType I{};
        bool Null = Chance(10);
        int Ok = ZEBAudioGetMP3TrackInfo(F->Path.c_str(), Null ? nullptr : &I);
        if (Null || F->K == Kind::Missing) {
            if (Ok)
                Bad = std::string("ZEBAudioGetMP3TrackInfo answered 1") + (Null ? " without a record" : "");
        } else if (F->K == Kind::Good && (!Ok || !I.Supported || I.SampleRate != F->Rate || I.Channels != F->Channels))
            Bad = "ZEBAudioGetMP3TrackInfo: " + std::to_string(Ok) + ", " + std::to_string(I.SampleRate) + " Hz, " +
                  std::to_string(I.Channels) + " channels, supported " + std::to_string(I.Supported);
        else if (F->K == Kind::Refused && Ok && I.Supported)
            Bad = "ZEBAudioGetMP3TrackInfo: supported, but \"Input Open\" must refuse it";
    }
    Leave();
    if (!Bad.empty())
        Violation(Bad + " (\"" + F->Path + "\")");
}

// ---- Answers ----

bool Slot::Pump(Clock::time_point Until)
{
    for (;;) {
        if (Dead_)
            return false;
        CheckStall();
        auto Left = std::chrono::duration_cast<milliseconds>(Until - Clock::now()).count();
        ZEBMessage M;
        if (ZEBWindowGetMessage(Win_, &M, static_cast<int>(std::clamp<int64_t>(Left, 0, 100))))
            Handle(M);
        else if (Clock::now() >= Until)
            return true;
    }
}

void Slot::WaitAll()
{
    while (!Dead_ && (!Pending_.empty() || Wait_.Msg))
        Pump(Clock::now() + milliseconds(100));
}

void Slot::CheckStall()
{
    int64_t Limit = Opt.HangSeconds * 1000ll;
    if (!Pending_.empty()) {
        // A drain waits for the output to play out, at the rate set.
        if (Pending_.front()->Code == ZEB_CMD_OUTPUT_DRAIN)
            Limit *= 3;
        if (MsSince(HeadSince_) > Limit)
            Hang("no answer to \"" + Pending_.front()->Text + "\" within " + std::to_string(Limit / 1000) + " s");
    } else if (Wait_.Msg && MsSince(WaitSince_) > Limit) {
        Hang(std::string(MsgName(Wait_.Msg)) + " after the answer to \"" + Wait_.After + "\" never came");
    }
}

void Slot::Handle(const ZEBMessage& M)
{
    // Posted by the output's end-of-stream thread once a stream has played
    // out: it may come between any two messages of the player.
    if (M.Msg == ZEB_NTF_PLAYED_OUT)
        return;
    if (M.Msg == ZEB_NTF_ERROR) { // posted by other threads of the player too
        Fig.ErrorCodes[std::min(M.wParam, 15u)]++;
        if (++Fig.AsyncErrors <= 10) { // the first few in full, the rest in the figures
            std::lock_guard<std::mutex> G(PrintLock);
            printf("note: player %d: %s after \"%s\"\n", Index_, MsgText(M).c_str(),
                   History_.empty() ? "" : History_.back()->Text.c_str());
        }
        Note(MsgText(M));
        if (M.wParam == ZEB_ERR_UNHANDLED_EXCEPTION)
            Violation("unhandled exception in the library: " + MsgText(M));
        else if (M.wParam < ZEB_ERR_DSOUND_FORMAT || M.wParam > ZEB_ERR_DSOUND_PLAYBACK)
            Violation("undocumented asynchronous error " + MsgText(M));
        return;
    }
    if (Wait_.Msg) {
        bool InL = M.Msg == ZEB_NTF_MAIN_VOLUME || M.Msg == ZEB_NTF_INPUT_OPENED;
        uint32_t V = InL ? M.lParam : M.wParam;
        if (M.Msg != Wait_.Msg || V < Wait_.Lo || V > Wait_.Hi)
            return Violation("got " + MsgText(M) + " where the answer to \"" + Wait_.After + "\" must be followed by " +
                             MsgName(Wait_.Msg) + " " + std::to_string(Wait_.Lo) + ".." + std::to_string(Wait_.Hi));
        if (M.Msg == ZEB_NTF_PLAY_STATE && M.wParam != ZEB_PLAYER_STATE_PAUSED)
            State_ = M.wParam == ZEB_PLAYER_STATE_PLAYING ? State::Playing : State::Stopped;
        else if (M.Msg == ZEB_NTF_PLAY_STATE && State_ == State::Playing)
            State_ = State::Paused; // a pause while not playing changes nothing
        Wait_ = {};
        return;
    }
    switch (M.Msg) {
    case ZEB_RSP_OK:
    case ZEB_RSP_ERROR:
        return Answer(M);
    case ZEB_NTF_ELAPSED_TIME:
    case ZEB_NTF_POSITION:
        return;
    case ZEB_NTF_PLAY_STATE:
        if (M.wParam == ZEB_PLAYER_STATE_EOS) {
            Note("end of stream");
            if (!InputOpen_)
                Violation("end of stream without an open input");
            InputOpen_ = false;
            State_ = State::Eos;
            return;
        }
        break;
    }
    Violation("unexpected " + MsgText(M));
}

void Slot::Answer(const ZEBMessage& M)
{
    Fig.Answers++;
    if (Pending_.empty())
        return Violation("answer " + MsgText(M) + " to no command");
    Command& C = *Pending_.front();
    bool Ok = M.Msg == ZEB_RSP_OK;
    if (M.wParam != C.Code || (Ok && M.lParam))
        return Violation("answer " + MsgText(M) + " to \"" + C.Text + "\"");
    C.Answer += (C.Answered ? ", " : " -> ") + (Ok ? std::string("OK") : "ERR " + std::to_string(M.lParam));
    std::string Bad = Judge(C, Ok, M.lParam);
    if (Wait_.Msg && Wait_.After.empty())
        Wait_.After = C.Text;
    if (!Bad.empty())
        return Violation("\"" + C.Text + "\"" + C.Answer + ": " + Bad);
    if (++C.Answered == AnswerCount(C.Code)) {
        Pending_.pop_front();
        HeadSince_ = Clock::now();
    }
}

void Slot::Expect(uint32_t Msg, uint32_t Lo, uint32_t Hi)
{
    Wait_ = {Msg, Lo, Hi, ""};
    WaitSince_ = Clock::now();
}

// Checks one answer against the documented ones for the player's state at
// the time it handled the command, and moves that state on.
std::string Slot::Judge(Command& C, bool Ok, uint32_t Err)
{
    const bool DS = Out_ == Output::DSound; // the only output here whose commands can fail
    const bool MayFail = Ok || (DS && Err == ZEB_ERR_GENERAL);
    const char* Only13 = "only a failing output step may refuse it, with 13";
    switch (C.Code) {
    case ZEB_CMD_INPUT_OPEN:
        return JudgeOpen(C, Ok, Err);
    case ZEB_CMD_STOP:
        if (Ok && InputOpen_)
            Expect(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED, ZEB_PLAYER_STATE_STOPPED);
        State_ = State::Stopped;
        return MayFail ? "" : Only13;
    case ZEB_CMD_PAUSE:
        if (Ok)
            Expect(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED, ZEB_PLAYER_STATE_PAUSED);
        return MayFail ? "" : Only13;
    case ZEB_CMD_PLAY:
        if (Ok && InputOpen_)
            Expect(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, ZEB_PLAYER_STATE_PLAYING);
        return Ok || (MayFail && InputOpen_ && State_ == State::Paused) ? "" : Only13;
    case ZEB_CMD_SEEK: {
        bool Refuse = C.B == 0 || C.A > C.B || State_ == State::Playing;
        if (Ok && InputOpen_)
            State_ = State::Stopped;
        if (Ok == Refuse)
            return Refuse ? "accepted, but the range is invalid or it plays" : "refused a valid seek while not playing";
        return Ok || Err == ZEB_ERR_INVALID_PARAMS ? "" : "refused with another error than 6";
    }
    case ZEB_CMD_DSOUND_OUTPUT_OPEN:
        InputOpen_ = false;
        Out_ = Ok ? Output::DSound : Output::None;
        if (Ok && C.A >= DeviceCount)
            return "accepted a device index out of range";
        return Ok || Err == ZEB_ERR_OUTPUT_OPEN ? "" : "refused with another error than 2";
    case ZEB_CMD_OUTPUT_OPEN:
        InputOpen_ = false;
        Out_ = !Ok ? Output::ModuleFailed : C.NoCmd ? Output::ModuleNoCmd : Output::Module;
        return Ok != C.Fail && (Ok || Err == ZEB_ERR_OUTPUT_OPEN) ? "" : "only a failing create answers, with 2";
    case ZEB_CMD_SET_OUTPUT_VOLUME:
    case ZEB_CMD_SET_OUTPUT_FREQUENCY:
        if (C.Answered == 0)
            return Ok ? "" : "the first answer must be OK";
        return MayFail ? "" : Only13;
    case ZEB_CMD_ADD_OUTPUT_FILTER:
        ++Filters_;
        if (C.Null)
            return Ok || Err == ZEB_ERR_FILTER_ADD ? "" : "refused with another error than 4";
        return Ok != C.Fail && (Ok || Err == ZEB_ERR_FILTER_ADD) ? "" : "only a failing create answers, with 4";
    case ZEB_CMD_PRELOAD_BUFFERS:
        if (Ok)
            Expect(ZEB_NTF_PRELOAD, InputOpen_ ? 0 : 2, InputOpen_ ? 1 : 2);
        return Ok == DS && (Ok || Err == ZEB_ERR_NOT_DSOUND) ? "" : "answers 3 exactly when the output is not DSOUND";
    case ZEB_CMD_OUTPUT_RESET:
        return MayFail ? "" : Only13;
    case ZEB_CMD_SET_DURATION:
        return Ok == InputOpen_ && (Ok || Err == ZEB_ERR_INPUT_NOT_OPEN) ? "" : "answers 7 exactly without an input";
    case ZEB_CMD_INPUT_CLOSE:
        InputOpen_ = false;
        break;
    case ZEB_CMD_OUTPUT_CLOSE:
        InputOpen_ = false;
        Out_ = Output::None;
        break;
    case ZEB_CMD_PING:
        if (Ok)
            Expect(ZEB_NTF_PONG);
        break;
    case ZEB_CMD_GET_MAIN_VOLUME:
        if (Out_ == Output::Module)
            Expect(ZEB_NTF_MAIN_VOLUME, ModuleVolume, ModuleVolume);
        else if (Out_ == Output::None || Out_ == Output::ModuleNoCmd)
            Expect(ZEB_NTF_MAIN_VOLUME, 100, 100);
        else
            Expect(ZEB_NTF_MAIN_VOLUME, 0, 100);
        break;
    }
    return Ok ? "" : "this command is always answered OK";
}

std::string Slot::JudgeOpen(const Command& C, bool Ok, uint32_t Err)
{
    (Ok ? Fig.OpenOk : Fig.OpenRefused)++;
    InputOpen_ = Ok || Err == ZEB_ERR_OUTPUT_OPEN; // error 2 leaves the input open
    if (InputOpen_)
        State_ = State::Stopped;
    if (Ok && C.F->ExactLength)
        Expect(ZEB_NTF_INPUT_OPENED, C.F->Seconds ? C.F->Seconds - 1 : 0, C.F->Seconds + 1);
    else if (Ok)
        Expect(ZEB_NTF_INPUT_OPENED);
    if (!Ok && Err != ZEB_ERR_INPUT_OPEN && Err != ZEB_ERR_OUTPUT_OPEN)
        return "refused with another error than 1 or 2";
    if (Ok && (C.F->K == Kind::Refused || C.F->K == Kind::Missing))
        return "accepted a file that must be refused";
    if (!Ok && C.F->K == Kind::Good)
        return "refused a good file (its output never refuses a stream)";
    return "";
}

// ---- Reports ----

void Slot::Note(const std::string& Text)
{
    if (!History_.empty())
        History_.back()->Answer += " | " + Text;
}

void Slot::Report(const char* Kind, const std::string& What)
{
    std::lock_guard<std::mutex> G(PrintLock);
    printf("\n%s: player %d (instance %d): %s\n", Kind, Index_, Instance_, What.c_str());
    printf("  seed %llu (replay: zebsoak --seed %llu --players %d --seconds %d)\n",
           (unsigned long long)Opt.Seed, (unsigned long long)Opt.Seed, Opt.Players, Opt.Seconds);
    printf("  input %s, state %s, output %s, %zu commands in flight\n", InputOpen_ ? "open" : "closed",
           StateNames[int(State_)], OutputNames[int(Out_)], Pending_.size());
    printf("  last %zu commands, oldest first:\n", History_.size());
    for (const auto& C : History_)
        printf("    %s%s%s\n", C->Text.c_str(), C->Answer.c_str(),
               C->Answered < AnswerCount(C->Code) ? "   <- not answered" : "");
    fflush(stdout);
}

void Slot::Violation(const std::string& What)
{
    if (!Dead_)
        Report("FAILURE", What);
    Dead_ = true;
    Failed = true;
}

// A hung player cannot be destroyed: report, take every thread's stack, end.
void Slot::Hang(const std::string& What)
{
    static std::mutex Once;
    Once.lock();
    Report("HANG", What);
    DumpStacks();
    printf("FAIL: player %d hangs (seed %llu)\n", Index_, (unsigned long long)Opt.Seed);
    fflush(stdout);
    std::_Exit(1);
}

// ---- Main ----

bool ParseOptions(int argc, char** argv)
{
    bool SeedGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string A = argv[i];
        const char* V = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!V)
            return false;
        ++i;
        if (A == "--players")
            Opt.Players = std::max(1, atoi(V));
        else if (A == "--seconds")
            Opt.Seconds = std::max(0, atoi(V));
        else if (A == "--seed")
            Opt.Seed = strtoull(V, nullptr, 0), SeedGiven = true;
        else if (A == "--corpus")
            Opt.Corpus = V;
        else if (A == "--fixtures")
            Opt.Fixtures = V;
        else if (A == "--hang-seconds")
            Opt.HangSeconds = std::max(1, atoi(V));
        else
            return false;
    }
    if (!SeedGiven)
        Opt.Seed = std::random_device()() ^ (uint64_t(std::random_device()()) << 32);
    return true;
}

void ListDevices()
{
    char** List = ZEBAudioEnumerateDevices(&DeviceCount);
    printf("output devices: %u\n", DeviceCount);
    for (unsigned i = 0; i < DeviceCount; ++i)
        printf("  %u: %s\n", i, List[i]);
    ZEBAudioFreeDeviceEnums(List);
    if (!DeviceCount)
        puts("note: no output device, every DSOUND \"Output Open\" must answer 2");
}

} // namespace

int main(int argc, char** argv)
{
    if (!ParseOptions(argc, argv)) {
        fprintf(stderr, "usage: zebsoak [--players N] [--seconds S] [--seed X] [--corpus DIR] "
                        "[--fixtures DIR] [--hang-seconds S]\n");
        return 2;
    }
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY); // lets gdb take the stacks of a hang
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("zebsoak: %d players, %d s, seed %llu\n", Opt.Players, Opt.Seconds, (unsigned long long)Opt.Seed);
    CollectFiles();
    printf("files: %zu good fixtures, %zu to refuse, %zu corpus, %zu missing\n", Files[0].size(), Files[1].size(),
           Files[2].size(), Files[3].size());
    ListDevices();

    auto T0 = Clock::now();
    auto End = T0 + std::chrono::seconds(Opt.Seconds);
    std::vector<std::unique_ptr<Slot>> Slots;
    std::vector<std::thread> Threads;
    for (int i = 0; i < Opt.Players; ++i)
        Slots.push_back(std::make_unique<Slot>(i));
    for (auto& S : Slots)
        Threads.emplace_back([&S, End] { S->Run(End); });
    for (bool AllDone = false; !AllDone;) {
        std::this_thread::sleep_for(milliseconds(500));
        AllDone = true;
        for (auto& S : Slots) {
            S->Watch();
            AllDone = AllDone && S->Done;
        }
    }
    for (auto& T : Threads)
        T.join();
    for (ZEBWindow* W : Graveyard)
        ZEBWindowDestroy(W);

    if (Fig.BadBlocks) {
        printf("FAILURE: %llu blocks reached the filter or output with an impossible format\n",
               (unsigned long long)Fig.BadBlocks.load());
        Failed = true;
    }
    printf("\nzebsoak figures after %lld s (seed %llu):\n", (long long)(MsSince(T0) / 1000),
           (unsigned long long)Opt.Seed);
    printf("  commands sent %llu, answers received %llu\n", (unsigned long long)Fig.Sent.load(),
           (unsigned long long)Fig.Answers.load());
    printf("  players %d, created %llu, re-creates %llu\n", Opt.Players, (unsigned long long)Fig.Players.load(),
           (unsigned long long)Fig.Recreates.load());
    printf("  files opened %llu, refused %llu; queries %llu; asynchronous errors %llu\n",
           (unsigned long long)Fig.OpenOk.load(), (unsigned long long)Fig.OpenRefused.load(),
           (unsigned long long)Fig.Queries.load(), (unsigned long long)Fig.AsyncErrors.load());
    for (unsigned Code = 0; Code < 16; ++Code)
        if (Fig.ErrorCodes[Code])
            printf("  ZEB_NTF_ERROR %u: %llu\n", Code, (unsigned long long)Fig.ErrorCodes[Code].load());
    printf("  longest destroy %lld ms, destroys over 6 s: %llu\n", (long long)Fig.MaxDestroyMs.load(),
           (unsigned long long)Fig.SlowDestroys.load());
    puts(Failed ? "FAIL" : "PASS");
    return Failed ? 1 : 0;
}
