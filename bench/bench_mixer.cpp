// Sound output figures:
//  1. CPU time of one device's mixer with 16 players at mixed sample rates,
//     per second of audio, against ffmpeg mixing the same 16 streams
//     (amix with its automatic resampling) to a null output;
//  2. the same 16 players on a PulseAudio null sink in real time: the
//     mixer's CPU there and the times the stream ran dry (needs a server).
// Start and command latency on the server are bench_latency's.
#include "bench_common.h"
#include "bench_monitor.h"
#include "output/dsound_if.h"
#include "platform/dsdevice_testing.h"

#include "zeb-audio.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t MixRate = 44100;
constexpr int Players = 16;
constexpr uint32_t MixSeconds = 20;
constexpr uint32_t RealTimeSeconds = 10;

struct PlayerSetup {
    uint32_t Rate;
    uint16_t Channels;
    float Ratio;
};

const PlayerSetup Setups[Players] = {
    {8000, 1, 1.0f},   {11025, 2, 1.0f}, {16000, 1, 1.25f}, {22050, 2, 1.0f}, {24000, 1, 0.9f}, {32000, 2, 1.0f},
    {44100, 2, 1.0f},  {44100, 1, 0.5f}, {48000, 2, 1.0f},  {48000, 1, 1.1f}, {88200, 2, 1.0f}, {96000, 2, 1.0f},
    {12000, 1, 1.0f},  {44100, 2, 2.0f}, {22050, 1, 0.75f}, {64000, 2, 1.0f}};

double ThreadCpuSeconds()
{
    struct timespec Ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Ts);
    return Ts.tv_sec + Ts.tv_nsec / 1e9;
}

double ProcessCpuSeconds()
{
    struct timespec Ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &Ts);
    return Ts.tv_sec + Ts.tv_nsec / 1e9;
}

double ChildrenCpuSeconds()
{
    struct rusage Usage;
    getrusage(RUSAGE_CHILDREN, &Usage);
    return Usage.ru_utime.tv_sec + Usage.ru_utime.tv_usec / 1e6 + Usage.ru_stime.tv_sec +
           Usage.ru_stime.tv_usec / 1e6;
}

std::string TempPath(const std::string& Name)
{
    return std::string("/tmp/zeb-bench-mixer-") + std::to_string(getpid()) + "-" + Name;
}

// ---- Mixer CPU ----

DSBuffer* StartPlayer(DSDevice* Device, const PlayerSetup& Setup, int Index)
{
    WAVEFORMATEX Format = {WAVE_FORMAT_PCM, Setup.Channels, Setup.Rate, Setup.Rate * Setup.Channels * 2u,
                           static_cast<uint16_t>(Setup.Channels * 2), 16, 0};
    DSBUFFERDESC Desc = {DSBUFFERDESC_SIZE, DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLFREQUENCY, Format.nAvgBytesPerSec, 0,
                         &Format};
    DSBuffer* Buffer = nullptr;
    if (DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr) != DS_OK)
        return nullptr;
    auto Pcm = zebbench::Tone(Setup.Rate, Setup.Channels, Setup.Rate, 200.0 + 50.0 * Index, 1500.0);
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
        zebbench::WriteWav(Path, Setups[I].Rate, Setups[I].Channels,
                           zebbench::Tone(Setups[I].Rate * MixSeconds, Setups[I].Channels, Setups[I].Rate, 200.0 + 50.0 * I, 1500.0));
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


// CPU seconds the process spent per second of wall time while the 16
// players played on the server for RealTimeSeconds; *Underruns gets the
// times the stream ran dry meanwhile. Negative when no device opened.
double PulseCpuPerSecond(uint64_t* Underruns)
{
    DSDevice* Device = nullptr;
    if (DirectSoundCreate(DeviceIdForTesting("pulse", zebbench::NullSink), &Device, nullptr) != DS_OK)
        return -1.0;
    std::vector<DSBuffer*> Buffers;
    for (int I = 0; I < Players; ++I)
        Buffers.push_back(StartPlayer(Device, Setups[I], I));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // past the stream's start
    uint64_t Before = DSUnderrunsForTesting();
    double CpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(RealTimeSeconds));
    double Cpu = ProcessCpuSeconds() - CpuBefore;
    *Underruns = DSUnderrunsForTesting() - Before;
    for (DSBuffer* Buffer : Buffers)
        DSBufferRelease(Buffer);
    DSDeviceRelease(Device);
    return Cpu / RealTimeSeconds;
}

} // namespace

int main()
{
    printf("load average %.2f\n", zebbench::LoadAverage());
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
    if (!zebbench::PulseReachable()) {
        printf("2. Real time: no PulseAudio server with sink zebnull (scripts/start-sound-server.sh)\n");
        return 0;
    }
    uint64_t Underruns = 0;
    double Cpu = PulseCpuPerSecond(&Underruns);
    if (Cpu < 0) {
        printf("2. Real time: the null sink did not open\n");
        return 1;
    }
    printf("2. The same %d players on the null sink for %u s in real time:\n", Players, RealTimeSeconds);
    printf("  process CPU: %.2f ms per second (%.2f %% of a core)\n", Cpu * 1000, Cpu * 100);
    printf("  underruns: %llu\n", static_cast<unsigned long long>(Underruns));
    return Underruns == 0 ? 0 : 1;
}
