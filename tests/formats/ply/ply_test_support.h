#pragma once

#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"
#include "formats/ply/ply.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace morvex::testing {

// Builds binary PLY files of either byte order value by value, so that the
// same data can be written as twins.
class BinaryPlyBuilder {
public:
    explicit BinaryPlyBuilder(bool bigEndian) : bigEndian_(bigEndian) {}

    BinaryPlyBuilder& line(std::string_view text)
    {
        header_.append(text);
        header_.push_back('\n');
        return *this;
    }

    template <typename T>
    BinaryPlyBuilder& put(T value)
    {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        if (bigEndian_)
            std::reverse(bytes, bytes + sizeof(T));
        body_.append(bytes, sizeof(T));
        return *this;
    }

    template <typename T, std::size_t N>
    BinaryPlyBuilder& put(const std::array<T, N>& values)
    {
        for (const T& value : values)
            put(value);
        return *this;
    }

    std::string bytes() const
    {
        return std::string("ply\nformat ") + (bigEndian_ ? "binary_big_endian" : "binary_little_endian") + " 1.0\n" +
               header_ + "end_header\n" + body_;
    }

private:
    bool bigEndian_;
    std::string header_;
    std::string body_;
};

struct PlyReadResult {
    OperationResult result = OperationResult::Failure;
    Failure failure;
};

// Writes the bytes to a file in the folder and reads it back.
inline PlyReadResult readPlyBytes(const TempDir& dir, std::string_view bytes, Model& model,
                                  ProgressReporter* reporter = nullptr)
{
    const auto path = dir / "input.ply";
    writeFile(path, bytes);
    RecordingReporter quiet;
    PlyReadResult outcome;
    outcome.result = ply::readPly(path, model, reporter != nullptr ? *reporter : quiet, &outcome.failure);
    return outcome;
}

} // namespace morvex::testing
