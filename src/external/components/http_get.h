#pragma once

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// HTTP GET for component downloads, through libcurl. Plain HTTP is allowed:
// nothing fetched is trusted before its signature verifies. Only http and
// https are followed, redirects included, and every transfer is bounded in
// size and time and ends at once on a stop request.

namespace morvex {

struct HttpLimits {
    std::uint64_t maxBytes = 0;          // a larger body fails the transfer
    std::uint32_t totalMilliseconds = 0; // the whole transfer; 0 for no limit
    std::uint32_t connectMilliseconds = 0;
    // A transfer slower than 1 KiB/s for this long is given up (0: never).
    std::uint32_t stallMilliseconds = 0;
};

// The small version file: at most 2048 bytes within 17,048 ms.
HttpLimits versionFileLimits();
// A component package or its signature of at most `maxBytes`: 15 s to
// connect, given up when it stalls for 60 s, no overall limit.
HttpLimits packageLimits(std::uint64_t maxBytes);

struct HttpResponse {
    long status = 0;  // 0 when no response came
    std::string body; // for httpGetText
};

// The body into memory. Success only with status 200 and a body within the
// limits; Cancelled on a stop request; otherwise Failure with the reason.
OperationResult httpGetText(std::string_view url, const HttpLimits& limits, ProgressReporter& reporter,
                            HttpResponse& response, Failure* failure = nullptr);

// The body into a new file (which must not exist), reporting the fraction
// received when the size is known. A failed transfer removes the file.
OperationResult httpGetFile(std::string_view url, const std::filesystem::path& file, const HttpLimits& limits,
                            ProgressReporter& reporter, Failure* failure = nullptr);

// The online test: whether a connection to the host of the URL can be
// made within the time.
bool canReachHost(std::string_view url, std::uint32_t milliseconds);

} // namespace morvex
