// The host window: a message queue that any thread posts to without
// blocking, with an eventfd that polls readable while messages wait.
//
// Players and their helper threads may outlive the host's interest in a
// window (a player handed to its own thread at destroy keeps posting until
// it ends), so the window is reference counted: the host holds one
// reference from create to destroy, every poster one more. Destroy closes
// the window (later posts are dropped) and the last reference frees it.
#include "zeb-audio.h"
#include "zeb_platform.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <new>

struct ZEBWindow {
    std::atomic<int32_t> Refs; // the host's reference and one per poster
    std::mutex Lock;           // guards Messages, Closed and Fd
    std::condition_variable Arrived;
    std::deque<ZEBMessage> Messages;
    bool Closed;               // the host destroyed the window
    int Fd;                    // semaphore eventfd: its count is the number of queued messages
};

namespace {

ZEBWindow* AsWindow(void* hWnd)
{
    return static_cast<ZEBWindow*>(hWnd);
}

} // namespace

ZEBWindow* ZEBWindowCreate(void)
{
    ZEBWindow* Window = new (std::nothrow) ZEBWindow;
    if (!Window)
        return nullptr;
    Window->Refs.store(1);
    Window->Closed = false;
    Window->Fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (Window->Fd < 0) {
        delete Window;
        return nullptr;
    }
    return Window;
}

void ZEBWindowDestroy(ZEBWindow* Window)
{
    if (!Window)
        return;
    {
        std::lock_guard<std::mutex> Guard(Window->Lock);
        if (Window->Closed)
            return; // destroyed twice: the host's reference is already gone
        Window->Closed = true;
        Window->Messages.clear();
        close(Window->Fd);
        Window->Fd = -1;
    }
    ReleaseHostWindow(Window);
}

int ZEBWindowGetMessage(ZEBWindow* Window, ZEBMessage* Msg, int TimeoutMs)
{
    if (!Window || !Msg)
        return 0;
    std::unique_lock<std::mutex> Guard(Window->Lock);
    auto HasMessage = [Window] { return !Window->Messages.empty(); };
    if (TimeoutMs < 0)
        Window->Arrived.wait(Guard, HasMessage);
    else if (!Window->Arrived.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), HasMessage))
        return 0;
    *Msg = Window->Messages.front();
    Window->Messages.pop_front();
    uint64_t One;
    if (read(Window->Fd, &One, sizeof One) != sizeof One) {
        // The count always matches the queue; nothing to recover here.
    }
    return 1;
}

int ZEBWindowFd(ZEBWindow* Window)
{
    if (!Window)
        return -1;
    std::lock_guard<std::mutex> Guard(Window->Lock);
    return Window->Fd;
}

void RetainHostWindow(void* hWnd)
{
    if (hWnd)
        AsWindow(hWnd)->Refs.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseHostWindow(void* hWnd)
{
    ZEBWindow* Window = AsWindow(hWnd);
    if (!Window || Window->Refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    delete Window;
}

void PostHostMessage(void* hWnd, void* Player, uint32_t Msg, uint32_t wParam, uint32_t lParam)
{
    ZEBWindow* Window = AsWindow(hWnd);
    if (!Window)
        return;
    std::lock_guard<std::mutex> Guard(Window->Lock);
    if (Window->Closed)
        return;
    Window->Messages.push_back(ZEBMessage{Msg, wParam, lParam, Player});
    uint64_t One = 1;
    if (write(Window->Fd, &One, sizeof One) != sizeof One) {
        // Only an overflow of 2^64-1 queued messages could fail here.
    }
    Window->Arrived.notify_one();
}
