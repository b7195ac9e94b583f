// The host window: a message queue that any thread posts to without
// blocking, with an eventfd that polls readable while messages wait.
#include "zeb-audio.h"
#include "zeb_platform.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <new>

struct ZEBWindow {
    std::mutex Lock; // guards Messages
    std::condition_variable Arrived;
    std::deque<ZEBMessage> Messages;
    int Fd; // semaphore eventfd: its count is the number of queued messages
};

ZEBWindow* ZEBWindowCreate(void)
{
    ZEBWindow* Window = new (std::nothrow) ZEBWindow;
    if (!Window)
        return nullptr;
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
    close(Window->Fd);
    delete Window;
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
    return Window ? Window->Fd : -1;
}

void PostHostMessage(void* hWnd, uint32_t Msg, uint32_t wParam, uint32_t lParam)
{
    ZEBWindow* Window = static_cast<ZEBWindow*>(hWnd);
    if (!Window)
        return;
    std::lock_guard<std::mutex> Guard(Window->Lock);
    Window->Messages.push_back(ZEBMessage{Msg, wParam, lParam});
    uint64_t One = 1;
    if (write(Window->Fd, &One, sizeof One) != sizeof One) {
        // Only an overflow of 2^64-1 queued messages could fail here.
    }
    Window->Arrived.notify_one();
}
