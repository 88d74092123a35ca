#include "support/core/failure.h"

namespace morvex {

const char* failureKindName(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Malformed: return "malformed";
    case FailureKind::Unreadable: return "unreadable";
    case FailureKind::Unwritable: return "unwritable";
    case FailureKind::OutOfMemory: return "out of memory";
    case FailureKind::Cancelled: return "cancelled";
    case FailureKind::Unsupported: return "unsupported";
    }
    return "malformed";
}

void recordFailure(Failure* failure, FailureKind kind, std::string_view message)
{
    if (failure == nullptr || failure->recorded())
        return;
    failure->kind = kind;
    failure->message.assign(message.empty() ? std::string_view(failureKindName(kind)) : message);
}

void placeAtLine(Failure* failure, std::uint64_t line)
{
    if (failure != nullptr && failure->recorded() && !failure->hasPosition())
        failure->line = line;
}

void placeAtByte(Failure* failure, std::uint64_t offset)
{
    if (failure != nullptr && failure->recorded() && !failure->hasPosition())
        failure->byteOffset = offset;
}

std::string describeFailure(const Failure& failure)
{
    std::string text;
    if (failure.line)
        text = "line " + std::to_string(*failure.line) + ": ";
    else if (failure.byteOffset)
        text = "byte " + std::to_string(*failure.byteOffset) + ": ";
    return text + failure.message;
}

} // namespace morvex
