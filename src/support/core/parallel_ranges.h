#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace morvex {

// How many threads the work on one file may use. 1 keeps every step on the
// thread that converts the file. A batch sets it from the processors left
// per worker, so a single large file uses both cores while a batch of many
// files keeps one file per core.
unsigned threadsPerFile();
void setThreadsPerFile(unsigned threads);

// The threads worth using for `count` items when each thread should get at
// least `minimumPerThread` of them: fewer items are not worth a thread.
unsigned threadsFor(std::uint64_t count, std::uint64_t minimumPerThread);

// For tests: the next `count` thread starts through startThread fail as
// when the system has no thread to give.
void refuseThreadStartsForTesting(unsigned count);
bool threadStartRefusedForTesting();

// Waits for every helper thread, then rethrows the first exception a part
// left in `errors`.
inline void joinAndRethrow(std::vector<std::thread>& helpers, const std::vector<std::exception_ptr>& errors)
{
    for (std::thread& helper : helpers)
        helper.join();
    for (const std::exception_ptr& error : errors)
        if (error)
            std::rethrow_exception(error);
}

// Starts `body` on a thread of its own, appended to `threads`; false, with
// nothing started, when the system has no thread to give (the caller then
// does the work itself).
template <typename Body>
bool startThread(std::vector<std::thread>& threads, Body&& body)
{
    try {
        if (threadStartRefusedForTesting())
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        threads.emplace_back(std::forward<Body>(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// Calls work(part, begin, end) for `parts` contiguous ranges that cover
// [0, count) in order, part 0 on the calling thread and the others on
// threads of their own, and returns when all are done. Work that splits
// this way must write only its own range, so the result is the same as one
// loop over the whole count. Parts that get no thread run on the calling
// thread after its own. An exception in any part is rethrown here.
template <typename Work>
void forEachRange(std::uint64_t count, unsigned parts, Work&& work)
{
    parts = static_cast<unsigned>(std::clamp<std::uint64_t>(parts, 1, std::max<std::uint64_t>(count, 1)));
    const auto boundary = [&](unsigned part) { return count * part / parts; };
    if (parts == 1) {
        work(0u, std::uint64_t{0}, count);
        return;
    }
    std::vector<std::exception_ptr> errors(parts);
    const auto runPart = [&](unsigned part) {
        try {
            work(part, boundary(part), boundary(part + 1));
        } catch (...) {
            errors[part] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(parts - 1);
    unsigned started = 1;
    while (started < parts && startThread(helpers, [&runPart, part = started] { runPart(part); }))
        ++started;
    runPart(0);
    for (unsigned part = started; part < parts; ++part)
        runPart(part);
    joinAndRethrow(helpers, errors);
}

} // namespace morvex
