// Virtual sound backend: no sound card, a clock that the test advances (or
// lets a thread advance), captured output and injectable failures.
#include "dsdevice_testing.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <thread>

namespace {

struct VirtualStream {
    DSDevice* Device;
    unsigned Index;
    std::mutex AdvanceLock;      // serialises the test's and the clock's advances
    std::mutex CaptureLock;      // guards Capture and Capturing
    std::vector<int16_t> Capture;
    bool Capturing = false;
    std::atomic<uint64_t> Rendered{0};
    std::atomic<uint32_t> LatencyUs{0}; // the figure the test gives the output
    std::mutex ClockLock;        // guards Speed and StopClock
    std::condition_variable ClockChanged;
    double Speed = 0.0;
    bool StopClock = false;
    std::thread Clock;
};

std::atomic<unsigned> VirtualCount{0};
std::atomic<unsigned> OpenStreams{0};
std::atomic<bool> OpenFailure{false};
std::mutex RegistryLock; // guards Registry
std::map<unsigned, VirtualStream*>& Registry()
{
    static std::map<unsigned, VirtualStream*> Streams;
    return Streams;
}

constexpr int ClockTickMs = 2;

VirtualStream* StreamOf(DSDevice* Device)
{
    return Device && Device->Backend == &VirtualBackend ? static_cast<VirtualStream*>(Device->Stream) : nullptr;
}

void Advance(VirtualStream* Stream, uint32_t Frames)
{
    std::lock_guard<std::mutex> Guard(Stream->AdvanceLock);
    int16_t Block[DSMixChunkFrames * DSMixChannels];
    while (Frames > 0) {
        uint32_t Chunk = Frames < DSMixChunkFrames ? Frames : DSMixChunkFrames;
        DSDeviceRender(Stream->Device, Block, Chunk);
        Stream->Rendered += Chunk;
        {
            std::lock_guard<std::mutex> Capture(Stream->CaptureLock);
            if (Stream->Capturing)
                Stream->Capture.insert(Stream->Capture.end(), Block, Block + Chunk * DSMixChannels);
        }
        Frames -= Chunk;
    }
}

void ClockThread(VirtualStream* Stream)
{
    auto Last = std::chrono::steady_clock::now();
    double Owed = 0.0;
    std::unique_lock<std::mutex> Guard(Stream->ClockLock);
    while (!Stream->StopClock) {
        Stream->ClockChanged.wait_for(Guard, std::chrono::milliseconds(ClockTickMs));
        auto Now = std::chrono::steady_clock::now();
        double Seconds = std::chrono::duration<double>(Now - Last).count();
        Last = Now;
        Owed += Seconds * DSMixRate * Stream->Speed;
        uint32_t Frames = static_cast<uint32_t>(Owed);
        Owed -= Frames;
        if (Frames == 0)
            continue;
        Guard.unlock();
        Advance(Stream, Frames);
        Guard.lock();
    }
}

void* OpenVirtual(DSDevice* Device, const char* Name)
{
    if (OpenFailure || !Name)
        return nullptr;
    DSTestHooks* Hooks = new DSTestHooks{};
    VirtualStream* Stream = new VirtualStream;
    Stream->Device = Device;
    Stream->Index = static_cast<unsigned>(strtoul(Name, nullptr, 10));
    Device->Hooks = Hooks;
    ++OpenStreams;
    std::lock_guard<std::mutex> Guard(RegistryLock);
    Registry()[Stream->Index] = Stream;
    return Stream;
}

void CloseVirtual(void* Handle)
{
    VirtualStream* Stream = static_cast<VirtualStream*>(Handle);
    {
        std::lock_guard<std::mutex> Guard(RegistryLock);
        auto Found = Registry().find(Stream->Index);
        if (Found != Registry().end() && Found->second == Stream)
            Registry().erase(Found);
    }
    {
        std::lock_guard<std::mutex> Guard(Stream->ClockLock);
        Stream->StopClock = true;
        Stream->ClockChanged.notify_all();
    }
    if (Stream->Clock.joinable())
        Stream->Clock.join();
    delete Stream;
    --OpenStreams;
}

// Virtual devices are listed only through the test hook, never here.
int EnumerateVirtual(DSBackendAddFunc, void*)
{
    return -1;
}

uint32_t VirtualLatencyUs(void* Handle)
{
    return static_cast<VirtualStream*>(Handle)->LatencyUs;
}

} // namespace

const DSBackendOps VirtualBackend = {"virtual", EnumerateVirtual, OpenVirtual, CloseVirtual, VirtualLatencyUs};

unsigned DSVirtualDeviceCount(void)
{
    return VirtualCount;
}

void SetVirtualDevicesForTesting(unsigned Count)
{
    VirtualCount = Count;
}

void SetVirtualOpenFailureForTesting(bool Fail)
{
    OpenFailure = Fail;
}

DSDevice* VirtualDeviceForTesting(unsigned Index)
{
    std::lock_guard<std::mutex> Guard(RegistryLock);
    auto Found = Registry().find(Index);
    return Found == Registry().end() ? nullptr : Found->second->Device;
}

unsigned VirtualDevicesOpenForTesting(void)
{
    return OpenStreams;
}

void VirtualDeviceAdvance(DSDevice* Device, uint32_t Frames)
{
    if (VirtualStream* Stream = StreamOf(Device))
        Advance(Stream, Frames);
}

void VirtualDeviceRunClock(DSDevice* Device, double Speed)
{
    VirtualStream* Stream = StreamOf(Device);
    if (!Stream)
        return;
    std::lock_guard<std::mutex> Guard(Stream->ClockLock);
    Stream->Speed = Speed;
    if (Speed > 0.0 && !Stream->Clock.joinable())
        Stream->Clock = std::thread(ClockThread, Stream);
    Stream->ClockChanged.notify_all();
}

void VirtualDeviceSetCapture(DSDevice* Device, bool On)
{
    if (VirtualStream* Stream = StreamOf(Device)) {
        std::lock_guard<std::mutex> Guard(Stream->CaptureLock);
        Stream->Capturing = On;
    }
}

std::vector<int16_t> VirtualDeviceTakeCapture(DSDevice* Device)
{
    std::vector<int16_t> Taken;
    if (VirtualStream* Stream = StreamOf(Device)) {
        std::lock_guard<std::mutex> Guard(Stream->CaptureLock);
        Taken.swap(Stream->Capture);
    }
    return Taken;
}

uint64_t VirtualDeviceFramesRendered(DSDevice* Device)
{
    VirtualStream* Stream = StreamOf(Device);
    return Stream ? Stream->Rendered.load() : 0;
}

void VirtualDeviceSetLatency(DSDevice* Device, uint32_t Microseconds)
{
    if (VirtualStream* Stream = StreamOf(Device))
        Stream->LatencyUs = Microseconds;
}

void VirtualDeviceSetFault(DSDevice* Device, DSFaultOp Op, int32_t Count)
{
    if (Device && Device->Hooks && Op < DSFAULT_COUNT)
        Device->Hooks->Faults[Op] = Count;
}

std::vector<DSLockRecord> VirtualDeviceTakeLockLog(DSDevice* Device)
{
    std::vector<DSLockRecord> Taken;
    if (Device && Device->Hooks) {
        std::lock_guard<std::mutex> Guard(Device->Lock);
        Taken.swap(Device->Hooks->LockLog);
    }
    return Taken;
}
