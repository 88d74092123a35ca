#pragma once

#include "support/platform/helper_limits.h"

#include <cstdio>
#include <exception>
#include <new>

// The shape every helper program's main() shares. Header only: helper
// programs do not link our libraries.

namespace morvex {

struct HelperExitCodes {
    int usage;
    int outOfMemory;
    int failed; // anything else thrown
};

// Applies the limits from the environment before anything is read, checks
// that two arguments were given (else prints `usage` and exits with
// codes.usage), and runs convert(argv[1], argv[2]); what it throws becomes
// a line on standard error and an exit code.
template <typename Convert>
int runHelper(int argc, char** argv, const char* usage, const HelperExitCodes& codes, Convert&& convert)
{
    applyHelperLimitsFromEnvironment();
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s\n", usage);
        return codes.usage;
    }
    try {
        return convert(argv[1], argv[2]);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "out of memory\n");
        return codes.outOfMemory;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return codes.failed;
    }
}

} // namespace morvex
