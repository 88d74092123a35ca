#include "support/text/ordered_text_pieces.h"

#include "support/core/parallel_ranges.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace morvex {

void TextPiece::grow(std::size_t length)
{
    constexpr std::size_t SmallestBytes = 64 * 1024;
    const std::size_t wanted = std::max({capacity_ * 2, used_ + length, SmallestBytes});
    std::unique_ptr<char[]> grown(new char[wanted]);
    if (used_ != 0)
        std::memcpy(grown.get(), data_.get(), used_);
    data_ = std::move(grown);
    capacity_ = wanted;
}

void TextPiece::append(std::string_view text)
{
    char* at = room(text.size());
    std::memcpy(at, text.data(), text.size());
    advanceTo(at + text.size());
}

namespace {

// What the threads of one write share. Piece p is formatted into buffer
// p % buffers, which is free once piece p - buffers has been written.
struct Schedule {
    std::uint64_t count = 0;
    std::uint64_t perPiece = 1;
    std::uint64_t pieces = 0;
    std::size_t buffers = 1;

    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t nextToFormat = 0;
    std::uint64_t nextToWrite = 0;    // changed only by the calling thread
    std::vector<unsigned char> ready; // per buffer: its piece is formatted
    bool stop = false;
    std::exception_ptr error;

    bool canClaim() const { return nextToFormat < pieces && nextToFormat < nextToWrite + buffers; }
    std::uint64_t endOf(std::uint64_t piece) const { return std::min(count, (piece + 1) * perPiece); }
};

// Formats one piece with the lock released; the lock is held again on
// return, with the piece marked ready or the error recorded.
void formatPiece(Schedule& schedule, std::unique_lock<std::mutex>& lock, std::vector<TextPiece>& buffers,
                 const OrderedTextWriter::FormatPiece& format, std::uint64_t piece)
{
    const std::size_t slot = static_cast<std::size_t>(piece % schedule.buffers);
    lock.unlock();
    std::exception_ptr error;
    try {
        buffers[slot].clear();
        format(piece * schedule.perPiece, schedule.endOf(piece), buffers[slot]);
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    if (error) {
        if (!schedule.error)
            schedule.error = error;
        schedule.stop = true;
    } else {
        schedule.ready[slot] = 1;
    }
    schedule.changed.notify_all();
}

void helpFormat(Schedule& schedule, std::vector<TextPiece>& buffers, const OrderedTextWriter::FormatPiece& format)
{
    std::unique_lock lock(schedule.mutex);
    for (;;) {
        schedule.changed.wait(lock, [&] {
            return schedule.stop || schedule.nextToFormat >= schedule.pieces || schedule.canClaim();
        });
        if (schedule.stop || schedule.nextToFormat >= schedule.pieces)
            return;
        formatPiece(schedule, lock, buffers, format, schedule.nextToFormat++);
    }
}

} // namespace

OperationResult OrderedTextWriter::write(AtomicFileWriter& out, std::uint64_t count, std::uint64_t elementsPerPiece,
                                         unsigned threads, const FormatPiece& format, const PieceWritten& written,
                                         Failure* failure)
{
    Schedule schedule;
    schedule.count = count;
    schedule.perPiece = std::max<std::uint64_t>(elementsPerPiece, 1);
    schedule.pieces = (count + schedule.perPiece - 1) / schedule.perPiece;
    threads = static_cast<unsigned>(std::clamp<std::uint64_t>(threads, 1, std::max<std::uint64_t>(schedule.pieces, 1)));
    // Two buffers a thread: one being formatted while the other waits its
    // turn to be written.
    schedule.buffers = threads == 1 ? 1 : 2 * std::size_t{threads};
    schedule.ready.assign(schedule.buffers, 0);
    try {
        if (buffers_.size() < schedule.buffers)
            buffers_.resize(schedule.buffers);
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }

    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);
    // Without a thread to be had, the calling thread does the rest.
    for (unsigned helper = 1; helper < threads; ++helper)
        if (!startThread(helpers, [&] { helpFormat(schedule, buffers_, format); }))
            break;

    bool cancelled = false;
    std::unique_lock lock(schedule.mutex);
    while (schedule.nextToWrite < schedule.pieces && !schedule.stop) {
        const std::size_t slot = static_cast<std::size_t>(schedule.nextToWrite % schedule.buffers);
        if (schedule.ready[slot]) {
            lock.unlock();
            out.write(buffers_[slot].text());
            const bool goOn = written(schedule.endOf(schedule.nextToWrite));
            lock.lock();
            schedule.ready[slot] = 0;
            ++schedule.nextToWrite;
            if (!goOn)
                cancelled = schedule.stop = true;
            schedule.changed.notify_all();
        } else if (schedule.canClaim()) {
            formatPiece(schedule, lock, buffers_, format, schedule.nextToFormat++);
        } else {
            schedule.changed.wait(lock);
        }
    }
    schedule.stop = true;
    schedule.changed.notify_all();
    lock.unlock();
    for (std::thread& helper : helpers)
        helper.join();

    if (schedule.error) {
        try {
            std::rethrow_exception(schedule.error);
        } catch (const std::bad_alloc&) {
            return failOutOfMemory(failure);
        }
    }
    return cancelled ? OperationResult::Cancelled : OperationResult::Success;
}

} // namespace morvex
