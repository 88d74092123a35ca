#include "terminal.h"

#include "support/text/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace morvex::cli {

InterruptWatcher::InterruptWatcher(StoppableReporter& reporter) : reporter_(reporter)
{
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0)
        wakePipe_[0] = wakePipe_[1] = -1;
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGUSR1);
    // Blocked before any other thread starts, so every thread inherits it
    // and only the watcher receives the signals.
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] {
        int signal = 0;
        while (sigwait(&signals_, &signal) == 0) {
            if (signal == SIGUSR1)
                return; // our own wake-up at exit
            interrupted_.store(true);
            reporter_.requestStop();
            if (wakePipe_[1] >= 0) {
                const char byte = 1;
                [[maybe_unused]] const ssize_t wrote = ::write(wakePipe_[1], &byte, 1);
            }
        }
    });
}

InterruptWatcher::~InterruptWatcher()
{
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    for (int descriptor : wakePipe_)
        if (descriptor >= 0)
            ::close(descriptor);
}

bool standardInputIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

bool standardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

std::optional<std::string> readAnswerLine(const InterruptWatcher* watcher)
{
    std::string line;
    for (;;) {
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {watcher != nullptr ? watcher->wakeDescriptor() : -1, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (watcher != nullptr && watcher->interrupted())
            return std::nullopt;
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (c == '\n')
            return line;
        line += c;
    }
}

std::string displayPath(std::string_view path)
{
    return escapeForDisplay(path);
}

ErrorOutput& ErrorOutput::instance()
{
    static ErrorOutput output;
    return output;
}

ErrorOutput::ErrorOutput()
{
    const char* term = std::getenv("TERM");
    escapes_ = term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void ErrorOutput::eraseProgressLocked()
{
    if (escapes_) {
        std::fputs("\r\033[K", stderr);
        return;
    }
    const std::string blank = "\r" + std::string(progressWidth_, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), stderr);
}

void ErrorOutput::clearProgressLocked()
{
    if (progressShown_) {
        eraseProgressLocked();
        progressShown_ = false;
    }
}

void ErrorOutput::writeLocked(std::string_view text)
{
    clearProgressLocked();
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void ErrorOutput::write(std::string_view text)
{
    std::lock_guard lock(mutex_);
    writeLocked(text);
}

void ErrorOutput::showProgressLocked(std::string_view line)
{
    if (progressShown_)
        eraseProgressLocked();
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    progressShown_ = true;
    progressWidth_ = 0;
    for (const char c : line) // UTF-8 characters, as the line was cut to the width
        progressWidth_ += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

} // namespace morvex::cli
