#include "support/sound.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zebtest {

std::vector<uint8_t> Tone(uint32_t Frames, uint16_t Channels, uint32_t Rate, double Frequency, double Amplitude)
{
    std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * 2);
    for (uint32_t I = 0; I < Frames; ++I) {
        int16_t S = static_cast<int16_t>(std::lround(Amplitude * std::sin(2.0 * M_PI * Frequency * I / Rate)));
        for (uint16_t C = 0; C < Channels; ++C) {
            size_t At = (static_cast<size_t>(I) * Channels + C) * 2;
            Out[At] = static_cast<uint8_t>(S & 0xFF);
            Out[At + 1] = static_cast<uint8_t>((S >> 8) & 0xFF);
        }
    }
    return Out;
}

std::vector<int16_t> Channel(const std::vector<int16_t>& Interleaved, int Channels, int Which)
{
    std::vector<int16_t> Out;
    Out.reserve(Interleaved.size() / Channels);
    for (size_t I = Which; I < Interleaved.size(); I += Channels)
        Out.push_back(Interleaved[I]);
    return Out;
}

double ToneShare(const std::vector<int16_t>& Samples, uint32_t Rate, double Frequency)
{
    if (Samples.empty())
        return 0.0;
    double Coeff = 2.0 * std::cos(2.0 * M_PI * Frequency / Rate);
    double S1 = 0.0, S2 = 0.0, Energy = 0.0;
    for (int16_t X : Samples) {
        double S0 = X + Coeff * S1 - S2;
        S2 = S1;
        S1 = S0;
        Energy += static_cast<double>(X) * X;
    }
    double Power = S1 * S1 + S2 * S2 - Coeff * S1 * S2;
    if (Energy <= 0.0)
        return 0.0;
    return Power / (Energy * static_cast<double>(Samples.size()));
}

namespace {
// Rising zero crossings per second over one stretch; 0 with fewer than two.
double CrossingRate(const int16_t* Samples, size_t Count, uint32_t Rate)
{
    size_t Crossings = 0;
    long First = -1, Last = -1;
    for (size_t I = 1; I < Count; ++I) {
        if (Samples[I - 1] < 0 && Samples[I] >= 0) {
            if (First < 0)
                First = static_cast<long>(I);
            Last = static_cast<long>(I);
            ++Crossings;
        }
    }
    if (Crossings < 2)
        return 0.0;
    return (Crossings - 1) * static_cast<double>(Rate) / (Last - First);
}
} // namespace

// The median of tenth-of-a-second estimates, so that a dropout in a
// recording made on a loaded machine does not skew the result.
double ZeroCrossingFrequency(const std::vector<int16_t>& Samples, uint32_t Rate)
{
    size_t Window = Rate / 10;
    std::vector<double> Estimates;
    for (size_t At = 0; Window > 0 && At + Window <= Samples.size(); At += Window) {
        double F = CrossingRate(Samples.data() + At, Window, Rate);
        if (F > 0.0)
            Estimates.push_back(F);
    }
    if (Estimates.empty())
        return CrossingRate(Samples.data(), Samples.size(), Rate);
    std::sort(Estimates.begin(), Estimates.end());
    return Estimates[Estimates.size() / 2];
}

double Rms(const std::vector<int16_t>& Samples)
{
    if (Samples.empty())
        return 0.0;
    double Sum = 0.0;
    for (int16_t X : Samples)
        Sum += static_cast<double>(X) * X;
    return std::sqrt(Sum / Samples.size());
}

long FirstLoud(const std::vector<int16_t>& Samples, int Threshold)
{
    for (size_t I = 0; I < Samples.size(); ++I)
        if (std::abs(Samples[I]) > Threshold)
            return static_cast<long>(I);
    return -1;
}

bool PulseReachable()
{
    return std::system("pactl info >/dev/null 2>&1") == 0;
}

std::string Capture(const std::string& Command)
{
    std::string Out;
    FILE* Pipe = popen(Command.c_str(), "r");
    if (!Pipe)
        return Out;
    char Chunk[256];
    size_t Got;
    while ((Got = fread(Chunk, 1, sizeof Chunk, Pipe)) > 0)
        Out.append(Chunk, Got);
    pclose(Pipe);
    while (!Out.empty() && (Out.back() == '\n' || Out.back() == '\r'))
        Out.pop_back();
    return Out;
}

PulseRecorder::~PulseRecorder()
{
    Stop();
}

bool PulseRecorder::Start(const std::string& Source)
{
    int Pipe[2];
    if (pipe(Pipe) != 0)
        return false;
    pid_t Child = fork();
    if (Child < 0) {
        close(Pipe[0]);
        close(Pipe[1]);
        return false;
    }
    if (Child == 0) {
        dup2(Pipe[1], STDOUT_FILENO);
        close(Pipe[0]);
        close(Pipe[1]);
        std::string Device = "--device=" + Source;
        execlp("parec", "parec", Device.c_str(), "--format=s16le", "--rate=44100", "--channels=2", "--raw",
               "--latency-msec=10", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(Pipe[1]);
    Pid_ = Child;
    Fd_ = Pipe[0];
    Thread_ = std::thread(&PulseRecorder::Reader, this);
    for (int Waited = 0; Waited < 5000; Waited += 5) {
        if (Frames() > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void PulseRecorder::Reader()
{
    int16_t Block[2048];
    size_t Carry = 0;
    uint8_t* Bytes = reinterpret_cast<uint8_t*>(Block);
    for (;;) {
        ssize_t Got = read(Fd_, Bytes + Carry, sizeof Block - Carry);
        if (Got <= 0)
            return;
        size_t Have = Carry + static_cast<size_t>(Got);
        size_t Whole = Have / 2;
        {
            std::lock_guard<std::mutex> Guard(Lock_);
            Samples_.insert(Samples_.end(), Block, Block + Whole);
        }
        Carry = Have % 2;
        if (Carry)
            Bytes[0] = Bytes[Have - 1];
    }
}

std::vector<int16_t> PulseRecorder::Stop()
{
    if (Pid_ > 0) {
        kill(Pid_, SIGTERM);
        waitpid(Pid_, nullptr, 0);
        Pid_ = -1;
    }
    if (Thread_.joinable())
        Thread_.join();
    if (Fd_ >= 0) {
        close(Fd_);
        Fd_ = -1;
    }
    std::lock_guard<std::mutex> Guard(Lock_);
    return Samples_;
}

std::vector<int16_t> PulseRecorder::Snapshot()
{
    std::lock_guard<std::mutex> Guard(Lock_);
    return Samples_;
}

size_t PulseRecorder::Frames()
{
    std::lock_guard<std::mutex> Guard(Lock_);
    return Samples_.size() / 2;
}

} // namespace zebtest
