#include "external/components/component_install.h"

#include "external/components/component_package.h"
#include "external/components/component_registry.h"
#include "external/components/http_get.h"
#include "external/ifc/ifc_converter.h"
#include "support/platform/files.h"
#include "support/platform/scratch_folder.h"
#include "support/settings/settings_store.h"
#include "support/text/numbers.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::uint32_t LockAttemptMilliseconds = 50;
constexpr std::uint32_t RegistrationPollStepMilliseconds = 300;
constexpr std::size_t UsedDownloadHosts = 2;
// The download's share of the whole install on the progress bar.
constexpr double DownloadShare = 0.8;
constexpr std::string_view VersionMarker = "version=";

HttpLimits signatureLimits()
{
    HttpLimits limits = versionFileLimits();
    limits.maxBytes = 1024;
    return limits;
}

bool isFound(const ComponentSetup& setup, std::string_view id)
{
    std::filesystem::path ignored;
    return findComponent(id, ignored, setup.registryFiles);
}

double versionNumber(std::string_view text, double fallback)
{
    const char* cursor = text.data();
    double value = 0.0;
    if (!parseDouble(cursor, text.data() + text.size(), value) || !std::isfinite(value))
        return fallback;
    return value;
}

struct HostAttempt {
    OperationResult result = OperationResult::Failure;
    bool signatureRefused = false;
};

// One download host: the package into the scratch folder, then its
// signature; the package's bytes, read once, are what is verified and what
// gets unpacked.
HostAttempt fetchVerifiedPackage(const ComponentSetup& setup, std::string_view host, std::string_view id,
                                 const std::filesystem::path& folder, ProgressReporter& reporter, std::string& package,
                                 Failure* failure)
{
    HostAttempt attempt;
    const std::string url = std::string(host) + "/components/" + std::string(id) + ".zip";
    const std::filesystem::path file = folder / (std::string(id) + ".zip");
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    ProgressRange download(reporter, 0.0, DownloadShare);
    attempt.result = httpGetFile(url, file, packageLimits(setup.maxPackageBytes), download, failure);
    if (attempt.result != OperationResult::Success)
        return attempt;
    HttpResponse signature;
    ProgressRange afterDownload(reporter, DownloadShare, 0.0);
    attempt.result = httpGetText(url + ".sig", signatureLimits(), afterDownload, signature, failure);
    if (attempt.result != OperationResult::Success)
        return attempt;

    MappedFile mapped;
    if (mapped.open(file, failure) != OperationResult::Success) {
        attempt.result = OperationResult::Failure;
        return attempt;
    }
    if (mapped.size() == 0) {
        attempt.result = failWith(failure, FailureKind::Malformed, "the download is empty (" + url + ")");
        return attempt;
    }
    package.assign(mapped.view());
    if (!componentSignatureVerifies(package, signature.body, setup.downloads.trustedKeys)) {
        package.clear();
        attempt.signatureRefused = true;
        attempt.result = failWith(failure, FailureKind::Malformed,
                                  "the signature of " + url + " does not verify against a trusted key");
    }
    return attempt;
}

OperationResult downloadVerifiedPackage(const ComponentSetup& setup, std::string_view id,
                                        const std::filesystem::path& folder, ProgressReporter& reporter,
                                        std::string& package, Failure* failure)
{
    const std::vector<std::string>& hosts = setup.downloads.downloadHosts;
    HostAttempt attempt;
    // Each host's failure is its own; the reason names them all.
    std::string reasons;
    FailureKind kind = FailureKind::Unreadable;
    for (std::size_t i = 0; i < hosts.size() && i < UsedDownloadHosts; ++i) {
        Failure hostFailure;
        attempt = fetchVerifiedPackage(setup, hosts[i], id, folder, reporter, package, &hostFailure);
        if (attempt.result == OperationResult::Cancelled)
            return OperationResult::Cancelled;
        if (attempt.result == OperationResult::Success)
            return OperationResult::Success;
        reasons += (reasons.empty() ? "" : "; ") + hostFailure.message;
        kind = hostFailure.kind;
    }
    // Only the last host's verdict counts, as the second host is tried
    // precisely when the first one's package is refused.
    if (attempt.signatureRefused)
        reporter.postTextMessage(ComponentSignatureMessage);
    return failWith(failure, kind, reasons);
}

// Polls findComponent until it succeeds or the poll time has passed; a
// stop request ends the wait.
bool waitUntilRegistered(const ComponentSetup& setup, std::string_view id, ProgressReporter& reporter)
{
    const auto start = std::chrono::steady_clock::now();
    while (!isFound(setup, id)) {
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited > std::chrono::milliseconds(setup.registrationPollMilliseconds) ||
            reporter.waitForStop(RegistrationPollStepMilliseconds))
            return isFound(setup, id);
    }
    return true;
}

OperationResult installSteps(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                             Failure* failure)
{
    if (!isValidComponentId(id))
        return failWith(failure, FailureKind::Unsupported, "\"" + std::string(id) + "\" is not a component name");
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    if (!setup.downloads.configured())
        return failWith(failure, FailureKind::Unsupported,
                        "no download location and trusted key are configured" +
                            (setup.downloads.configurationFile.empty()
                                 ? std::string()
                                 : " in " + setup.downloads.configurationFile.string()));
    if (!canReachHost(setup.downloads.versionHost, setup.onlineTestMilliseconds))
        return failWith(failure, FailureKind::Unreadable,
                        "offline: the version host " + setup.downloads.versionHost + " cannot be reached");

    ScratchFolder folder;
    if (folder.create(failure) != OperationResult::Success)
        return OperationResult::Failure;
    std::string package;
    if (OperationResult downloaded = downloadVerifiedPackage(setup, id, folder.path(), reporter, package, failure);
        downloaded != OperationResult::Success)
        return downloaded;

    reporter.setStatusText("Running install-on-demand", 0);
    InstalledPackage installed;
    if (OperationResult unpacked = installComponentPackage(setup, id, package, reporter, installed, failure);
        unpacked != OperationResult::Success)
        return unpacked;
    if (!waitUntilRegistered(setup, id, reporter)) {
        std::error_code ignored;
        std::filesystem::remove_all(installed.folder, ignored);
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        return failWith(failure, FailureKind::Malformed,
                        "the package of \"" + std::string(id) + "\" registered nothing that can be found");
    }
    reporter.setStatusText("Completed", 0);
    return OperationResult::Success;
}

// The end of every failed ensure: the browser and the prompt where the
// window gives them, then the message.
bool fallBack(const ComponentSetup& setup, std::string_view id, std::filesystem::path& path, ProgressReporter& reporter)
{
    const std::string url = componentFallbackUrl(setup.downloads, id);
    if (setup.openUrl && !url.empty()) {
        setup.openUrl(url);
        if (setup.askToContinue)
            while (!findComponent(id, path, setup.registryFiles) && setup.askToContinue(componentFallbackPrompt(id))) {
            }
    }
    if (findComponent(id, path, setup.registryFiles))
        return true;
    reporter.postTextMessage(componentFallbackMessage(setup.downloads, id));
    return false;
}

std::optional<ComponentRegistration> registrationOf(const ComponentSetup& setup, std::string_view id)
{
    return findComponentRegistration(id, setup.registryFiles);
}

} // namespace

ComponentLock::~ComponentLock()
{
    release();
}

void ComponentLock::release()
{
    if (descriptor_ >= 0)
        ::close(descriptor_); // releases the flock
    descriptor_ = -1;
}

OperationResult ComponentLock::acquire(const ComponentSetup& setup, std::string_view id, ProgressReporter& reporter,
                                       Failure* failure)
{
    release();
    if (!isValidComponentId(id))
        return failWith(failure, FailureKind::Unsupported, "\"" + std::string(id) + "\" is not a component name");
    // The lock folder is the user's own: another user must not be able to
    // hold our lock or swap the lock file.
    if (ensurePrivateFolder(setup.lockFolder, failure) != OperationResult::Success)
        return OperationResult::Failure;
    const std::filesystem::path file = setup.lockFolder / ("morvex-component-" + std::string(id) + ".lock");
    const int descriptor = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0)
        return failWith(failure, FailureKind::Unwritable,
                        "cannot open the lock file " + file.string() + ": " + systemErrorText(errno));
    while (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            ::close(descriptor);
            return failWith(failure, FailureKind::Unwritable, "cannot lock " + file.string());
        }
        if (reporter.waitForStop(LockAttemptMilliseconds)) {
            ::close(descriptor);
            return OperationResult::Cancelled;
        }
    }
    descriptor_ = descriptor;
    return OperationResult::Success;
}

OperationResult runComponentInstaller(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                                      std::string_view displayName, Failure* failure)
{
    reporter.setStatusText("Initializing run on-demand...", 0);
    reporter.setStatusText(std::string(displayName.empty() ? id : displayName) + "...", 1);
    const OperationResult result = installSteps(setup, reporter, id, failure);
    reporter.setProgress(1.0);
    return result;
}

OperationResult installComponent(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                                 Failure* failure)
{
    ComponentLock lock;
    if (OperationResult locked = lock.acquire(setup, id, reporter, failure); locked != OperationResult::Success)
        return locked;
    if (isFound(setup, id))
        return OperationResult::Success;
    return runComponentInstaller(setup, reporter, id, {}, failure);
}

bool ensureComponentFromWorker(const ComponentSetup& setup, std::string_view id, std::filesystem::path& path,
                               ProgressReporter& reporter, Failure* failure)
{
    if (findComponent(id, path, setup.registryFiles))
        return true;
    installComponent(setup, reporter, id, failure);
    if (findComponent(id, path, setup.registryFiles))
        return true;
    if (reporter.isCancelled())
        return false;
    return fallBack(setup, id, path, reporter);
}

double publishedComponentVersion(const ComponentSetup& setup, std::string_view id, ProgressReporter& reporter)
{
    constexpr double Unknown = 1.0;
    if (setup.downloads.versionHost.empty() || !isValidComponentId(id))
        return Unknown;
    HttpResponse response;
    const std::string url = setup.downloads.versionHost + "/versions/components/" + std::string(id) + ".txt";
    if (httpGetText(url, versionFileLimits(), reporter, response) != OperationResult::Success)
        return Unknown;
    const std::size_t at = response.body.find(VersionMarker);
    if (at == std::string::npos)
        return Unknown;
    return versionNumber(std::string_view(response.body).substr(at + VersionMarker.size()), Unknown);
}

double installedComponentVersion(const ComponentSetup& setup, std::string_view id)
{
    const std::optional<ComponentRegistration> registration = registrationOf(setup, id);
    if (!registration)
        return 0.0;
    return versionNumber(registration->version, 1.0);
}

ComponentUpdate updateComponent(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                                Failure* failure)
{
    ComponentUpdate update;
    update.installedBefore = installedComponentVersion(setup, id);
    update.published = publishedComponentVersion(setup, id, reporter);
    if (reporter.isCancelled()) {
        update.outcome = UpdateOutcome::Cancelled;
        return update;
    }
    if (update.installedBefore >= update.published) {
        update.outcome = UpdateOutcome::UpToDate;
        return update;
    }

    ComponentLock lock;
    OperationResult result = lock.acquire(setup, id, reporter, failure);
    // Another process may have updated it while this one waited.
    if (result == OperationResult::Success && installedComponentVersion(setup, id) < update.published)
        result = runComponentInstaller(setup, reporter, id, {}, failure);
    lock.release();

    std::filesystem::path path;
    if (result == OperationResult::Cancelled || (!isFound(setup, id) && reporter.isCancelled())) {
        update.outcome = UpdateOutcome::Cancelled;
        return update;
    }
    if (!isFound(setup, id) && !fallBack(setup, id, path, reporter))
        return update; // Failed
    const std::optional<ComponentRegistration> registration = registrationOf(setup, id);
    const bool current = registration && (registration->version.empty() ||
                                          versionNumber(registration->version, 1.0) >= update.published);
    if (current)
        update.outcome = UpdateOutcome::Updated;
    else
        failWith(failure, FailureKind::Malformed, "the installed version is still older than the published one");
    return update;
}

} // namespace morvex
