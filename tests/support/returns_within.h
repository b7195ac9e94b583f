// Hang detection for tests: runs a call on a thread of its own and reports
// whether it returned in time. A call that hangs is left running (detached),
// so it must capture only what outlives the test (values, not references).
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace zebtest {

inline bool ReturnsWithin(int TimeoutMs, std::function<void()> Call)
{
    auto Done = std::make_shared<std::promise<void>>();
    std::future<void> Returned = Done->get_future();
    std::thread([Call = std::move(Call), Done] {
        Call();
        Done->set_value();
    }).detach();
    return Returned.wait_for(std::chrono::milliseconds(TimeoutMs)) == std::future_status::ready;
}

} // namespace zebtest
