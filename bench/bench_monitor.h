// Helpers of the benchmarks that run against a PulseAudio server with the
// null sink "zebnull" (scripts/start-sound-server.sh): a recorder of the
// sink's monitor that dates the first loud sample, and small utilities.
#pragma once

#include "zeb-audio.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zebbench {

constexpr char NullSink[] = "zebnull";
constexpr char NullMonitor[] = "zebnull.monitor";
constexpr uint32_t MonitorRate = 44100;

typedef std::chrono::steady_clock Clock;

inline double MsBetween(Clock::time_point From, Clock::time_point To)
{
    return std::chrono::duration<double, std::milli>(To - From).count();
}

inline bool PulseReachable()
{
    return std::system("pactl info >/dev/null 2>&1") == 0 &&
           std::system("pactl list short sinks | awk '{print $2}' | grep -qx zebnull") == 0;
}

// The machine's load over the last minute, as uptime shows it.
inline double LoadAverage()
{
    double Load[1] = {-1.0};
    return getloadavg(Load, 1) == 1 ? Load[0] : -1.0;
}

// Records a source with parec and dates the first loud sample after Arm.
// Samples are dated by their place in the recording: a source delivers at
// the pace of its clock, so the earliest arrival of any block, less the
// frames before its end, is the time of frame 0. The reader's own wake-up
// delays then do not count.
class Recorder {
public:
    explicit Recorder(int Threshold = 500) : Threshold(Threshold) {}
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
    // ended), then looks for the first loud sample from here on.
    void Arm()
    {
        auto Deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < Deadline) {
            {
                std::lock_guard<std::mutex> Guard(Lock);
                if (Frames > 0 && Frames - LastLoudFrame > MonitorRate * QuietMs / 1000)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard<std::mutex> Guard(Lock);
        ArmedFrame = Frames;
        LoudFrame = -1;
    }
    // Milliseconds from Since to the first loud sample after Arm, or -1.
    double LoudAfterMs(Clock::time_point Since, double TimeoutSeconds)
    {
        auto Deadline = Clock::now() + std::chrono::duration<double>(TimeoutSeconds);
        for (;;) {
            {
                std::lock_guard<std::mutex> Guard(Lock);
                if (LoudFrame >= 0)
                    break;
            }
            if (Clock::now() > Deadline)
                return -1.0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // A little more of the recording sharpens the dating.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> Guard(Lock);
        auto At = FrameZero + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(LoudFrame) / MonitorRate));
        return MsBetween(Since, At);
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
        int16_t Block[512];
        size_t Carry = 0; // bytes of a frame split across reads
        uint8_t* Raw = reinterpret_cast<uint8_t*>(Block);
        for (;;) {
            ssize_t Got = read(Fd, Raw + Carry, sizeof Block - Carry);
            if (Got <= 0)
                return;
            auto Now = Clock::now();
            size_t Bytes = Carry + static_cast<size_t>(Got);
            int64_t Count = static_cast<int64_t>(Bytes / 4);
            std::lock_guard<std::mutex> Guard(Lock);
            for (int64_t I = 0; I < Count; ++I) {
                if (std::abs(Block[2 * I]) <= Threshold && std::abs(Block[2 * I + 1]) <= Threshold)
                    continue;
                LastLoudFrame = Frames + I;
                if (LoudFrame < 0 && ArmedFrame >= 0 && Frames + I >= ArmedFrame)
                    LoudFrame = Frames + I;
            }
            Frames += Count;
            auto Zero = Now - std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(Frames) / MonitorRate));
            if (!Flowing || Zero < FrameZero)
                FrameZero = Zero;
            Flowing = true;
            Carry = Bytes % 4;
            memmove(Raw, Raw + Bytes - Carry, Carry);
        }
    }
    static constexpr int64_t QuietMs = 200;
    int Threshold;
    pid_t Pid = -1;
    int Fd = -1;
    std::thread Reader;
    std::atomic<bool> Flowing{false};
    std::mutex Lock; // guards everything below
    int64_t Frames = 0;
    int64_t LastLoudFrame = 0;
    int64_t ArmedFrame = -1;
    int64_t LoudFrame = -1;
    Clock::time_point FrameZero;
};

// Waits for message Msg (with WParam) on Window; other messages are dropped.
inline bool WaitForMessage(ZEBWindow* Window, uint32_t Msg, uint32_t WParam, int TimeoutMs)
{
    ZEBMessage Got;
    auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Clock::now() < Deadline)
        if (ZEBWindowGetMessage(Window, &Got, 100) && Got.Msg == Msg && Got.wParam == WParam)
            return true;
    return false;
}

struct Spread {
    double Median = -1, P99 = -1, Max = -1;
    size_t Count = 0;
};

// Median, 99th percentile (nearest rank) and maximum.
inline Spread SpreadOf(std::vector<double> Values)
{
    Spread Out;
    if (Values.empty())
        return Out;
    std::sort(Values.begin(), Values.end());
    Out.Count = Values.size();
    Out.Median = Values[Values.size() / 2];
    size_t Rank = static_cast<size_t>(std::ceil(0.99 * Values.size()));
    Out.P99 = Values[Rank > 0 ? Rank - 1 : 0];
    Out.Max = Values.back();
    return Out;
}

} // namespace zebbench
