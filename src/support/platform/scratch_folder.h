#pragma once

#include "support/core/operation_result.h"

#include <filesystem>
#include <string>

namespace morvex {

// A private working folder in the system's temporary folder, named
// "Morvex-<thread id>-<n>" with n counting from 1 until a name is free. It is
// created with mode 0700 and taken exclusively (an existing folder of that
// name is never reused), and removed with its contents when the object goes.
class ScratchFolder {
public:
    ScratchFolder() = default;
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    OperationResult create(Failure* failure = nullptr);
    // Empty until create() succeeded.
    const std::filesystem::path& path() const { return path_; }

private:
    void remove();

    std::filesystem::path path_;
};

} // namespace morvex
