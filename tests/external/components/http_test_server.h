#pragma once

// A small HTTP server on 127.0.0.1 for the download tests: it answers GET
// requests for the paths it was given with their bytes, every other path
// with 404, one connection at a time, and counts the requests per path.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace morvex::testing {

class HttpTestServer {
public:
    HttpTestServer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(address.sin_port);
        if (::pipe2(wake_, O_CLOEXEC) != 0)
            ADD_FAILURE() << "no pipe";
        thread_ = std::thread([this] { run(); });
    }
    ~HttpTestServer()
    {
        if (thread_.joinable()) {
            const char byte = 0;
            [[maybe_unused]] const ssize_t written = ::write(wake_[1], &byte, 1);
            thread_.join();
        }
        for (const int descriptor : {listener_, wake_[0], wake_[1]})
            if (descriptor >= 0)
                ::close(descriptor);
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void serve(const std::string& path, std::string bytes)
    {
        std::lock_guard lock(mutex_);
        files_[path] = std::move(bytes);
    }
    int requests(const std::string& path) const
    {
        std::lock_guard lock(mutex_);
        const auto found = requests_.find(path);
        return found == requests_.end() ? 0 : found->second;
    }

    // A URL where nothing listens: connections are refused at once.
    static std::string refusingUrl()
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(probe);
        return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }

private:
    void run()
    {
        while (true) {
            pollfd waits[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 || (waits[1].revents & POLLIN) != 0)
                return;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                answer(client);
                ::close(client);
            }
        }
    }

    // Reads the request head (the online test connects and sends nothing).
    void answer(int client)
    {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd wait{client, POLLIN, 0};
            if (::poll(&wait, 1, 2000) <= 0)
                return;
            const ssize_t got = ::read(client, buffer, sizeof buffer);
            if (got <= 0)
                return;
            head.append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t pathStart = head.find(' ') + 1;
        const std::string path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);
        std::string response;
        {
            std::lock_guard lock(mutex_);
            ++requests_[path];
            const auto found = files_.find(path);
            const std::string body = found == files_.end() ? "not here" : found->second;
            response = std::string(found == files_.end() ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        }
        for (std::size_t sent = 0; sent < response.size();) {
            const ssize_t step = ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (step <= 0)
                return;
            sent += static_cast<std::size_t>(step);
        }
    }

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
    std::map<std::string, int> requests_;
};

} // namespace morvex::testing
