#include "external/components/http_get.h"

#include "support/platform/files.h"

#include <curl/curl.h>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace morvex {
namespace {

constexpr long MaxRedirects = 5;
constexpr long StallBytesPerSecond = 1024;

void initializeCurlOnce()
{
    static std::once_flag initialized;
    std::call_once(initialized, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class EasyHandle {
public:
    EasyHandle() : handle_(curl_easy_init()) {}
    ~EasyHandle()
    {
        if (handle_ != nullptr)
            curl_easy_cleanup(handle_);
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
    curl_easy_setopt(curl, CURLOPT_URL, urlText.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // used from worker threads
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "morvex-components/1");
    if (limits.connectMilliseconds > 0)
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMilliseconds));
    if (limits.totalMilliseconds > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalMilliseconds));
    if (limits.stallMilliseconds > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, StallBytesPerSecond);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>((limits.stallMilliseconds + 999) / 1000));
    }
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, reportTransfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
}

OperationResult perform(CURL* curl, std::string_view url, Transfer& transfer, HttpResponse& response, Failure* failure)
{
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
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
        return failWith(failure, FailureKind::Unreadable, std::string(curl_easy_strerror(code)) + where);
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
    initializeCurlOnce();
    response = {};
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
    initializeCurlOnce();
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
    initializeCurlOnce();
    EasyHandle curl;
    if (curl.get() == nullptr)
        return false;
    const std::string urlText(url);
    curl_easy_setopt(curl.get(), CURLOPT_URL, urlText.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(milliseconds));
    return curl_easy_perform(curl.get()) == CURLE_OK;
}

} // namespace morvex
