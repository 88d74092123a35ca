#pragma once

#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"
#include "support/progress/progress_reporter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace morvex {

// A large text file is read by several threads at once: it is cut at line
// endings into one piece per thread, the pieces are read into arrays of
// their own, and the arrays are joined in file order. Below this many bytes
// per piece a thread costs more than it saves.
std::uint64_t minimumTextPieceBytes();
// For tests, which split small files: 0 restores the default.
void setMinimumTextPieceBytes(std::uint64_t bytes);

// Texts read in pieces so far in this process, counted by the readers when
// the joined pieces were used (not read again as one): tests make sure the
// pieces were what they compared.
std::uint64_t textsReadInPieces();
void countTextReadInPieces();

// How many pieces `bytes` of text are worth: 1 when the file is small or
// one thread per file is allowed.
unsigned textPiecesFor(std::uint64_t bytes);

// Where `text` is cut into `pieces` pieces of about equal size: pieces + 1
// offsets from 0 to text.size(), each cut just after a line ending (never
// between the CR and the LF of one ending), so that every line lies whole in
// one piece. A piece may be empty when lines are longer than a piece.
std::vector<std::size_t> lineCuts(std::string_view text, unsigned pieces);

// A text a reader may cut into pieces, and the mapped file that holds it
// (none for text in memory), whose pages the pieces give back as they pass.
struct WholeText {
    std::string_view text;
    const MappedFile* mapping = nullptr;
};

// Gives back, every few megabytes, the mapped pages one piece has read past,
// so that a large file's pages do not stay beside what is built from them.
class PassedPages {
public:
    PassedPages(const MappedFile* mapping, const char* pieceStart)
        : mapping_(mapping), released_(mapping != nullptr ? offsetOf(pieceStart) : 0)
    {
    }
    void passed(const char* at)
    {
        if (mapping_ == nullptr || offsetOf(at) < released_ + Step)
            return;
        mapping_->releaseRange(released_, offsetOf(at));
        released_ = offsetOf(at);
    }

private:
    static constexpr std::uint64_t Step = 8u << 20;
    std::uint64_t offsetOf(const char* at) const { return static_cast<std::uint64_t>(at - mapping_->data()); }

    const MappedFile* mapping_;
    std::uint64_t released_;
};

// Runs work(piece) for every piece, piece 0 on the calling thread and the
// others on threads of their own. Only the calling thread talks to the
// reporter: while the helpers run it asks it about cancelling every few
// milliseconds and raises `stop`, which the pieces check as they go. An
// exception in any piece is rethrown here once all have ended; a piece that
// gets no thread is read on the calling thread.
template <typename Work>
void readPieces(unsigned pieces, ProgressReporter& reporter, std::atomic<bool>& stop, Work&& work)
{
    std::vector<std::exception_ptr> errors(pieces);
    const auto run = [&](unsigned piece) {
        try {
            work(piece);
        } catch (...) {
            errors[piece] = std::current_exception();
            stop.store(true, std::memory_order_relaxed);
        }
    };
    // The calling thread sleeps between its looks at the reporter, and the
    // last helper to end wakes it at once.
    std::mutex doneLock;
    std::condition_variable done;
    unsigned running = 0;
    std::vector<std::thread> helpers;
    std::vector<unsigned> onThisThread{0};
    helpers.reserve(pieces);
    for (unsigned piece = 1; piece < pieces; ++piece) {
        try {
            {
                const std::lock_guard<std::mutex> hold(doneLock);
                ++running;
            }
            helpers.emplace_back([&, piece] {
                run(piece);
                const std::lock_guard<std::mutex> hold(doneLock);
                if (--running == 0)
                    done.notify_one();
            });
        } catch (...) { // no thread to be had: the piece is read here
            {
                const std::lock_guard<std::mutex> hold(doneLock);
                --running;
            }
            onThisThread.push_back(piece);
        }
    }
    for (const unsigned piece : onThisThread)
        if (piece < pieces)
            run(piece);
    std::unique_lock<std::mutex> hold(doneLock);
    while (running > 0) {
        hold.unlock();
        if (!stop.load(std::memory_order_relaxed) && reporter.isCancelled())
            stop.store(true, std::memory_order_relaxed);
        hold.lock();
        done.wait_for(hold, std::chrono::milliseconds(2), [&] { return running == 0; });
    }
    hold.unlock();
    joinAndRethrow(helpers, errors);
}

} // namespace morvex
