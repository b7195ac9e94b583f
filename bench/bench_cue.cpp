// Cue figures on generated files (made once by ffmpeg beside this program):
//  1. "Input Open" + "Seek" to 5 %, 50 % and 95 % + "Play" until the first
//     PCM reaches a host output module, on 60-minute files, against the
//     ffmpeg program decoding 0.1 s from the same position (`-ss T -i FILE
//     -t 0.1 -f null -`, process start included);
//  2. resident memory added by each playing player: 17 players against 1,
//     each playing its own 10-minute file on the sound output (PulseAudio
//     when it is there, else a virtual device at real-time speed), each
//     format in a process of its own: memory another format's players
//     freed would otherwise make the next format look cheaper.
// Arguments, optional: the formats to measure (wma m4a mp3 flac ogg wav);
// "--memory FORMAT" gives the second figure of one format only.
#include "bench_common.h"
#include "platform/dsdevice_testing.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int CueRounds = 5;
constexpr uint32_t PositionRange = 1000;
constexpr int MemoryPlayers = 17;
constexpr int SettleMs = 3000;

struct Format {
    const char* Name;
    const char* Encode; // ffmpeg output options
};

const Format Formats[] = {
    {"wma", "-c:a wmav2 -b:a 128k -f asf"}, {"m4a", "-c:a aac -b:a 128k -f mp4"},
    {"mp3", "-c:a libmp3lame -b:a 128k -f mp3"}, {"flac", "-c:a flac -f flac"},
    {"ogg", "-c:a libvorbis -q:a 4 -f ogg"},     {"wav", "-c:a pcm_s16le -f wav"},
};

std::string FixtureDir()
{
    char Self[4096];
    ssize_t N = readlink("/proc/self/exe", Self, sizeof Self - 1);
    std::string Dir = N > 0 ? std::string(Self, static_cast<size_t>(N)) : std::string("./x");
    Dir = Dir.substr(0, Dir.find_last_of('/')) + "/cue-fixtures";
    std::system(("mkdir -p " + Dir).c_str());
    return Dir;
}

// A stereo 44.1 kHz tone of Minutes in the format, made once; "" on failure.
std::string Fixture(const Format& F, int Minutes)
{
    std::string Path = FixtureDir() + "/cue-" + std::to_string(Minutes) + "min." + F.Name;
    if (access(Path.c_str(), R_OK) == 0)
        return Path;
    std::string Own = Path + ".part" + std::to_string(getpid());
    std::string Command = "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=" +
                          std::to_string(Minutes * 60) + " -ac 2 " + F.Encode + " " + Own + " && mv " + Own +
                          " " + Path;
    fprintf(stderr, "making %s\n", Path.c_str());
    return std::system(Command.c_str()) == 0 ? Path : std::string();
}

// ---- 1. Cue latency ----

struct FirstWrite {
    std::atomic<bool> Seen{false};
    Clock::time_point At;
};

int FirstCreate(void** Inst, void* Params)
{
    *Inst = Params;
    return 1;
}
void FirstWriteSeen(void* Inst, void*, uint32_t Size, uint16_t, uint16_t, uint32_t)
{
    auto* W = static_cast<FirstWrite*>(Inst);
    if (Size > 0 && !W->Seen.load()) {
        W->At = Clock::now();
        W->Seen.store(true);
    }
}
void FirstRegister(OutputModule* M)
{
    M->OutputCreate = FirstCreate;
    M->OutputWrite = FirstWriteSeen;
}

bool WaitFor(ZEBWindow* Window, uint32_t Msg, uint32_t WParam, int TimeoutMs)
{
    ZEBMessage Got;
    auto Start = Clock::now();
    while (zebbench::Seconds(Start) * 1000 < TimeoutMs)
        if (ZEBWindowGetMessage(Window, &Got, 50) && Got.Msg == Msg && Got.wParam == WParam)
            return true;
    return false;
}

// Seconds from "Input Open" to the first PCM at the output, or -1.
double CueOnce(const std::string& Path, uint32_t Posn)
{
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    // Its own record each time, kept to the end: nothing a player writes
    // late can mark a later round.
    static std::vector<std::unique_ptr<FirstWrite>> Records;
    Records.push_back(std::make_unique<FirstWrite>());
    FirstWrite& Write = *Records.back();
    ZEBAudioOutputOpenModule(Player, "FIRST", FirstRegister, &Write);
    ZEBAudioPing(Player);
    WaitFor(Window, ZEB_NTF_PONG, 0, 5000);
    auto Start = Clock::now();
    ZEBAudioInputOpen(Player, Path.c_str());
    ZEBAudioSeek(Player, Posn, PositionRange);
    ZEBAudioPlay(Player);
    while (!Write.Seen.load() && zebbench::Seconds(Start) < 20)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    double Took = Write.Seen.load() ? std::chrono::duration<double>(Write.At - Start).count() : -1.0;
    // Stopped and closed before it goes, so that no player decodes on
    // beside the next round.
    ZEBAudioStop(Player);
    ZEBAudioInputClose(Player);
    ZEBAudioPing(Player);
    WaitFor(Window, ZEB_NTF_PONG, 0, 5000);
    ZEBAudioPlayerDestroy(Player);
    ZEBMessage M;
    while (ZEBWindowGetMessage(Window, &M, 50)) {
    }
    ZEBWindowDestroy(Window);
    return Took;
}

double Median(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return V.empty() ? -1.0 : V[V.size() / 2];
}

void CueFigures(const Format& F)
{
    std::string Path = Fixture(F, 60);
    if (Path.empty()) {
        printf("  %-5s no fixture (ffmpeg could not make it)\n", F.Name);
        return;
    }
    for (uint32_t Percent : {0u, 5u, 50u, 95u}) {
        uint32_t Posn = Percent * PositionRange / 100;
        char Peer[4096];
        snprintf(Peer, sizeof Peer, "ffmpeg -nostdin -v error -ss %u -i %s -t 0.1 -f null - >/dev/null 2>&1",
                 36 * Percent, Path.c_str());
        std::vector<double> Ours, Theirs;
        for (int Round = 0; Round < CueRounds; ++Round) {
            Ours.push_back(CueOnce(Path, Posn));
            Theirs.push_back(zebbench::TimeCommand(Peer));
        }
        double Mine = Median(Ours), Other = Median(Theirs);
        printf("  %-5s %3u %%: zeb-audio %7.2f ms (max %7.2f), ffmpeg -ss (peer) %7.2f ms, ratio %.3f\n", F.Name,
               Percent, Mine * 1000, *std::max_element(Ours.begin(), Ours.end()) * 1000, Other * 1000,
               Other > 0 ? Mine / Other : 0.0);
    }
}

// ---- 2. Memory per playing player ----

long ResidentKiB()
{
    FILE* F = fopen("/proc/self/statm", "r");
    long Pages = 0, Resident = 0;
    if (F) {
        if (fscanf(F, "%ld %ld", &Pages, &Resident) != 2)
            Resident = 0;
        fclose(F);
    }
    return Resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Playing {
    ZEBWindow* Window;
    void* Player;
};

Playing StartPlaying(const std::string& Path)
{
    Playing P{ZEBWindowCreate(), nullptr};
    P.Player = ZEBAudioPlayerCreate(P.Window);
    ZEBAudioOutputOpenDSound(P.Player, P.Window, 0);
    ZEBAudioInputOpen(P.Player, Path.c_str());
    ZEBAudioPlay(P.Player);
    if (!WaitFor(P.Window, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 10000))
        fprintf(stderr, "a player did not start on %s\n", Path.c_str());
    return P;
}

void StopPlaying(Playing& P)
{
    ZEBAudioPlayerDestroy(P.Player);
    ZEBMessage M;
    while (ZEBWindowGetMessage(P.Window, &M, 20)) {
    }
    ZEBWindowDestroy(P.Window);
}

// Resident KiB with Count players playing copies of Path, after settling.
long ResidentWhilePlaying(const std::string& Path, int Count)
{
    std::vector<Playing> Players;
    for (int I = 0; I < Count; ++I)
        Players.push_back(StartPlaying(Path));
    std::this_thread::sleep_for(std::chrono::milliseconds(SettleMs));
    long Kib = ResidentKiB();
    for (Playing& P : Players)
        StopPlaying(P);
    return Kib;
}

void MemoryFigures(const Format& F)
{
    std::string Path = Fixture(F, 10);
    if (Path.empty()) {
        printf("  %-5s no fixture\n", F.Name);
        return;
    }
    ResidentWhilePlaying(Path, 1); // libraries and modules loaded once
    long One = ResidentWhilePlaying(Path, 1);
    long Many = ResidentWhilePlaying(Path, MemoryPlayers);
    printf("  %-5s 1 player %ld KiB, %d players %ld KiB: %.2f MB per added player\n", F.Name, One, MemoryPlayers,
           Many, (Many - One) / 1024.0 / (MemoryPlayers - 1));
}

bool PulseReachable() { return std::system("pactl info >/dev/null 2>&1") == 0; }

// The memory figure of the format named Name in this process.
int MemoryOnly(const char* Name)
{
    const Format* F = nullptr;
    for (const Format& Each : Formats)
        if (strcmp(Each.Name, Name) == 0)
            F = &Each;
    if (!F)
        return 1;
    DSDevice* Device = nullptr;
    if (!PulseReachable()) {
        SetVirtualDevicesForTesting(1);
        Device = VirtualDeviceForTesting(0);
        VirtualDeviceRunClock(Device, 1.0);
    }
    MemoryFigures(*F);
    if (Device)
        VirtualDeviceRunClock(Device, 0);
    return 0;
}

// Runs this program for the memory figure of one format.
void MemoryInOwnProcess(const Format& F)
{
    char Self[4096];
    ssize_t N = readlink("/proc/self/exe", Self, sizeof Self - 1);
    if (N <= 0) {
        printf("  %-5s cannot start a process of its own\n", F.Name);
        return;
    }
    fflush(stdout);
    std::string Command = "'" + std::string(Self, static_cast<size_t>(N)) + "' --memory " + F.Name;
    if (std::system(Command.c_str()) != 0)
        printf("  %-5s the process for its figure failed\n", F.Name);
}

bool Wanted(int Argc, char** Argv, const char* Name)
{
    if (Argc < 2)
        return true;
    for (int I = 1; I < Argc; ++I)
        if (strcmp(Argv[I], Name) == 0)
            return true;
    return false;
}

} // namespace

int main(int Argc, char** Argv)
{
    if (Argc == 3 && strcmp(Argv[1], "--memory") == 0)
        return MemoryOnly(Argv[2]);
    printf("1. Open + seek + first PCM at a host output, 60-minute files (median of %d):\n", CueRounds);
    for (const Format& F : Formats)
        if (Wanted(Argc, Argv, F.Name))
            CueFigures(F);

    printf("2. Resident memory per playing player, %d against 1, 10-minute files, %s, a process per format:\n",
           MemoryPlayers, PulseReachable() ? "PulseAudio" : "a virtual device at real-time speed");
    for (const Format& F : Formats)
        if (Wanted(Argc, Argv, F.Name))
            MemoryInOwnProcess(F);
    return 0;
}
