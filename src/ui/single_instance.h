#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class QLocalServer;

namespace morvex::ui {

// One desktop window per user. A start takes the start-up lock, offers its
// arguments to a running window over a per-user local socket, and only when
// nobody answers opens a window of its own, keeping the lock until its
// socket listens so that a second start cannot miss it.

// $XDG_RUNTIME_DIR when it is a usable folder (private, and short enough
// for a socket's name), else a folder of this user's own (mode 0700) in the
// temporary folder.
std::filesystem::path instanceFolder();
QString instanceSocketPath();

// The start-up lock: an advisory lock on a file in the instance folder.
class StartupLock {
public:
    StartupLock() = default;
    StartupLock(const StartupLock&) = delete;
    StartupLock& operator=(const StartupLock&) = delete;
    ~StartupLock() { release(); }

    // Tries every 50 ms within the time; false when it could not be taken
    // (the start then goes on as if it were the first).
    bool acquire(std::uint32_t milliseconds);
    void release();

private:
    int descriptor_ = -1;
};

// Sends the hand-over block to the running window; false when none listens.
// Paths are made absolute first: the running window has another working
// folder.
bool sendToRunningInstance(const std::vector<std::string>& arguments);

// The running window's end: accepts connections from this user only and
// passes on every block of exactly the right size.
class InstanceServer : public QObject {
    Q_OBJECT
public:
    explicit InstanceServer(QObject* parent = nullptr);
    // Listens on the per-user socket; a socket file left by a crashed
    // instance (nobody answers on it) is taken over.
    bool listen();
    QString socketPath() const;

signals:
    void argumentsReceived(const std::vector<std::string>& arguments);

private:
    void acceptConnection();
    QLocalServer* server_ = nullptr;
};

} // namespace morvex::ui
