// Sound output figures:
//  1. CPU time of one device's mixer with 16 players at mixed sample rates,
//     per second of audio, against ffmpeg mixing the same 16 streams
//     (amix with its automatic resampling) to a null output;
//  2. time from "Play" to the first non-silent sample on a PulseAudio null
//     sink's monitor, against paplay of the same file (needs a server);
//  3. "Ping" round trip while a player plays, against the same while idle.
#include "output/dsound_if.h"
#include "platform/dsdevice_testing.h"

#include "zeb-audio.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t MixRate = 44100;
constexpr int Players = 16;
constexpr uint32_t MixSeconds = 20;
constexpr int SilenceThreshold = 500;

struct PlayerSetup {
    uint32_t Rate;
    uint16_t Channels;
    float Ratio;
};

const PlayerSetup Setups[Players] = {
    {8000, 1, 1.0f},   {11025, 2, 1.0f}, {16000, 1, 1.25f}, {22050, 2, 1.0f}, {24000, 1, 0.9f}, {32000, 2, 1.0f},
    {44100, 2, 1.0f},  {44100, 1, 0.5f}, {48000, 2, 1.0f},  {48000, 1, 1.1f}, {88200, 2, 1.0f}, {96000, 2, 1.0f},
    {12000, 1, 1.0f},  {44100, 2, 2.0f}, {22050, 1, 0.75f}, {64000, 2, 1.0f}};

double Seconds(std::chrono::steady_clock::time_point Since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Since).count();
}

double ThreadCpuSeconds()
{
    struct timespec Ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Ts);
    return Ts.tv_sec + Ts.tv_nsec / 1e9;
}

double ChildrenCpuSeconds()
{
    struct rusage Usage;
    getrusage(RUSAGE_CHILDREN, &Usage);
    return Usage.ru_utime.tv_sec + Usage.ru_utime.tv_usec / 1e6 + Usage.ru_stime.tv_sec +
           Usage.ru_stime.tv_usec / 1e6;
}

std::vector<uint8_t> Tone(uint32_t Frames, uint16_t Channels, uint32_t Rate, double Frequency, double Amplitude)
{
    std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * 2);
    for (uint32_t I = 0; I < Frames; ++I) {
        int16_t S = static_cast<int16_t>(std::lround(Amplitude * std::sin(2.0 * M_PI * Frequency * I / Rate)));
        for (uint16_t C = 0; C < Channels; ++C)
            memcpy(&Out[(static_cast<size_t>(I) * Channels + C) * 2], &S, 2);
    }
    return Out;
}

void Put(std::vector<uint8_t>& Out, uint32_t Value, int Bytes)
{
    for (int I = 0; I < Bytes; ++I)
        Out.push_back(static_cast<uint8_t>(Value >> (8 * I)));
}

void WriteWav(const std::string& Path, uint32_t Rate, uint16_t Channels, const std::vector<uint8_t>& Pcm)
{
    std::vector<uint8_t> File = {'R', 'I', 'F', 'F'};
    Put(File, static_cast<uint32_t>(36 + Pcm.size()), 4);
    File.insert(File.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(File, 16, 4);
    Put(File, 1, 2);
    Put(File, Channels, 2);
    Put(File, Rate, 4);
    Put(File, Rate * Channels * 2, 4);
    Put(File, Channels * 2u, 2);
    Put(File, 16, 2);
    File.insert(File.end(), {'d', 'a', 't', 'a'});
    Put(File, static_cast<uint32_t>(Pcm.size()), 4);
    File.insert(File.end(), Pcm.begin(), Pcm.end());
    FILE* Out = fopen(Path.c_str(), "wb");
    if (!Out)
        return;
    fwrite(File.data(), 1, File.size(), Out);
    fclose(Out);
}

std::string TempPath(const std::string& Name)
{
    return std::string("/tmp/zeb-bench-mixer-") + std::to_string(getpid()) + "-" + Name;
}

// ---- 1. Mixer CPU ----

DSBuffer* StartPlayer(DSDevice* Device, const PlayerSetup& Setup, int Index)
{
    WAVEFORMATEX Format = {WAVE_FORMAT_PCM, Setup.Channels, Setup.Rate, Setup.Rate * Setup.Channels * 2u,
                           static_cast<uint16_t>(Setup.Channels * 2), 16, 0};
    DSBUFFERDESC Desc = {DSBUFFERDESC_SIZE, DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLFREQUENCY, Format.nAvgBytesPerSec, 0,
                         &Format};
    DSBuffer* Buffer = nullptr;
    if (DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr) != DS_OK)
        return nullptr;
    auto Pcm = Tone(Setup.Rate, Setup.Channels, Setup.Rate, 200.0 + 50.0 * Index, 1500.0);
    void *P1, *P2;
    uint32_t L1, L2;
    DSBufferLock(Buffer, 0, Desc.dwBufferBytes, &P1, &L1, &P2, &L2, 0);
    memcpy(P1, Pcm.data(), L1);
    DSBufferUnlock(Buffer, P1, L1, P2, L2);
    DSBufferSetFrequency(Buffer, static_cast<uint32_t>(Setup.Rate * Setup.Ratio));
    DSBufferSetVolume(Buffer, -100 * (Index % 5));
    DSBufferPlay(Buffer, 0, 0, DSBPLAY_LOOPING);
    return Buffer;
}

double MixerCpuPerSecond()
{
    SetVirtualDevicesForTesting(1);
    DSDevice* Device = nullptr;
    if (DirectSoundCreate(DSVirtualId(0), &Device, nullptr) != DS_OK)
        return -1.0;
    std::vector<DSBuffer*> Buffers;
    for (int I = 0; I < Players; ++I)
        Buffers.push_back(StartPlayer(Device, Setups[I], I));
    VirtualDeviceAdvance(Device, MixRate); // warm up
    double Start = ThreadCpuSeconds();
    VirtualDeviceAdvance(Device, MixRate * MixSeconds);
    double Cpu = ThreadCpuSeconds() - Start;
    for (DSBuffer* Buffer : Buffers)
        DSBufferRelease(Buffer);
    DSDeviceRelease(Device);
    SetVirtualDevicesForTesting(0);
    return Cpu / MixSeconds;
}

double FfmpegCpuPerSecond()
{
    std::string Inputs;
    for (int I = 0; I < Players; ++I) {
        std::string Path = TempPath("mix" + std::to_string(I) + ".wav");
        WriteWav(Path, Setups[I].Rate, Setups[I].Channels,
                 Tone(Setups[I].Rate * MixSeconds, Setups[I].Channels, Setups[I].Rate, 200.0 + 50.0 * I, 1500.0));
        Inputs += " -i " + Path;
    }
    std::string Command = "ffmpeg -nostdin -loglevel error" + Inputs + " -filter_complex amix=inputs=" +
                          std::to_string(Players) + " -ar 44100 -ac 2 -f null - >/dev/null 2>&1";
    double Before = ChildrenCpuSeconds();
    int Status = std::system(Command.c_str());
    double Cpu = ChildrenCpuSeconds() - Before;
    for (int I = 0; I < Players; ++I)
        unlink(TempPath("mix" + std::to_string(I) + ".wav").c_str());
    return Status == 0 ? Cpu / MixSeconds : -1.0;
}

// ---- 2. Start latency on a PulseAudio null sink ----

// Records a source with parec and notes when the first loud sample arrives.
class Recorder {
public:
    bool Start(const char* Source)
    {
        int Pipe[2];
        if (pipe(Pipe) != 0)
            return false;
        Pid = fork();
        if (Pid == 0) {
            dup2(Pipe[1], STDOUT_FILENO);
            close(Pipe[0]);
            close(Pipe[1]);
            std::string Device = std::string("--device=") + Source;
            execlp("parec", "parec", Device.c_str(), "--format=s16le", "--rate=44100", "--channels=2", "--raw",
                   "--latency-msec=5", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(Pipe[1]);
        Fd = Pipe[0];
        Reader = std::thread([this] { Read(); });
        for (int Waited = 0; Waited < 5000 && !Flowing; Waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return Flowing;
    }
    // Waits for a quiet stretch on the source (what played before has
    // ended), then starts looking for the first loud sample.
    void Arm()
    {
        auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < Deadline) {
            {
                std::lock_guard<std::mutex> Guard(Lock);
                if (std::chrono::steady_clock::now() - LastLoud > std::chrono::milliseconds(QuietMs))
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Armed = true;
    }
    // Seconds from Since to the first loud sample after Arm, or -1.
    double LoudAfter(std::chrono::steady_clock::time_point Since, double TimeoutSeconds)
    {
        auto Deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(TimeoutSeconds);
        while (!Heard && std::chrono::steady_clock::now() < Deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard<std::mutex> Guard(Lock);
        return Heard ? std::chrono::duration<double>(HeardAt - Since).count() : -1.0;
    }
    void Stop()
    {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
            Pid = -1;
        }
        if (Reader.joinable())
            Reader.join();
        if (Fd >= 0)
            close(Fd);
        Fd = -1;
    }
    ~Recorder() { Stop(); }

private:
    void Read()
    {
        int16_t Block[256];
        for (;;) {
            ssize_t Got = read(Fd, Block, sizeof Block);
            if (Got <= 0)
                return;
            auto Now = std::chrono::steady_clock::now();
            Flowing = true;
            if (!Armed) {
                for (ssize_t I = 0; I < Got / 2; ++I)
                    if (std::abs(Block[I]) > SilenceThreshold) {
                        std::lock_guard<std::mutex> Guard(Lock);
                        LastLoud = Now;
                        break;
                    }
                continue;
            }
            if (Heard)
                continue;
            for (ssize_t I = 0; I < Got / 2; ++I) {
                if (std::abs(Block[I]) > SilenceThreshold) {
                    // The block's samples arrived together: date the loud one.
                    double Later = static_cast<double>(Got / 2 - I) / (2 * MixRate);
                    std::lock_guard<std::mutex> Guard(Lock);
                    HeardAt = Now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(Later));
                    Heard = true;
                    break;
                }
            }
        }
    }
    pid_t Pid = -1;
    int Fd = -1;
    std::thread Reader;
    std::atomic<bool> Flowing{false}, Armed{false}, Heard{false};
    static constexpr int QuietMs = 200;
    std::mutex Lock; // guards HeardAt and LastLoud
    std::chrono::steady_clock::time_point HeardAt;
    std::chrono::steady_clock::time_point LastLoud = std::chrono::steady_clock::now();
};

bool PulseReachable()
{
    return std::system("pactl info >/dev/null 2>&1") == 0 &&
           std::system("pactl list short sinks | awk '{print $2}' | grep -qx zebnull") == 0;
}

bool WaitFor(ZEBWindow* Window, uint32_t Msg, uint32_t WParam, int TimeoutMs)
{
    ZEBMessage Got;
    auto Start = std::chrono::steady_clock::now();
    while (Seconds(Start) * 1000 < TimeoutMs)
        if (ZEBWindowGetMessage(Window, &Got, 100) && Got.Msg == Msg && Got.wParam == WParam)
            return true;
    return false;
}

double ZebStartLatency(const std::string& Wav)
{
    Recorder Monitor;
    if (!Monitor.Start("zebnull.monitor"))
        return -1.0;
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    ZEBAudioOutputOpenDSound(Player, Window, 0);
    ZEBAudioInputOpen(Player, Wav.c_str());
    double Latency = -1.0;
    if (WaitFor(Window, ZEB_NTF_INPUT_OPENED, 0, 5000)) {
        Monitor.Arm();
        auto Sent = std::chrono::steady_clock::now();
        ZEBAudioPlay(Player);
        Latency = Monitor.LoudAfter(Sent, 5.0);
    }
    ZEBAudioStop(Player);
    ZEBAudioPlayerDestroy(Player);
    ZEBWindowDestroy(Window);
    return Latency;
}

double PaplayStartLatency(const std::string& Wav)
{
    Recorder Monitor;
    if (!Monitor.Start("zebnull.monitor"))
        return -1.0;
    Monitor.Arm();
    auto Sent = std::chrono::steady_clock::now();
    pid_t Child = fork();
    if (Child == 0) {
        execlp("paplay", "paplay", "--device=zebnull", Wav.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    double Latency = Monitor.LoudAfter(Sent, 5.0);
    kill(Child, SIGTERM);
    waitpid(Child, nullptr, 0);
    return Latency;
}

// ---- 3. Ping round trip ----

std::vector<double> PingTimes(void* Player, ZEBWindow* Window, int Count)
{
    std::vector<double> Times;
    for (int I = 0; I < Count; ++I) {
        auto Sent = std::chrono::steady_clock::now();
        ZEBAudioPing(Player);
        if (!WaitFor(Window, ZEB_NTF_PONG, 0, 5000))
            break;
        Times.push_back(Seconds(Sent) * 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(Times.begin(), Times.end());
    return Times;
}

void PrintPings(const char* What, const std::vector<double>& Times)
{
    if (Times.empty()) {
        printf("  %-24s no answers\n", What);
        return;
    }
    printf("  %-24s median %.2f ms, max %.2f ms (%zu pings)\n", What, Times[Times.size() / 2], Times.back(),
           Times.size());
}

void PingFigures(const std::string& Wav, bool UsePulse)
{
    if (!UsePulse)
        SetVirtualDevicesForTesting(1);
    // A null sink only settles on a low latency while it is recorded.
    Recorder Monitor;
    if (UsePulse)
        Monitor.Start("zebnull.monitor");
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    ZEBAudioOutputOpenDSound(Player, Window, 0);
    WaitFor(Window, ZEB_RSP_OK, ZEB_CMD_DSOUND_OUTPUT_OPEN, 5000);
    DSDevice* Device = UsePulse ? nullptr : VirtualDeviceForTesting(0);
    if (Device)
        VirtualDeviceRunClock(Device, 1.0);
    auto Idle = PingTimes(Player, Window, 20);
    ZEBAudioInputOpen(Player, Wav.c_str());
    WaitFor(Window, ZEB_NTF_INPUT_OPENED, 0, 5000);
    ZEBAudioPlay(Player);
    WaitFor(Window, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto Playing = PingTimes(Player, Window, 40);
    printf("3. \"Ping\" round trip on %s:\n", UsePulse ? "PulseAudio" : "a virtual device at real-time speed");
    PrintPings("idle (peer):", Idle);
    PrintPings("while playing:", Playing);
    if (!Idle.empty() && !Playing.empty())
        printf("  ratio playing/idle (median): %.1f\n", Playing[Playing.size() / 2] / Idle[Idle.size() / 2]);
    ZEBAudioStop(Player);
    ZEBAudioPlayerDestroy(Player);
    ZEBWindowDestroy(Window);
    if (Device)
        VirtualDeviceRunClock(Device, 0);
    SetVirtualDevicesForTesting(0);
}

} // namespace

int main()
{
    double Ours = MixerCpuPerSecond();
    double Peer = FfmpegCpuPerSecond();
    printf("1. Mixer, %d players at mixed rates on one device:\n", Players);
    printf("  zeb-audio mixer: %.2f ms CPU per second of audio (%.2f %% of a core)\n", Ours * 1000, Ours * 100);
    if (Peer > 0) {
        printf("  ffmpeg amix (peer): %.2f ms CPU per second of audio\n", Peer * 1000);
        printf("  ratio zeb/ffmpeg: %.2f\n", Ours / Peer);
    } else {
        printf("  ffmpeg amix (peer): not available\n");
    }

    std::string Wav = TempPath("tone.wav");
    WriteWav(Wav, MixRate, 2, Tone(MixRate * 3, 2, MixRate, 440.0, 8000.0));
    bool Pulse = PulseReachable();
    if (Pulse) {
        std::vector<double> Zeb, Pa;
        for (int I = 0; I < 5; ++I) {
            Zeb.push_back(ZebStartLatency(Wav));
            Pa.push_back(PaplayStartLatency(Wav));
        }
        std::sort(Zeb.begin(), Zeb.end());
        std::sort(Pa.begin(), Pa.end());
        printf("2. \"Play\" to first non-silent sample on the null sink's monitor (median of 5):\n");
        printf("  zeb-audio: %.1f ms\n", Zeb[2] * 1000);
        printf("  paplay, process start included (peer): %.1f ms\n", Pa[2] * 1000);
        if (Zeb[2] > 0 && Pa[2] > 0)
            printf("  ratio zeb/paplay: %.2f\n", Zeb[2] / Pa[2]);
    } else {
        printf("2. Start latency: no PulseAudio server with sink zebnull (scripts/start-sound-server.sh)\n");
    }
    PingFigures(Wav, Pulse);
    unlink(Wav.c_str());
    return 0;
}
