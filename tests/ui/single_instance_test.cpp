#include "ui_test_support.h"

#include "app/instance_handover.h"
#include "ui/single_instance.h"

#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace morvex::testing {
namespace {

using ui::MainWindow;

// A new private folder with a short name, as runtime folders have: the
// socket's whole path must fit a socket address, whatever the test's name
// and however many tests ran before in this process.
std::filesystem::path makeRuntimeFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "morvex-rt-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot make a runtime folder";
    return pattern;
}

// A private runtime folder and settings of the test's own, for this
// process and the programs it starts.
struct InstanceFixture {
    TempDir temp;
    std::filesystem::path runtime = makeRuntimeFolder();
    std::filesystem::path config = temp / "config";
    std::string savedRuntime;

    InstanceFixture()
    {
        ::chmod(runtime.c_str(), 0700);
        if (const char* value = std::getenv("XDG_RUNTIME_DIR"))
            savedRuntime = value;
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    ~InstanceFixture()
    {
        if (savedRuntime.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(runtime, ignored);
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.string()));
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        return environment;
    }
    // Starts the desktop program with these arguments.
    std::unique_ptr<QProcess> start(const QStringList& arguments, const QString& workingFolder = {}) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!workingFolder.isEmpty())
            process->setWorkingDirectory(workingFolder);
        process->start(MORVEX_GUI_PATH, arguments);
        return process;
    }
};

// Ends a started program, when it still runs, at the end of a test.
struct StopAtEnd {
    QProcess& process;
    ~StopAtEnd()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

bool waitForFinished(QProcess& process, int milliseconds)
{
    return waitUntil([&] { return process.state() == QProcess::NotRunning; }, milliseconds);
}

TEST(SingleInstance, SecondStartHandsItsFilesToTheRunningWindow)
{
    InstanceFixture fixture;
    writeFile(fixture.temp / "a.stl", triangleStl());
    writeFile(fixture.temp / "b.obj", "v 0 0 0\n");

    // This process is the running window.
    MainWindow window(SettingsStore(fixture.config / "Morvex.ini"));
    ui::InstanceServer server;
    QObject::connect(&server, &ui::InstanceServer::argumentsReceived, &window,
                     [&window](const std::vector<std::string>& arguments) { window.addStartArguments(arguments); });
    ASSERT_TRUE(server.listen());
    struct stat info {};
    ASSERT_EQ(::stat(server.socketPath().toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << "the socket is for its owner only";

    // Relative names are resolved in the second start's working folder; a
    // name of nothing is ignored.
    auto second =
        fixture.start({"a.stl", "b.obj", "missing.stl"}, QString::fromStdString(fixture.temp.path().string()));
    ASSERT_TRUE(waitForFinished(*second, 20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    ASSERT_TRUE(waitUntil([&] { return window.fileList().rowCount() == 2; }, 5000));
    EXPECT_GE(window.fileList().findRow((fixture.temp / "a.stl").string()), 0);
    EXPECT_GE(window.fileList().findRow((fixture.temp / "b.obj").string()), 0);

    // A block of the wrong size is ignored, and so is one that is too long.
    for (const qsizetype size : {qsizetype(100), qsizetype(HandoverBlockSize + 1)}) {
        QLocalSocket socket;
        socket.connectToServer(server.socketPath());
        ASSERT_TRUE(socket.waitForConnected(2000));
        std::string block = encodeHandoverBlock({"x", (fixture.temp / "a.stl").string()});
        block.resize(static_cast<std::size_t>(size), '\0');
        socket.write(block.data(), size);
        socket.waitForBytesWritten(2000);
        socket.disconnectFromServer();
    }
    QTest::qWait(200);
    EXPECT_EQ(window.fileList().rowCount(), 2);
}

TEST(SingleInstance, TwoProgramsAndAStaleSocket)
{
    InstanceFixture fixture;
    const std::string socketPath = ui::instanceSocketPath().toStdString();

    // A socket left by a crashed instance: bound, never listening.
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(stale, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    }
    ASSERT_TRUE(std::filesystem::exists(socketPath));

    // The first program takes over the socket and keeps running.
    auto first = fixture.start({});
    StopAtEnd stopFirst{*first};
    ASSERT_TRUE(waitUntil(
        [&] {
            QLocalSocket probe;
            probe.connectToServer(QString::fromStdString(socketPath));
            return probe.waitForConnected(100);
        },
        20000));

    // The second hands over and ends at once; the first goes on.
    writeFile(fixture.temp / "c.stl", triangleStl());
    auto second = fixture.start({QString::fromStdString((fixture.temp / "c.stl").string())});
    ASSERT_TRUE(waitForFinished(*second, 20000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST(SingleInstance, ARuntimeFolderTooLongForTheSocketsNameIsNotUsed)
{
    InstanceFixture fixture;
    const std::filesystem::path deep = fixture.temp / std::string(120, 'r');
    std::filesystem::create_directories(deep);
    ::chmod(deep.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", deep.c_str(), 1);
    EXPECT_NE(ui::instanceFolder(), deep);

    // The window still listens, and a start still reaches it.
    MainWindow window(SettingsStore(fixture.config / "Morvex.ini"));
    ui::InstanceServer server;
    QObject::connect(&server, &ui::InstanceServer::argumentsReceived, &window,
                     [&window](const std::vector<std::string>& arguments) { window.addStartArguments(arguments); });
    ASSERT_TRUE(server.listen());
    writeFile(fixture.temp / "d.stl", triangleStl());
    ASSERT_TRUE(ui::sendToRunningInstance({"morvex", (fixture.temp / "d.stl").string()}));
    EXPECT_TRUE(waitUntil([&] { return window.fileList().rowCount() == 1; }, 5000));
}

TEST(SingleInstance, StartupLockIsExclusive)
{
    InstanceFixture fixture;
    ui::StartupLock held;
    ASSERT_TRUE(held.acquire(1000));
    ui::StartupLock other;
    EXPECT_FALSE(other.acquire(120)); // flock locks belong to the open file, so a second open waits
    held.release();
    EXPECT_TRUE(other.acquire(1000));
}

} // namespace
} // namespace morvex::testing
