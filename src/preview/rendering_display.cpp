#include "preview/rendering_display.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr int StartTimeoutMilliseconds = 20000;

// The virtual display this process started, stopped when the process ends.
struct VirtualDisplay {
    pid_t pid = -1;
    ~VirtualDisplay()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};
VirtualDisplay virtualDisplay;

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Reads the display number that Xvfb writes once it accepts connections.
bool readDisplayNumber(int fd, std::string& number, std::string& error)
{
    char buffer[32];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, StartTimeoutMilliseconds);
        if (polled <= 0) {
            error = polled == 0 ? "Xvfb did not start in time" : std::strerror(errno);
            return false;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            error = "Xvfb ended without a display";
            return false;
        }
        number.append(buffer, static_cast<std::size_t>(got));
        if (number.find('\n') != std::string::npos) {
            number.erase(number.find('\n'));
            return !number.empty();
        }
    }
}

bool startVirtualDisplay(std::string& error)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // The display must not outlive us, however we end.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        const int writeEnd = dup(fds[1]); // without close-on-exec
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        char fdText[16];
        const int length = std::snprintf(fdText, sizeof fdText, "%d", writeEnd);
        if (length <= 0)
            _exit(1);
        execlp("Xvfb", "Xvfb", "-displayfd", fdText, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    virtualDisplay.pid = pid;
    std::string number;
    const bool started = readDisplayNumber(fds[0], number, error);
    close(fds[0]);
    if (!started) {
        if (error == "Xvfb ended without a display")
            error = "no X display, and Xvfb could not be started (install the xvfb package)";
        return false;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return true;
}

bool isGraphicsDriver(std::string_view path)
{
    for (std::string_view part : {"/dri/", "libgallium", "libLLVM", "libGLX_mesa", "libglapi", "libEGL_mesa"})
        if (path.find(part) != std::string_view::npos)
            return true;
    return false;
}

} // namespace

void keepGraphicsDriversLoaded()
{
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void*) {
            if (info->dlpi_name != nullptr && isGraphicsDriver(info->dlpi_name))
                dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}

bool prepareRenderingDisplay(std::string& error)
{
    if (!isSet("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (isSet("DISPLAY") || virtualDisplay.pid > 0)
        return true;
    return startVirtualDisplay(error);
}

} // namespace morvex

// What the leak checker of the sanitizer builds leaves alone: memory that
// the OpenGL driver, the desktop bus and the font configuration libraries
// keep until the process ends.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:/dri/\nleak:libgallium\nleak:libLLVM\nleak:libGLX_mesa\nleak:libglapi\nleak:libEGL_mesa\n"
           "leak:libdbus-1\nleak:libfontconfig\n";
}
