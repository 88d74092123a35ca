#include "support/progress/progress_reporter.h"

#include <algorithm>
#include <chrono>

namespace morvex {

void WaitableEvent::set()
{
    std::lock_guard lock(mutex_);
    signalled_ = true;
    for (Waiter* waiter : waiters_) {
        std::lock_guard waiterLock(waiter->mutex);
        waiter->woken = true;
        waiter->wake.notify_all();
    }
}

void WaitableEvent::reset()
{
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool WaitableEvent::isSet() const
{
    std::lock_guard lock(mutex_);
    return signalled_;
}

bool WaitableEvent::wait(std::uint32_t milliseconds) const
{
    const WaitableEvent* self = this;
    return waitAny(std::span<const WaitableEvent* const>(&self, 1), milliseconds) == 0;
}

void WaitableEvent::subscribe(Waiter* waiter) const
{
    std::lock_guard lock(mutex_);
    waiters_.push_back(waiter);
    if (signalled_) {
        std::lock_guard waiterLock(waiter->mutex);
        waiter->woken = true;
    }
}

void WaitableEvent::unsubscribe(Waiter* waiter) const
{
    std::lock_guard lock(mutex_);
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

int WaitableEvent::waitAny(std::span<const WaitableEvent* const> events, std::uint32_t milliseconds)
{
    const auto firstSet = [&]() -> int {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i]->isSet())
                return static_cast<int>(i);
        return -1;
    };
    if (int index = firstSet(); index >= 0 || milliseconds == 0)
        return index;

    Waiter waiter;
    for (const WaitableEvent* event : events)
        event->subscribe(&waiter);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int result = -1;
    for (;;) {
        {
            std::unique_lock lock(waiter.mutex);
            if (milliseconds == WaitForever) {
                waiter.wake.wait(lock, [&] { return waiter.woken; });
            } else if (!waiter.wake.wait_until(lock, deadline, [&] { return waiter.woken; })) {
                break;
            }
            waiter.woken = false;
        }
        // An event may have been reset between the wake-up and this check.
        result = firstSet();
        if (result >= 0)
            break;
    }
    for (const WaitableEvent* event : events)
        event->unsubscribe(&waiter);
    if (result < 0)
        result = firstSet();
    return result;
}

WaitResult StoppableReporter::waitForHandle(const WaitableEvent& event, std::uint32_t milliseconds)
{
    const WaitableEvent* one[] = {&event};
    return waitForAnyHandle(one, milliseconds, nullptr);
}

WaitResult StoppableReporter::waitForAnyHandle(std::span<const WaitableEvent* const> events, std::uint32_t milliseconds,
                                               int* which)
{
    constexpr std::size_t MaxHandles = 64;
    std::vector<const WaitableEvent*> all(events.begin(), events.begin() + std::min(events.size(), MaxHandles));
    all.push_back(&stopSignal());
    const int index = WaitableEvent::waitAny(all, milliseconds);
    if (index < 0)
        return WaitResult::TimedOut;
    if (index == static_cast<int>(all.size()) - 1)
        return WaitResult::Stopped;
    if (which != nullptr)
        *which = index;
    return WaitResult::Signalled;
}

} // namespace morvex
