#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>

namespace morvex {

// Bounds of one converter run. A hostile file makes the converter fail
// within them instead of holding a worker: the memory and processor limits
// end the process by itself, the wall-clock limit is kept from here.
struct ConverterLimits {
    std::uint32_t wallSeconds = 600;
    std::uint32_t cpuSeconds = 300;
    std::uint64_t memoryBytes = 0; // 0: defaultConverterMemoryBytes()
    // From the connection to the hello message.
    std::uint32_t firstMessageMilliseconds = 2000;
};

// Half of the machine's memory, at most 4 GiB and at least 1 GiB.
std::uint64_t defaultConverterMemoryBytes();

// Runs one converter program on the source and appends the objects it
// streams to the model:
//
// 1. A socket is made in a fresh private folder (mode 0700) and the program
//    is started with the socket's path and the source path, in a process
//    group of its own, under the limits. Only that process may connect:
//    other users cannot reach the folder, and a connection from any other
//    process is closed unread.
// 2. The hello message must arrive within firstMessageMilliseconds of the
//    connection; after it the reading waits as long as the process lives.
// 3. The call waits for the process to end, for the stop request (the group
//    is killed at once and the result is Cancelled) or for the wall-clock
//    limit (the group is killed; Failure).
// 4. Success when the process exited with 0 and what it sent was intact or
//    empty; Failure with the reason otherwise. Objects already added stay.
//
// No thread or process of the run is left when it returns.
OperationResult runConverterProgram(ProgressReporter& reporter, Model& model, const std::filesystem::path& converter,
                                    const std::filesystem::path& source, const ConverterLimits& limits,
                                    Failure* failure = nullptr);

} // namespace morvex
