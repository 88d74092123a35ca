#pragma once

#include "formats/docs3dp/chunk_format.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <sys/resource.h>

namespace morvex::testing {

using docs3dp::ChunkType;

// Hand-built bytes of chunked files, for damaged input the writer never makes.

inline std::span<const unsigned char> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

template <typename T>
std::string littleEndian(T value)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

inline std::string chunkHeader(std::uint16_t id, ChunkType type, std::uint64_t size)
{
    return littleEndian(id) + littleEndian(static_cast<std::uint16_t>(type)) + littleEndian(size);
}

// A chunk whose header states the true size of `content`.
inline std::string chunk(std::uint16_t id, ChunkType type, const std::string& content)
{
    return chunkHeader(id, type, content.size()) + content;
}

inline std::string fileHeader(std::uint16_t version = 1)
{
    return std::string("lsdf") + littleEndian<std::uint16_t>(1) + littleEndian<std::uint32_t>(32) +
           littleEndian(version);
}

// Header, root group around `content`, trailer.
inline std::string chunkedFile(const std::string& content, std::uint16_t version = 1)
{
    return fileHeader(version) + chunk(0, ChunkType::Group, content) + "lsdf";
}

// Lowers the file size limit for its lifetime, so that writes beyond it fail
// as they would on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return active_; }

private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
    bool active_ = false;
};

} // namespace morvex::testing
