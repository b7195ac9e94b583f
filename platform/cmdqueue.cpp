// The player's command queue: unbounded, first in first out.
#include "zeb_platform.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <new>

struct CmdQueue {
    std::mutex Lock; // guards Messages
    std::condition_variable Arrived;
    std::deque<MSG> Messages;
};

CmdQueue* CmdQueueCreate(void)
{
    return new (std::nothrow) CmdQueue;
}

void CmdQueueDestroy(CmdQueue* Queue)
{
    delete Queue;
}

void CmdQueuePost(CmdQueue* Queue, uint32_t Message, uintptr_t wParam, uintptr_t lParam)
{
    std::lock_guard<std::mutex> Guard(Queue->Lock);
    Queue->Messages.push_back(MSG{Message, wParam, lParam});
    Queue->Arrived.notify_one();
}

int CmdQueueWaitPending(CmdQueue* Queue, uint32_t TimeoutMs)
{
    std::unique_lock<std::mutex> Guard(Queue->Lock);
    Queue->Arrived.wait_for(Guard, std::chrono::milliseconds(TimeoutMs),
                            [Queue] { return !Queue->Messages.empty(); });
    return Queue->Messages.empty() ? 0 : 1;
}

int CmdQueueTake(CmdQueue* Queue, MSG* Msg, bool Block)
{
    std::unique_lock<std::mutex> Guard(Queue->Lock);
    if (Block)
        Queue->Arrived.wait(Guard, [Queue] { return !Queue->Messages.empty(); });
    if (Queue->Messages.empty())
        return 0;
    *Msg = Queue->Messages.front();
    Queue->Messages.pop_front();
    return 1;
}
