#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// Wait with no time limit.
inline constexpr std::uint32_t WaitForever = UINT32_MAX;

enum class WaitResult : int {
    Signalled = 0,
    Stopped = 1,
    TimedOut = 2,
};

// A manual-reset event that any number of threads can wait on, alone or
// together with other events. Process exits, helper threads finishing and
// the stop request of a task are all carried by one of these.
class WaitableEvent {
public:
    WaitableEvent() = default;
    WaitableEvent(const WaitableEvent&) = delete;
    WaitableEvent& operator=(const WaitableEvent&) = delete;

    void set();
    void reset();
    bool isSet() const;

    // Waits for this event alone; true when it was set in time.
    bool wait(std::uint32_t milliseconds) const;

    // Waits until one of the events is set; the index of the first one set
    // (lowest index when several are), or -1 on time-out.
    static int waitAny(std::span<const WaitableEvent* const> events, std::uint32_t milliseconds);

private:
    struct Waiter {
        std::mutex mutex;
        std::condition_variable wake;
        bool woken = false;
    };
    void subscribe(Waiter* waiter) const;
    void unsubscribe(Waiter* waiter) const;

    mutable std::mutex mutex_;
    bool signalled_ = false;
    mutable std::vector<Waiter*> waiters_;
};

// What every long operation receives: cancellation, waits that a stop
// request interrupts, status text, progress and user messages. The work
// never touches a window; the owner decides how to show what it gets.
class ProgressReporter {
public:
    virtual ~ProgressReporter() = default;

    // True once the task has been told to stop; never waits.
    virtual bool isCancelled() = 0;
    // Waits up to the time for the stop request; true when it came.
    virtual bool waitForStop(std::uint32_t milliseconds) = 0;
    // Waits for the event or the stop request.
    virtual WaitResult waitForHandle(const WaitableEvent& event, std::uint32_t milliseconds) = 0;
    // Up to 64 events, the stop request added last. When signalled and
    // `which` is given, it receives the index of the event.
    virtual WaitResult waitForAnyHandle(std::span<const WaitableEvent* const> events, std::uint32_t milliseconds,
                                        int* which = nullptr) = 0;
    // A message for the user, from the owner of the task.
    virtual void postTextMessage(std::string_view text) = 0;
    // Line 0 or 1, at most 259 characters; other lines are ignored.
    virtual void setStatusText(std::string_view text, int line) = 0;
    // Fraction of the task done, 0.0 to 1.0.
    virtual void setProgress(double fraction) = 0;
    virtual void beginIndeterminate() = 0;
    virtual void endIndeterminate() = 0;
};

// Indeterminate progress for a scope: begun on construction, ended by end()
// or, at the latest, on every way out of the scope.
class IndeterminateScope {
public:
    explicit IndeterminateScope(ProgressReporter& reporter) : reporter_(reporter) { reporter_.beginIndeterminate(); }
    ~IndeterminateScope() { end(); }
    IndeterminateScope(const IndeterminateScope&) = delete;
    IndeterminateScope& operator=(const IndeterminateScope&) = delete;

    void end()
    {
        if (active_)
            reporter_.endIndeterminate();
        active_ = false;
    }

private:
    ProgressReporter& reporter_;
    bool active_ = true;
};

// A reporter that owns a stop signal and implements the waits on it; the
// output operations do nothing. Front ends and tests derive from it.
class StoppableReporter : public ProgressReporter {
public:
    void requestStop() { stop_.set(); }
    const WaitableEvent& stopSignal() const { return stop_; }

    bool isCancelled() override { return stop_.isSet(); }
    bool waitForStop(std::uint32_t milliseconds) override { return stop_.wait(milliseconds); }
    WaitResult waitForHandle(const WaitableEvent& event, std::uint32_t milliseconds) override;
    WaitResult waitForAnyHandle(std::span<const WaitableEvent* const> events, std::uint32_t milliseconds,
                                int* which = nullptr) override;
    void postTextMessage(std::string_view) override {}
    void setStatusText(std::string_view, int) override {}
    void setProgress(double) override {}
    void beginIndeterminate() override {}
    void endIndeterminate() override {}

private:
    WaitableEvent stop_;
};

// Maps one phase of a task into a share of the whole: progress becomes
// offset + scale * fraction, status line n goes to line n + 1 of the inner
// reporter, indeterminate progress is swallowed, the rest passes through.
class ProgressRange : public ProgressReporter {
public:
    ProgressRange(ProgressReporter& inner, double offset, double scale) : inner_(inner), offset_(offset), scale_(scale)
    {
    }

    bool isCancelled() override { return inner_.isCancelled(); }
    bool waitForStop(std::uint32_t milliseconds) override { return inner_.waitForStop(milliseconds); }
    WaitResult waitForHandle(const WaitableEvent& event, std::uint32_t milliseconds) override
    {
        return inner_.waitForHandle(event, milliseconds);
    }
    WaitResult waitForAnyHandle(std::span<const WaitableEvent* const> events, std::uint32_t milliseconds,
                                int* which = nullptr) override
    {
        return inner_.waitForAnyHandle(events, milliseconds, which);
    }
    void postTextMessage(std::string_view text) override { inner_.postTextMessage(text); }
    void setStatusText(std::string_view text, int line) override { inner_.setStatusText(text, line + 1); }
    void setProgress(double fraction) override { inner_.setProgress(offset_ + scale_ * fraction); }
    void beginIndeterminate() override {}
    void endIndeterminate() override {}

private:
    ProgressReporter& inner_;
    double offset_;
    double scale_;
};

} // namespace morvex
