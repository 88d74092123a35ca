#pragma once

#include "support/core/failure.h"

#include <string_view>

namespace morvex {

// Outcome of every reader, writer, mesh step and external tool call.
// The numeric values are stable: front ends and logs show them.
enum class OperationResult : int {
    Success = 0,
    Cancelled = 1,
    Failure = 2,
};

// Records why an operation failed (for the log and the command line) and
// returns Failure, so that failure paths stay one line long.
inline OperationResult failWith(Failure* failure, FailureKind kind, std::string_view message)
{
    recordFailure(failure, kind, message);
    return OperationResult::Failure;
}

// The same at a known position: a 1-based line of a text file, or a byte
// offset of a binary one.
inline OperationResult failAtLine(Failure* failure, FailureKind kind, std::uint64_t line, std::string_view message)
{
    if (failure != nullptr && !failure->recorded()) {
        recordFailure(failure, kind, message);
        failure->line = line;
    }
    return OperationResult::Failure;
}

inline OperationResult failAtByte(Failure* failure, FailureKind kind, std::uint64_t offset, std::string_view message)
{
    if (failure != nullptr && !failure->recorded()) {
        recordFailure(failure, kind, message);
        failure->byteOffset = offset;
    }
    return OperationResult::Failure;
}

// Passes on a failure recorded elsewhere, position included.
inline OperationResult failWith(Failure* failure, const Failure& cause)
{
    if (failure != nullptr && !failure->recorded())
        *failure = cause;
    return OperationResult::Failure;
}

inline OperationResult failOutOfMemory(Failure* failure)
{
    return failWith(failure, FailureKind::OutOfMemory, "out of memory");
}

inline const char* operationResultName(OperationResult result)
{
    switch (result) {
    case OperationResult::Success: return "ok";
    case OperationResult::Cancelled: return "cancelled";
    case OperationResult::Failure: return "failed";
    }
    return "failed";
}

} // namespace morvex
