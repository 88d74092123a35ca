#pragma once

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace morvex {

// How a large file is compressed, on one thread or several. The input is
// cut into pieces compressed independently, each piece after the first
// primed with the 32 KiB of input before it so that matches still reach
// back across the cut; every piece but the last ends with a sync flush (an
// empty stored block that leaves the stream on a byte boundary), the last
// finishes the stream. The pieces joined in order are one ordinary raw
// deflate stream, which every inflater reads, and its bytes do not depend on
// the number of threads.
struct DeflateSplit {
    unsigned threads = 1;                      // pieces compressed at once
    std::uint64_t minimumFileBytes = 4u << 20; // smaller files are deflated whole by libzip
    std::size_t pieceBytes = 1u << 20;         // input of one piece
};

// The split that the thread cap of the current file allows.
DeflateSplit deflateSplitForThisFile();

// What a compressed file holds, for its zip entry.
struct DeflatedFile {
    std::uint64_t size = 0;           // bytes of input
    std::uint64_t compressedSize = 0; // bytes of raw deflate written
    std::uint32_t crc = 0;            // CRC-32 of the input
};

// Compresses `source` into `target` as raw deflate, in pieces on
// split.threads threads (one round of pieces at a time, so that memory holds
// no more than a round's output). Cancelled between rounds; the target is
// then left incomplete for the caller to remove.
OperationResult deflateInPieces(const std::filesystem::path& source, const std::filesystem::path& target,
                                const DeflateSplit& split, ProgressReporter& reporter, DeflatedFile& deflated,
                                Failure* failure = nullptr);

} // namespace morvex
