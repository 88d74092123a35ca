// A stand-in for the external mesh converter, built for the tests only. It
// takes the same two arguments; the first word of the input file says how
// to misbehave.

#include "external/meshconv/converter_wire.h"
#include "support/platform/helper_limits.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace wire = morvex::wire;

int connectTo(const char* path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        std::exit(90);
    return descriptor;
}

void send(int descriptor, const std::vector<unsigned char>& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t sent = ::send(descriptor, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (sent <= 0)
            std::exit(91);
        at += static_cast<std::size_t>(sent);
    }
}

void append(std::vector<unsigned char>& out, const void* bytes, std::size_t size)
{
    const auto* at = static_cast<const unsigned char*>(bytes);
    out.insert(out.end(), at, at + size);
}

void appendU32(std::vector<unsigned char>& out, std::uint32_t value)
{
    unsigned char bytes[4];
    wire::putU32(bytes, value);
    append(out, bytes, 4);
}

void appendFloats(std::vector<unsigned char>& out, std::initializer_list<float> values)
{
    for (float value : values) {
        unsigned char bytes[4];
        wire::putFloat(bytes, value);
        append(out, bytes, 4);
    }
}

std::vector<unsigned char> hello()
{
    unsigned char bytes[wire::HelloBytes];
    wire::encodeHello(bytes, 7);
    return {bytes, bytes + sizeof bytes};
}

// Two objects: a triangle with one colour per vertex, then a quad of two
// triangles without colours.
std::vector<unsigned char> twoObjectsPayload()
{
    std::vector<unsigned char> payload;
    appendU32(payload, 3); // V
    appendU32(payload, 1); // T
    appendU32(payload, 0); // N
    appendU32(payload, 3); // C
    appendU32(payload, 0); // U
    appendFloats(payload, {0, 0, 0, 1, 0, 0, 0, 1, 0});
    appendU32(payload, 0);
    appendU32(payload, 1);
    appendU32(payload, 2);
    appendFloats(payload, {1.0f, 0.5f, 0.0f, 1.0f, 0, 0, 1, 1, 1, 1, 1, 0});
    appendU32(payload, 4);
    appendU32(payload, 2);
    appendU32(payload, 0);
    appendU32(payload, 0);
    appendU32(payload, 0);
    appendFloats(payload, {0, 0, 5, 1, 0, 5, 1, 1, 5, 0, 1, 5});
    for (std::uint32_t index : {0u, 1u, 2u, 0u, 2u, 3u})
        appendU32(payload, index);
    return payload;
}

std::vector<unsigned char> meshMessage(const std::vector<unsigned char>& payload, std::uint32_t declaredExtra = 0)
{
    unsigned char header[wire::MeshHeaderBytes];
    wire::encodeMeshHeader(header, static_cast<std::uint32_t>(wire::MeshHeaderBytes + payload.size()) + declaredExtra);
    std::vector<unsigned char> bytes(header, header + sizeof header);
    append(bytes, payload.data(), payload.size());
    return bytes;
}

void sleepForever()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(60));
}

int act(const std::string& mode, const char* socketPath)
{
    if (mode == "nothing")
        return 0;
    if (mode == "hang")
        sleepForever();
    if (mode == "fail")
        return std::fprintf(stderr, "the fake cannot read this\n"), 3;
    if (mode == "spin") {
        std::atomic<unsigned long> spins{0};
        for (;;)
            spins.fetch_add(1, std::memory_order_relaxed);
    }
    if (mode == "hog") {
        const std::size_t size = std::size_t(2) << 30;
        auto* block = static_cast<char*>(std::malloc(size));
        if (block == nullptr)
            return std::fprintf(stderr, "no memory for the hog\n"), 6;
        std::memset(block, 1, size);
        return block[size - 1];
    }
    if (mode == "descriptors") {
        // Only standard input, output and error are expected; the listing's
        // own descriptor is the fourth.
        int open = 0;
        for (int descriptor = 0; descriptor < 1024; ++descriptor)
            open += ::fcntl(descriptor, F_GETFD) != -1 ? 1 : 0;
        return open == 3 ? 0 : 10 + open;
    }
    if (mode == "intruder") {
        // A process other than the converter connects and sends a mesh.
        if (::fork() == 0) {
            const int descriptor = connectTo(socketPath);
            std::vector<unsigned char> bytes = hello();
            const std::vector<unsigned char> mesh = meshMessage(twoObjectsPayload());
            bytes.insert(bytes.end(), mesh.begin(), mesh.end());
            send(descriptor, bytes);
            ::_exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return 0;
    }

    const int descriptor = connectTo(socketPath);
    std::vector<unsigned char> bytes;
    if (mode == "silent") {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return 0;
    }
    if (mode == "garbage") {
        std::uint32_t state = 12345;
        for (int i = 0; i < 4096; ++i) {
            state = state * 1103515245u + 12345u;
            bytes.push_back(static_cast<unsigned char>(state >> 16));
        }
        send(descriptor, bytes);
        return 0;
    }
    bytes = hello();
    const std::vector<unsigned char> payload = twoObjectsPayload();
    std::vector<unsigned char> mesh = meshMessage(payload);
    if (mode == "counts-beyond") {
        // The block claims a billion vertices in a message of a few bytes.
        std::vector<unsigned char> lying = payload;
        wire::putU32(lying.data(), 1000000000u);
        mesh = meshMessage(lying);
    } else if (mode == "bad-index") {
        std::vector<unsigned char> broken = payload;
        wire::putU32(broken.data() + 20 + 36 + 8, 3); // the first triangle's third index
        mesh = meshMessage(broken);
    }
    bytes.insert(bytes.end(), mesh.begin(), mesh.end());
    if (mode == "too-many")
        bytes.resize(bytes.size() + (1 << 20), 0xAB);
    if (mode == "crash") {
        bytes.resize(bytes.size() / 2);
        send(descriptor, bytes);
        std::raise(SIGSEGV);
    }
    if (mode == "hang-after-hello") {
        send(descriptor, hello());
        sleepForever();
    }
    if (mode == "straggler") {
        // Something it started keeps the connection open after it exits.
        if (::fork() == 0)
            sleepForever();
    }
    send(descriptor, bytes);
    if (mode == "valid-then-fail")
        return 4;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    morvex::applyHelperLimitsFromEnvironment();
    if (argc != 3)
        return 2;
    std::string mode;
    {
        std::ifstream input(argv[2]);
        if (!(input >> mode))
            return 3;
    }
    return act(mode, argv[1]);
}
