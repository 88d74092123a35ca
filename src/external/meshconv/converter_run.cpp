#include "external/meshconv/converter_run.h"

#include "external/meshconv/mesh_stream_decoder.h"
#include "support/platform/child_process.h"
#include "support/platform/files.h"
#include "support/platform/scratch_folder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace morvex {
namespace {

using Clock = std::chrono::steady_clock;

// Once the converter is gone, a connection that stays open without data
// (something it started still holds it) is given up after this long.
constexpr int DrainIdleMilliseconds = 2000;
constexpr std::size_t ReadPieceBytes = 256 * 1024;
// The converter's error output is kept to this size.
constexpr std::uint64_t ErrorOutputBytes = 64 * 1024;

void closeDescriptor(int& descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

// The listening socket and the thread that reads the converter's stream. It
// accepts one connection at a time and only from the converter process; a
// converter that connects again appends further objects.
class ConverterServer {
public:
    explicit ConverterServer(Model& model) : model_(model) {}
    ~ConverterServer()
    {
        stop(Request::Abort);
        closeDescriptor(listen_);
        closeDescriptor(wake_);
    }

    OperationResult open(const std::filesystem::path& socketPath, Failure* failure);
    void start(pid_t converter, std::uint32_t firstMessageMilliseconds)
    {
        converter_ = converter;
        firstMessage_ = std::chrono::milliseconds(firstMessageMilliseconds);
        thread_ = std::thread([this] { serve(); });
    }
    // The converter is gone: what it queued is still read. Abort reads no more.
    enum class Request : int { Serve, Drain, Abort };
    void stop(Request request)
    {
        if (!thread_.joinable())
            return;
        request_.store(static_cast<int>(request));
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
        thread_.join();
    }

    // Valid after stop().
    const std::string& problem() const { return problem_; }

private:
    void serve();
    void acceptConverter();
    void readConnection(std::vector<unsigned char>& buffer);
    void endConnection(std::string_view problem = {});
    int pollTimeout(bool draining) const;

    Model& model_;
    int listen_ = -1;
    int wake_ = -1;
    int connection_ = -1;
    pid_t converter_ = -1;
    std::chrono::milliseconds firstMessage_{2000};
    Clock::time_point helloDeadline_;
    std::unique_ptr<MeshStreamDecoder> decoder_;
    std::uint64_t connectionBytes_ = 0;
    std::atomic<int> request_{static_cast<int>(Request::Serve)};
    std::thread thread_;
    std::string problem_;
};

OperationResult ConverterServer::open(const std::filesystem::path& socketPath, Failure* failure)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = socketPath.string();
    if (text.size() >= sizeof address.sun_path)
        return failWith(failure, FailureKind::Unreadable,
                        "the temporary folder's path is too long for the converter's socket: " + text);
    std::copy(text.begin(), text.end(), address.sun_path);
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listen_ < 0 || wake_ < 0 || ::bind(listen_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 4) != 0)
        return failWith(failure, FailureKind::Unreadable,
                        "cannot open the converter's socket: " + systemErrorText(errno));
    return OperationResult::Success;
}

int ConverterServer::pollTimeout(bool draining) const
{
    int timeout = -1;
    if (connection_ >= 0 && !decoder_->helloReceived()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(helloDeadline_ - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<std::int64_t>(left, 0, INT32_MAX));
    }
    if (draining)
        timeout =
            connection_ < 0 ? 0 : (timeout < 0 ? DrainIdleMilliseconds : std::min(timeout, DrainIdleMilliseconds));
    return timeout;
}

void ConverterServer::serve()
{
    std::vector<unsigned char> buffer(ReadPieceBytes);
    for (;;) {
        const auto request = static_cast<Request>(request_.load());
        if (request == Request::Abort)
            break;
        const bool draining = request == Request::Drain;
        pollfd descriptors[2] = {{wake_, POLLIN, 0}, {connection_ >= 0 ? connection_ : listen_, POLLIN, 0}};
        const int ready = ::poll(descriptors, 2, pollTimeout(draining));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready < 0)
            continue;
        if (descriptors[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
            continue;
        }
        if (ready == 0) {
            if (connection_ < 0) // draining, and nothing is queued
                break;
            if (!decoder_->helloReceived() && Clock::now() >= helloDeadline_)
                endConnection("the converter sent nothing within " + std::to_string(firstMessage_.count()) +
                              " ms of connecting");
            else if (draining)
                endConnection("the converter ended, but its connection stayed open without data");
            continue;
        }
        if (connection_ < 0)
            acceptConverter();
        else
            readConnection(buffer);
    }
    if (connection_ >= 0)
        endConnection();
}

void ConverterServer::acceptConverter()
{
    const int accepted = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0)
        return;
    ucred peer{};
    socklen_t length = sizeof peer;
    // The folder is the user's alone; this keeps the user's other programs out too.
    if (::getsockopt(accepted, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.pid != converter_ ||
        peer.uid != ::getuid()) {
        ::close(accepted);
        return;
    }
    connection_ = accepted;
    connectionBytes_ = 0;
    decoder_ = std::make_unique<MeshStreamDecoder>(model_);
    helloDeadline_ = Clock::now() + firstMessage_;
}

void ConverterServer::readConnection(std::vector<unsigned char>& buffer)
{
    const ssize_t got = readRetrying(connection_, buffer.data(), buffer.size());
    if (got < 0) {
        if (errno != EAGAIN)
            endConnection("reading the converter's socket failed: " + systemErrorText(errno));
        return;
    }
    if (got == 0)
        return endConnection();
    connectionBytes_ += static_cast<std::uint64_t>(got);
    if (!decoder_->feed(buffer.data(), static_cast<std::size_t>(got)))
        endConnection();
}

// A connection that sent nothing at all is no fault: a converter that found
// nothing to send may connect and exit.
void ConverterServer::endConnection(std::string_view problem)
{
    const bool intact = decoder_->finish() || (connectionBytes_ == 0 && problem.empty());
    if (problem_.empty() && !problem.empty())
        problem_ = problem;
    else if (problem_.empty() && !intact)
        problem_ = decoder_->problem();
    decoder_.reset();
    closeDescriptor(connection_);
}

std::string converterFailure(const ChildExit& exit, const ConverterLimits& limits,
                             const std::filesystem::path& errorOutput)
{
    std::string why = "the external converter could not read the file (" + exit.describe() + ")";
    if (!exit.exited && exit.signal == SIGXCPU)
        why += ": it used more than " + std::to_string(limits.cpuSeconds) + " s of processor time";
    if (const std::string said = errorOutputSummary(errorOutput); !said.empty())
        why += ": " + said;
    return why;
}

} // namespace

std::uint64_t defaultConverterMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t physical = pages > 0 && pageSize > 0 ? std::uint64_t(pages) * std::uint64_t(pageSize) : 0;
    constexpr std::uint64_t GiB = std::uint64_t(1) << 30;
    return std::clamp<std::uint64_t>(physical / 2, GiB, 4 * GiB);
}

OperationResult runConverterProgram(ProgressReporter& reporter, Model& model, const std::filesystem::path& converter,
                                    const std::filesystem::path& source, const ConverterLimits& limits,
                                    Failure* failure)
{
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    ScratchFolder folder;
    if (folder.create(failure) != OperationResult::Success)
        return OperationResult::Failure;
    const std::filesystem::path socketPath =
        folder.path() / ("quellor.assimpext." + std::to_string(::getpid()) + "-" + std::to_string(::gettid()));
    const std::filesystem::path errorOutput = folder.path() / "converter-errors.txt";

    ConverterServer server(model);
    if (server.open(socketPath, failure) != OperationResult::Success)
        return OperationResult::Failure;
    ChildProcess process;
    const std::string arguments[] = {socketPath.string(), source.string()};
    const ChildLimits childLimits{limits.memoryBytes != 0 ? limits.memoryBytes : defaultConverterMemoryBytes(),
                                  limits.cpuSeconds, ErrorOutputBytes};
    if (process.start(converter, arguments, childLimits, errorOutput, failure) != OperationResult::Success)
        return OperationResult::Failure;
    server.start(process.pid(), limits.firstMessageMilliseconds);

    const WaitableEvent* ended[] = {&process.ended()};
    const WaitResult waited = reporter.waitForAnyHandle(ended, limits.wallSeconds * 1000u);
    if (waited != WaitResult::Signalled) {
        process.killGroup();
        server.stop(ConverterServer::Request::Abort);
    }
    const ChildExit exit = process.finish();
    server.stop(ConverterServer::Request::Drain);

    if (waited == WaitResult::Stopped)
        return OperationResult::Cancelled;
    if (waited == WaitResult::TimedOut)
        return failWith(failure, FailureKind::Malformed,
                        "the external converter did not finish within " + std::to_string(limits.wallSeconds) +
                            " s and was stopped");
    if (!exit.exited || exit.code != 0)
        return failWith(failure, FailureKind::Malformed, converterFailure(exit, limits, errorOutput));
    if (!server.problem().empty())
        return failWith(failure, FailureKind::Malformed,
                        "the external converter's data is damaged: " + server.problem());
    return OperationResult::Success;
}

} // namespace morvex
