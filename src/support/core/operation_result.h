#pragma once

#include <string>
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
inline OperationResult failWith(std::string* reason, std::string_view text)
{
    if (reason != nullptr && reason->empty())
        reason->assign(text);
    return OperationResult::Failure;
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
