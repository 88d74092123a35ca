#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// What went wrong, in the terms a caller acts on: a damaged file is worth
// reporting to its author, a full disk or a missing file to the user.
enum class FailureKind : int {
    Malformed = 0,   // the bytes are not a valid file of the format
    Unreadable = 1,  // the file could not be opened or read
    Unwritable = 2,  // an output could not be created, written or moved
    OutOfMemory = 3, // memory ran out (or the memory guard refused)
    Cancelled = 4,   // the user asked to stop
    Unsupported = 5, // valid input that this program cannot handle
};

const char* failureKindName(FailureKind kind);

// Why an operation failed, and where a reader stopped when it knows. Text
// formats give the 1-based line, binary formats the byte offset.
struct Failure {
    FailureKind kind = FailureKind::Malformed;
    std::string message;
    std::optional<std::uint64_t> line;
    std::optional<std::uint64_t> byteOffset;

    // Only the first failure is kept: later ones are consequences of it.
    bool recorded() const { return !message.empty(); }
    bool hasPosition() const { return line.has_value() || byteOffset.has_value(); }
};

// Sets the failure when none is recorded yet; nullptr is allowed.
void recordFailure(Failure* failure, FailureKind kind, std::string_view message);

// Places a recorded failure that has no position yet at a line (text
// readers) or a byte offset (binary readers).
void placeAtLine(Failure* failure, std::uint64_t line);
void placeAtByte(Failure* failure, std::uint64_t offset);

// The failure for people: "line 1204: face index 9999999 out of range",
// "byte 84: file is truncated", or the message alone without a position.
std::string describeFailure(const Failure& failure);

} // namespace morvex
