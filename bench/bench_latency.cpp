// Latency on a PulseAudio null sink (scripts/start-sound-server.sh):
//  1. start: "Play" to the first non-silent sample on the sink's monitor,
//     against paplay of the same file measured the same way, from the
//     moment it is started (its process start, connection and stream set-up
//     included: that is how paplay starts a sound);
//  2. command: "Ping" answered while 16 players play WAVE files, then Ogg
//     Vorbis files, against the same players answering while idle;
// with the times the output stream ran dry during each.
#include "bench_common.h"
#include "bench_monitor.h"
#include "platform/dsdevice_testing.h"

#include "zeb-audio.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using zebbench::Clock;

constexpr int StartRounds = 11;
constexpr int Players = 16;
constexpr int PingRounds = 10; // pings per player
constexpr uint32_t ToneRate = 44100;
constexpr uint32_t StartToneSeconds = 3;
constexpr uint32_t FleetToneSeconds = 90;
constexpr int ReplyTimeoutMs = 5000;

std::string TempPath(const std::string& Name)
{
    return std::string("/tmp/zeb-bench-latency-") + std::to_string(getpid()) + "-" + Name;
}

void PrintSpread(const char* What, const zebbench::Spread& S)
{
    if (S.Count == 0) {
        printf("  %-34s no figures\n", What);
        return;
    }
    printf("  %-34s median %7.2f ms, p99 %7.2f ms, max %7.2f ms (%zu)\n", What, S.Median, S.P99, S.Max, S.Count);
}

// ---- 1. Start latency ----

// One player kept open on the default output, as a host keeps it: each
// round opens the file, waits for the quiet, sends "Play" and stops.
std::vector<double> ZebStarts(const std::string& Wav, zebbench::Recorder& Monitor)
{
    std::vector<double> Starts;
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    ZEBAudioOutputOpenDSound(Player, Window, 0);
    if (!zebbench::WaitForMessage(Window, ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, ReplyTimeoutMs))
        fprintf(stderr, "the output did not open\n");
    for (int Round = 0; Round < StartRounds; ++Round) {
        ZEBAudioInputOpen(Player, Wav.c_str());
        if (!zebbench::WaitForMessage(Window, ZEB_NTF_INPUT_OPENED, 0, ReplyTimeoutMs))
            break;
        Monitor.Arm();
        auto Sent = Clock::now();
        ZEBAudioPlay(Player);
        double Ms = Monitor.LoudAfterMs(Sent, 5.0);
        if (Ms >= 0)
            Starts.push_back(Ms);
        ZEBAudioStop(Player);
        zebbench::WaitForMessage(Window, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED, ReplyTimeoutMs);
    }
    ZEBAudioPlayerDestroy(Player);
    ZEBWindowDestroy(Window);
    return Starts;
}

std::vector<double> PaplayStarts(const std::string& Wav, zebbench::Recorder& Monitor)
{
    std::vector<double> Starts;
    for (int Round = 0; Round < StartRounds; ++Round) {
        Monitor.Arm();
        auto Sent = Clock::now();
        pid_t Child = fork();
        if (Child == 0) {
            execlp("paplay", "paplay", "--device=zebnull", Wav.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        double Ms = Monitor.LoudAfterMs(Sent, 5.0);
        if (Ms >= 0)
            Starts.push_back(Ms);
        kill(Child, SIGTERM);
        waitpid(Child, nullptr, 0);
    }
    return Starts;
}

void StartFigures()
{
    std::string Wav = TempPath("start.wav");
    zebbench::WriteWav(Wav, ToneRate, 2, zebbench::Tone(ToneRate * StartToneSeconds, 2, ToneRate, 440.0, 8000.0));
    zebbench::Recorder Monitor;
    if (!Monitor.Start(zebbench::NullMonitor)) {
        printf("1. Start latency: the monitor could not be recorded\n");
        unlink(Wav.c_str());
        return;
    }
    uint64_t Before = DSUnderrunsForTesting();
    auto Zeb = zebbench::SpreadOf(ZebStarts(Wav, Monitor));
    uint64_t Underruns = DSUnderrunsForTesting() - Before;
    auto Peer = zebbench::SpreadOf(PaplayStarts(Wav, Monitor));
    printf("1. Start: the first non-silent sample on the null sink's monitor after the start (%d rounds):\n",
           StartRounds);
    PrintSpread("zeb-audio, from \"Play\":", Zeb);
    PrintSpread("paplay (peer), from its start:", Peer);
    if (Zeb.Count && Peer.Count)
        printf("  ratio zeb/paplay (median): %.2f\n", Zeb.Median / Peer.Median);
    printf("  underruns: %llu\n", static_cast<unsigned long long>(Underruns));
    unlink(Wav.c_str());
}

// ---- 2. Command latency ----

struct Fleet {
    std::vector<ZEBWindow*> Windows;
    std::vector<void*> Players;
};

bool OpenFleet(Fleet* F)
{
    for (int I = 0; I < Players; ++I) {
        F->Windows.push_back(ZEBWindowCreate());
        F->Players.push_back(ZEBAudioPlayerCreate(F->Windows.back()));
        ZEBAudioOutputOpenDSound(F->Players.back(), F->Windows.back(), 0);
        if (!zebbench::WaitForMessage(F->Windows.back(), ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, ReplyTimeoutMs))
            return false;
    }
    return true;
}

void CloseFleet(Fleet* F)
{
    for (void* Player : F->Players)
        ZEBAudioPlayerDestroy(Player);
    for (ZEBWindow* Window : F->Windows)
        ZEBWindowDestroy(Window);
    F->Players.clear();
    F->Windows.clear();
}

bool PlayFleet(Fleet* F, const std::string& Path)
{
    for (int I = 0; I < Players; ++I) {
        ZEBAudioInputOpen(F->Players[I], Path.c_str());
        if (!zebbench::WaitForMessage(F->Windows[I], ZEB_NTF_INPUT_OPENED, 0, ReplyTimeoutMs))
            return false;
        ZEBAudioPlay(F->Players[I]);
    }
    for (int I = 0; I < Players; ++I)
        if (!zebbench::WaitForMessage(F->Windows[I], ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, ReplyTimeoutMs))
            return false;
    return true;
}

void StopFleet(Fleet* F)
{
    for (int I = 0; I < Players; ++I) {
        ZEBAudioStop(F->Players[I]);
        zebbench::WaitForMessage(F->Windows[I], ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED, ReplyTimeoutMs);
    }
}

// Pings every player in turn, Rounds times, at random moments so that the
// pings do not fall into step with the players' writes.
std::vector<double> PingFleet(Fleet* F, int Rounds)
{
    std::vector<double> Times;
    std::mt19937 Random(12345);
    std::uniform_int_distribution<int> Pause(0, 20);
    for (int Round = 0; Round < Rounds; ++Round) {
        for (int I = 0; I < Players; ++I) {
            std::this_thread::sleep_for(std::chrono::milliseconds(Pause(Random)));
            auto Sent = Clock::now();
            ZEBAudioPing(F->Players[I]);
            if (!zebbench::WaitForMessage(F->Windows[I], ZEB_NTF_PONG, 0, ReplyTimeoutMs))
                return Times;
            Times.push_back(zebbench::MsBetween(Sent, Clock::now()));
        }
    }
    return Times;
}

void CommandFigures(const char* Format, const std::string& Path)
{
    Fleet F;
    if (!OpenFleet(&F)) {
        printf("2. %s: the outputs did not open\n", Format);
        CloseFleet(&F);
        return;
    }
    auto Idle = zebbench::SpreadOf(PingFleet(&F, 2));
    if (!PlayFleet(&F, Path)) {
        printf("2. %s: the players did not start\n", Format);
        CloseFleet(&F);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    uint64_t Before = DSUnderrunsForTesting();
    auto Began = Clock::now();
    auto Busy = zebbench::SpreadOf(PingFleet(&F, PingRounds));
    double PlayedSeconds = zebbench::MsBetween(Began, Clock::now()) / 1000;
    uint64_t Underruns = DSUnderrunsForTesting() - Before;
    StopFleet(&F);
    CloseFleet(&F);
    printf("2. \"Ping\" answered, %d players on the null sink, %s files:\n", Players, Format);
    PrintSpread("while playing:", Busy);
    PrintSpread("idle (peer):", Idle);
    if (Busy.Count && Idle.Count)
        printf("  ratio playing/idle (median): %.1f\n", Busy.Median / Idle.Median);
    printf("  underruns while pinged: %llu in %.1f s\n", static_cast<unsigned long long>(Underruns), PlayedSeconds);
}

} // namespace

// With an argument "start" or "command", only that part runs.
int main(int Argc, char** Argv)
{
    std::string Only = Argc > 1 ? Argv[1] : "";
    printf("load average %.2f\n", zebbench::LoadAverage());
    if (!zebbench::PulseReachable()) {
        printf("no PulseAudio server with sink zebnull (scripts/start-sound-server.sh)\n");
        return 0;
    }
    std::system("pactl set-default-sink zebnull");
    if (Only != "command")
        StartFigures();
    if (Only == "start")
        return 0;

    std::string Wav = TempPath("fleet.wav");
    std::string Ogg = TempPath("fleet.ogg");
    zebbench::WriteWav(Wav, ToneRate, 2, zebbench::Tone(ToneRate * FleetToneSeconds, 2, ToneRate, 330.0, 6000.0));
    // A recorded monitor keeps the sink at the low latency a listener has.
    zebbench::Recorder Monitor;
    Monitor.Start(zebbench::NullMonitor);
    CommandFigures("WAVE", Wav);
    if (std::system(("oggenc -Q -q 3 -o " + Ogg + " " + Wav).c_str()) == 0)
        CommandFigures("Ogg Vorbis", Ogg);
    else
        printf("2. Ogg Vorbis: oggenc is not available\n");
    unlink(Wav.c_str());
    unlink(Ogg.c_str());
    return 0;
}
