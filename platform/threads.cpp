// POSIX threads with a waitable, time-limited join; events; sleep and ticks.
#include "zeb_platform.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <limits.h>
#include <new>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SanitizerBuild = true;
#else
constexpr bool SanitizerBuild = false;
#endif
#else
constexpr bool SanitizerBuild = false;
#endif

// Sanitizer runtimes need far more stack than the threads ask for.
constexpr size_t SanitizerMinStack = 1u << 20;

size_t EffectiveStackSize(size_t Requested)
{
    const size_t MinStack = static_cast<size_t>(PTHREAD_STACK_MIN);
    size_t Size = Requested < MinStack ? MinStack : Requested;
    if (SanitizerBuild && Size < SanitizerMinStack)
        Size = SanitizerMinStack;
    return Size;
}

} // namespace

// Shared between the thread and its handle; freed by whichever lets go last.
struct ZEBThread {
    pthread_t Id;
    ZEBThreadFunc Func;
    void* Arg;
    std::mutex Lock;             // guards Ended and Owners
    std::condition_variable Done;
    bool Ended = false;
    int Owners = 2;              // the thread and the handle
};

static void ReleaseShare(ZEBThread* Thread)
{
    bool Last;
    {
        std::lock_guard<std::mutex> Guard(Thread->Lock);
        Last = --Thread->Owners == 0;
    }
    if (Last)
        delete Thread;
}

static void* ThreadEntry(void* Param)
{
    ZEBThread* Thread = static_cast<ZEBThread*>(Param);
    Thread->Func(Thread->Arg);
    {
        std::lock_guard<std::mutex> Guard(Thread->Lock);
        Thread->Ended = true;
        Thread->Done.notify_all();
    }
    ReleaseShare(Thread);
    return nullptr;
}

static std::atomic<uint32_t> NextThreadId{1};

ZEBThread* StartThread(ZEBThreadFunc Func, void* Arg, size_t StackSize, uint32_t* ThreadId)
{
    ZEBThread* Thread = new (std::nothrow) ZEBThread;
    if (!Thread)
        return nullptr;
    Thread->Func = Func;
    Thread->Arg = Arg;
    pthread_attr_t Attr;
    pthread_attr_init(&Attr);
    pthread_attr_setstacksize(&Attr, EffectiveStackSize(StackSize));
    pthread_attr_setdetachstate(&Attr, PTHREAD_CREATE_DETACHED);
    int Result = pthread_create(&Thread->Id, &Attr, ThreadEntry, Thread);
    pthread_attr_destroy(&Attr);
    if (Result != 0) {
        delete Thread;
        return nullptr;
    }
    if (ThreadId)
        *ThreadId = NextThreadId++;
    return Thread;
}

int WaitThread(ZEBThread* Thread, int TimeoutMs)
{
    if (!Thread)
        return 1;
    std::unique_lock<std::mutex> Guard(Thread->Lock);
    if (TimeoutMs < 0) {
        Thread->Done.wait(Guard, [Thread] { return Thread->Ended; });
        return 1;
    }
    return Thread->Done.wait_for(Guard, std::chrono::milliseconds(TimeoutMs),
                                 [Thread] { return Thread->Ended; }) ? 1 : 0;
}

int ThreadIsRunning(ZEBThread* Thread)
{
    if (!Thread)
        return 0;
    std::lock_guard<std::mutex> Guard(Thread->Lock);
    return Thread->Ended ? 0 : 1;
}

void CloseThread(ZEBThread* Thread)
{
    if (Thread)
        ReleaseShare(Thread);
}

// ---- Events ----

// A thread waiting on more than one event: every event it waits on pokes
// it when set.
struct EventWaiter {
    std::mutex Lock; // guards Poked
    std::condition_variable Wake;
    bool Poked = false;
};

struct ZEBEvent {
    std::mutex Lock; // guards Signalled and Waiters
    std::condition_variable Changed;
    bool Signalled;
    bool ManualReset;
    std::vector<EventWaiter*> Waiters; // threads in WaitForEitherEvent
};

ZEBEvent* CreateEvent(bool ManualReset, bool InitialState)
{
    ZEBEvent* Event = new (std::nothrow) ZEBEvent;
    if (!Event)
        return nullptr;
    Event->Signalled = InitialState;
    Event->ManualReset = ManualReset;
    return Event;
}

void SetEvent(ZEBEvent* Event)
{
    std::lock_guard<std::mutex> Guard(Event->Lock);
    Event->Signalled = true;
    if (Event->ManualReset)
        Event->Changed.notify_all();
    else
        Event->Changed.notify_one();
    for (EventWaiter* Waiter : Event->Waiters) {
        std::lock_guard<std::mutex> Poke(Waiter->Lock);
        Waiter->Poked = true;
        Waiter->Wake.notify_one();
    }
}

void ResetEvent(ZEBEvent* Event)
{
    std::lock_guard<std::mutex> Guard(Event->Lock);
    Event->Signalled = false;
}

int WaitEvent(ZEBEvent* Event, int TimeoutMs)
{
    std::unique_lock<std::mutex> Guard(Event->Lock);
    auto IsSet = [Event] { return Event->Signalled; };
    if (TimeoutMs < 0)
        Event->Changed.wait(Guard, IsSet);
    else if (!Event->Changed.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), IsSet))
        return 0;
    if (!Event->ManualReset)
        Event->Signalled = false;
    return 1;
}

void CloseEvent(ZEBEvent* Event)
{
    delete Event;
}

namespace {

// Takes the event if it is set (an auto-reset event is reset by taking it).
bool TryTakeEvent(ZEBEvent* Event)
{
    std::lock_guard<std::mutex> Guard(Event->Lock);
    if (!Event->Signalled)
        return false;
    if (!Event->ManualReset)
        Event->Signalled = false;
    return true;
}

void WatchEvent(ZEBEvent* Event, EventWaiter* Waiter, bool On)
{
    std::lock_guard<std::mutex> Guard(Event->Lock);
    if (On) {
        Event->Waiters.push_back(Waiter);
        return;
    }
    for (size_t i = 0; i < Event->Waiters.size(); ++i)
        if (Event->Waiters[i] == Waiter) {
            Event->Waiters.erase(Event->Waiters.begin() + static_cast<long>(i));
            return;
        }
}

} // namespace

int WaitForEitherEvent(ZEBEvent* First, ZEBEvent* Second, int TimeoutMs)
{
    EventWaiter Waiter;
    WatchEvent(First, &Waiter, true);
    WatchEvent(Second, &Waiter, true);
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs < 0 ? 0 : TimeoutMs);
    int Result = -1;
    for (;;) {
        if (TryTakeEvent(First)) {
            Result = 0;
            break;
        }
        if (TryTakeEvent(Second)) {
            Result = 1;
            break;
        }
        // A set between the tries and here has poked the waiter already.
        std::unique_lock<std::mutex> Guard(Waiter.Lock);
        if (TimeoutMs < 0)
            Waiter.Wake.wait(Guard, [&] { return Waiter.Poked; });
        else if (!Waiter.Wake.wait_until(Guard, Deadline, [&] { return Waiter.Poked; }))
            break;
        Waiter.Poked = false;
    }
    WatchEvent(First, &Waiter, false);
    WatchEvent(Second, &Waiter, false);
    return Result;
}

// ---- Time ----

void Sleep(uint32_t Ms)
{
    if (Ms == 0) {
        sched_yield();
        return;
    }
    struct timespec Ts;
    Ts.tv_sec = Ms / 1000;
    Ts.tv_nsec = static_cast<long>(Ms % 1000) * 1000000L;
    while (nanosleep(&Ts, &Ts) != 0) {
    }
}

uint32_t GetTickCount(void)
{
    struct timespec Ts;
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    uint64_t Ms = static_cast<uint64_t>(Ts.tv_sec) * 1000u + static_cast<uint64_t>(Ts.tv_nsec / 1000000L);
    return static_cast<uint32_t>(Ms);
}
