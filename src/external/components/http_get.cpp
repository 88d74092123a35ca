#include "external/components/http_get.h"

#include "support/platform/files.h"

#include <curl/curl.h>

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace morvex {
namespace {

constexpr long MaxRedirects = 5;
constexpr long StallBytesPerSecond = 1024;

// libcurl is opened when the first download starts, not when the program
// does: its libraries (TLS, Kerberos, LDAP, ...) would otherwise cost every
// conversion several milliseconds of loading for nothing.
struct Curl {
    decltype(&curl_global_init) globalInit = nullptr;
    decltype(&curl_easy_init) easyInit = nullptr;
    decltype(&curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&curl_easy_setopt) easySetopt = nullptr;
    decltype(&curl_easy_perform) easyPerform = nullptr;
    decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&curl_easy_strerror) easyStrerror = nullptr;
    std::string problem; // why it could not be opened
};

template <typename Function>
bool resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

Curl openCurl()
{
    Curl curl;
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        curl.problem = "cannot load libcurl, which downloads: " + std::string(why != nullptr ? why : "not found");
        return curl;
    }
    if (!resolve(library, "curl_global_init", curl.globalInit) || !resolve(library, "curl_easy_init", curl.easyInit) ||
        !resolve(library, "curl_easy_cleanup", curl.easyCleanup) ||
        !resolve(library, "curl_easy_setopt", curl.easySetopt) ||
        !resolve(library, "curl_easy_perform", curl.easyPerform) ||
        !resolve(library, "curl_easy_getinfo", curl.easyGetinfo) ||
        !resolve(library, "curl_easy_strerror", curl.easyStrerror)) {
        curl.problem = "the libcurl found lacks a function downloads need";
        return curl;
    }
    curl.globalInit(CURL_GLOBAL_DEFAULT);
    return curl;
}

// The library, opened and initialised once; its problem is set when it is
// not to be had.
const Curl& curlLibrary()
{
    static const Curl curl = openCurl();
    return curl;
}

class EasyHandle {
public:
    EasyHandle() : handle_(curlLibrary().easyInit()) {}
    ~EasyHandle()
    {
        if (handle_ != nullptr)
            curlLibrary().easyCleanup(handle_);
    }
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    CURL* get() const { return handle_; }

private:
    CURL* handle_;
};

// Where the body goes and what stops the transfer. The write callbacks
// count the bytes themselves: a server may send more than it announced, or
// announce nothing.
struct Transfer {
    ProgressReporter* reporter = nullptr;
    std::uint64_t maxBytes = 0;
    std::uint64_t received = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    std::string* text = nullptr;
    int descriptor = -1;
    double lastFraction = -1.0;
};

bool writeAll(int descriptor, const char* data, std::size_t length)
{
    for (std::size_t written = 0; written < length;) {
        const ssize_t step = ::write(descriptor, data + written, length - written);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            return false;
        written += static_cast<std::size_t>(step);
    }
    return true;
}

// Into the text when there is one, else into the file.
std::size_t receive(char* data, std::size_t size, std::size_t count, void* state)
{
    Transfer& transfer = *static_cast<Transfer*>(state);
    const std::size_t length = size * count;
    if (length > transfer.maxBytes - transfer.received) {
        transfer.tooLarge = true;
        return 0;
    }
    transfer.received += length;
    if (transfer.text != nullptr) {
        transfer.text->append(data, length);
    } else if (!writeAll(transfer.descriptor, data, length)) {
        transfer.writeFailed = true;
        return 0;
    }
    return length;
}

int reportTransfer(void* state, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t)
{
    Transfer& transfer = *static_cast<Transfer*>(state);
    if (transfer.reporter->isCancelled())
        return 1; // aborts the transfer
    if (total > 0 && now >= 0) {
        const double fraction = static_cast<double>(now) / static_cast<double>(total);
        // A report per percent is plenty; curl calls this many times a second.
        if (fraction >= transfer.lastFraction + 0.01 || (fraction >= 1.0 && transfer.lastFraction < 1.0)) {
            transfer.lastFraction = fraction;
            transfer.reporter->setProgress(fraction > 1.0 ? 1.0 : fraction);
        }
    }
    return 0;
}

void setCommonOptions(CURL* curl, const std::string& urlText, const HttpLimits& limits, Transfer& transfer)
{
    curlLibrary().easySetopt(curl, CURLOPT_URL, urlText.c_str());
    curlLibrary().easySetopt(curl, CURLOPT_NOSIGNAL, 1L); // used from worker threads
    curlLibrary().easySetopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curlLibrary().easySetopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curlLibrary().easySetopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curlLibrary().easySetopt(curl, CURLOPT_MAXREDIRS, MaxRedirects);
    curlLibrary().easySetopt(curl, CURLOPT_FAILONERROR, 1L);
    curlLibrary().easySetopt(curl, CURLOPT_USERAGENT, "morvex-components/1");
    if (limits.connectMilliseconds > 0)
        curlLibrary().easySetopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMilliseconds));
    if (limits.totalMilliseconds > 0)
        curlLibrary().easySetopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalMilliseconds));
    if (limits.stallMilliseconds > 0) {
        curlLibrary().easySetopt(curl, CURLOPT_LOW_SPEED_LIMIT, StallBytesPerSecond);
        curlLibrary().easySetopt(curl, CURLOPT_LOW_SPEED_TIME,
                                 static_cast<long>((limits.stallMilliseconds + 999) / 1000));
    }
    curlLibrary().easySetopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
    curlLibrary().easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
    curlLibrary().easySetopt(curl, CURLOPT_XFERINFOFUNCTION, reportTransfer);
    curlLibrary().easySetopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curlLibrary().easySetopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curlLibrary().easySetopt(curl, CURLOPT_WRITEDATA, &transfer);
}

OperationResult perform(CURL* curl, std::string_view url, Transfer& transfer, HttpResponse& response, Failure* failure)
{
    const CURLcode code = curlLibrary().easyPerform(curl);
    curlLibrary().easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    const std::string where = " (" + std::string(url) + ")";
    if (code == CURLE_ABORTED_BY_CALLBACK && transfer.reporter->isCancelled())
        return OperationResult::Cancelled;
    if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED)
        return failWith(failure, FailureKind::Malformed,
                        "the download is larger than " + std::to_string(transfer.maxBytes) + " bytes" + where);
    if (transfer.writeFailed)
        return failWith(failure, FailureKind::Unwritable, "cannot store the download: " + systemErrorText(errno));
    if (code == CURLE_HTTP_RETURNED_ERROR)
        return failWith(failure, FailureKind::Unreadable,
                        "the server answered with status " + std::to_string(response.status) + where);
    if (code != CURLE_OK)
        return failWith(failure, FailureKind::Unreadable, std::string(curlLibrary().easyStrerror(code)) + where);
    if (response.status != 200)
        return failWith(failure, FailureKind::Unreadable,
                        "the server answered with status " + std::to_string(response.status) + where);
    return OperationResult::Success;
}

} // namespace

HttpLimits versionFileLimits()
{
    return HttpLimits{2048, 17048, 0, 0};
}

HttpLimits packageLimits(std::uint64_t maxBytes)
{
    return HttpLimits{maxBytes, 0, 15000, 60000};
}

OperationResult httpGetText(std::string_view url, const HttpLimits& limits, ProgressReporter& reporter,
                            HttpResponse& response, Failure* failure)
{
    response = {};
    if (!curlLibrary().problem.empty())
        return failWith(failure, FailureKind::Unsupported, curlLibrary().problem);
    EasyHandle curl;
    if (curl.get() == nullptr)
        return failOutOfMemory(failure);
    Transfer transfer;
    transfer.reporter = &reporter;
    transfer.maxBytes = limits.maxBytes;
    transfer.text = &response.body;
    const std::string urlText(url);
    setCommonOptions(curl.get(), urlText, limits, transfer);
    return perform(curl.get(), url, transfer, response, failure);
}

OperationResult httpGetFile(std::string_view url, const std::filesystem::path& file, const HttpLimits& limits,
                            ProgressReporter& reporter, Failure* failure)
{
    if (!curlLibrary().problem.empty())
        return failWith(failure, FailureKind::Unsupported, curlLibrary().problem);
    EasyHandle curl;
    if (curl.get() == nullptr)
        return failOutOfMemory(failure);
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return failWith(failure, FailureKind::Unwritable,
                        "cannot create " + file.string() + ": " + systemErrorText(errno));
    Transfer transfer;
    transfer.reporter = &reporter;
    transfer.maxBytes = limits.maxBytes;
    transfer.descriptor = descriptor;
    const std::string urlText(url);
    setCommonOptions(curl.get(), urlText, limits, transfer);
    HttpResponse response;
    OperationResult result = perform(curl.get(), url, transfer, response, failure);
    if (::close(descriptor) != 0 && result == OperationResult::Success)
        result = failWith(failure, FailureKind::Unwritable, "cannot store the download: " + systemErrorText(errno));
    if (result != OperationResult::Success) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
    return result;
}

bool canReachHost(std::string_view url, std::uint32_t milliseconds)
{
    if (!curlLibrary().problem.empty())
        return false;
    EasyHandle curl;
    if (curl.get() == nullptr)
        return false;
    const std::string urlText(url);
    curlLibrary().easySetopt(curl.get(), CURLOPT_URL, urlText.c_str());
    curlLibrary().easySetopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curlLibrary().easySetopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curlLibrary().easySetopt(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
    curlLibrary().easySetopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(milliseconds));
    return curlLibrary().easyPerform(curl.get()) == CURLE_OK;
}

} // namespace morvex
