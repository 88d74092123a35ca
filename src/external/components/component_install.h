#pragma once

#include "external/components/component_setup.h"
#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

// Installing components on demand. A component is downloaded from the
// configured download hosts as "<id>.zip" with its signature
// "<id>.zip.sig" into a private scratch folder (removed whatever the
// outcome), verified, unpacked into the user's data folder and registered
// in the user's Components.ini. One install of a component runs at a time
// across threads and processes: each holds an flock on
// "<lockFolder>/morvex-component-<id>.lock".

namespace morvex {

// Downloads, verifies and installs one component, then polls findComponent
// every 300 ms until it succeeds or the setup's registration poll has
// passed. Status line 0 goes "Initializing run on-demand...", "Running
// install-on-demand", "Completed"; line 1 names the component. The first
// download host is tried, then the second when the first cannot deliver or
// its package does not verify; when no host's package verifies, the
// signature message is posted. Success when the component is found
// afterwards; Cancelled on a stop request; Failure (with the reason) when
// offline, when no host delivers a verified package, when unpacking fails
// or nothing became findable in time. Takes no lock: callers do.
OperationResult runComponentInstaller(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                                      std::string_view displayName = {}, Failure* failure = nullptr);

// The per-component lock, taken by trying every 50 ms until a stop request.
class ComponentLock {
public:
    ComponentLock() = default;
    ~ComponentLock();
    ComponentLock(const ComponentLock&) = delete;
    ComponentLock& operator=(const ComponentLock&) = delete;

    // Success once held, Cancelled on a stop request, Failure when the lock
    // file cannot be opened.
    OperationResult acquire(const ComponentSetup& setup, std::string_view id, ProgressReporter& reporter,
                            Failure* failure = nullptr);
    void release();

private:
    int descriptor_ = -1;
};

// The install that the window's "Install-on-Demand" dialog runs on its
// worker: takes the component's lock, and when the component is still not
// found under it (another process may have installed it meanwhile), runs
// runComponentInstaller. Success when the component is found at the end.
// On Failure the window opens componentFallbackUrl and shows
// componentWindowFallbackMessage, titled ComponentInstallTitle.
OperationResult installComponent(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                                 Failure* failure = nullptr);

// On a worker thread: true with the path when the component is found, or
// once installComponent made it so. On a failure that was not a stop
// request, the setup's openUrl gets the fallback URL and askToContinue the
// fallback prompt, repeated while it answers true and the component is
// still missing; when it is still missing, componentFallbackMessage is
// posted and the answer is false.
bool ensureComponentFromWorker(const ComponentSetup& setup, std::string_view id, std::filesystem::path& path,
                               ProgressReporter& reporter, Failure* failure = nullptr);

// The published version of a component: "version=" followed by a number in
// "<versionHost>/versions/components/<id>.txt", fetched with status 200;
// 1.0 on any failure.
double publishedComponentVersion(const ComponentSetup& setup, std::string_view id, ProgressReporter& reporter);

// The installed version: 0.0 when not found, the Version of the
// registration found, 1.0 when it names none.
double installedComponentVersion(const ComponentSetup& setup, std::string_view id);

enum class UpdateOutcome { UpToDate, Updated, Failed, Cancelled };
struct ComponentUpdate {
    UpdateOutcome outcome = UpdateOutcome::Failed;
    double installedBefore = 0.0;
    double published = 1.0;
};

// Compares the installed with the published version and, when it is
// older, installs again as ensureComponentFromWorker does (fallback
// included). Updated when the version found afterwards is no longer older
// (or, for a registration without a version, when its path exists).
ComponentUpdate updateComponent(const ComponentSetup& setup, ProgressReporter& reporter, std::string_view id,
                                Failure* failure = nullptr);

} // namespace morvex
