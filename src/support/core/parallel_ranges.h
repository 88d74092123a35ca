#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <thread>
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

// Calls work(part, begin, end) for `parts` contiguous ranges that cover
// [0, count) in order, part 0 on the calling thread and the others on
// threads of their own, and returns when all are done. Work that splits
// this way must write only its own range, so the result is the same as one
// loop over the whole count. An exception in any part is rethrown here.
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
    std::vector<std::thread> helpers;
    helpers.reserve(parts - 1);
    for (unsigned part = 1; part < parts; ++part)
        helpers.emplace_back([&, part] {
            try {
                work(part, boundary(part), boundary(part + 1));
            } catch (...) {
                errors[part] = std::current_exception();
            }
        });
    try {
        work(0u, std::uint64_t{0}, boundary(1));
    } catch (...) {
        errors[0] = std::current_exception();
    }
    joinAndRethrow(helpers, errors);
}

} // namespace morvex
