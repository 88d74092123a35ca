#include "ui/single_instance.h"

#include "app/instance_handover.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace morvex::ui {
namespace {

constexpr int ConnectTimeoutMs = 1000;
constexpr int WriteTimeoutMs = 5000;
constexpr const char* SocketName = "morvex-instance";

// Whether a socket in the folder has a name that fits a socket address: a
// longer one cannot be listened on, and the start would wrongly think
// itself alone.
bool socketNameFits(const std::filesystem::path& folder)
{
    return (folder / SocketName).native().size() < sizeof(sockaddr_un::sun_path);
}

bool isPrivateFolder(const std::filesystem::path& folder)
{
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
           (info.st_mode & 077) == 0;
}

QString nativePath(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

std::string absoluteArgument(const std::string& argument)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(argument, error);
    return error ? argument : absolute.lexically_normal().string();
}

} // namespace

std::filesystem::path instanceFolder()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        if (isPrivateFolder(runtime) && socketNameFits(runtime))
            return runtime;
    }
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error)
        folder = "/tmp";
    folder /= "morvex-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

QString instanceSocketPath()
{
    return nativePath(instanceFolder() / SocketName);
}

bool StartupLock::acquire(std::uint32_t milliseconds)
{
    const std::filesystem::path folder = instanceFolder();
    if (!isPrivateFolder(folder))
        return false;
    const std::filesystem::path file = folder / "MorvexStarting.lock";
    descriptor_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor_ < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            release();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void StartupLock::release()
{
    if (descriptor_ >= 0)
        ::close(descriptor_); // closing drops the lock
    descriptor_ = -1;
}

bool sendToRunningInstance(const std::vector<std::string>& arguments)
{
    const QString path = instanceSocketPath();
    if (!isPrivateFolder(instanceFolder()))
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(ConnectTimeoutMs))
        return false;
    std::vector<std::string> absolute;
    absolute.reserve(arguments.size());
    for (std::size_t i = 0; i < arguments.size(); ++i)
        absolute.push_back(i == 0 ? arguments[i] : absoluteArgument(arguments[i]));
    const std::string block = encodeHandoverBlock(absolute);
    socket.write(block.data(), static_cast<qint64>(block.size()));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(WriteTimeoutMs))
            return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(WriteTimeoutMs);
    return true;
}

InstanceServer::InstanceServer(QObject* parent) : QObject(parent), server_(new QLocalServer(this))
{
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::acceptConnection);
}

bool InstanceServer::listen()
{
    const QString path = instanceSocketPath();
    if (server_->listen(path))
        return true;
    // Nobody answered on it before this start took the lock: whatever is
    // there was left behind.
    QLocalServer::removeServer(path);
    return server_->listen(path);
}

QString InstanceServer::socketPath() const
{
    return server_->fullServerName();
}

void InstanceServer::acceptConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        auto* received = new QByteArray;
        connect(socket, &QLocalSocket::readyRead, socket, [socket, received] {
            received->append(socket->readAll());
            if (static_cast<std::size_t>(received->size()) > HandoverBlockSize)
                socket->abort(); // more than a block: not one of ours
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, received] {
            received->append(socket->readAll());
            const std::optional<std::vector<std::string>> arguments =
                decodeHandoverBlock({received->constData(), static_cast<std::size_t>(received->size())});
            delete received;
            socket->deleteLater();
            if (arguments)
                emit argumentsReceived(*arguments);
        });
    }
}

} // namespace morvex::ui
