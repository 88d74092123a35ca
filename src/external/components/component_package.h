#pragma once

#include "external/components/component_setup.h"
#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

// A component package is a zip archive of the component's files with a
// manifest "component.ini" at its top:
//
//   [Component]
//   Id=assimpext2
//   Version=1.1
//   Path=morvex-meshconv
//
// "Path" names, relative to the package, what gets registered: the
// executable (made executable when unpacked) or a folder. A package whose
// manifest names no Path is unpacked but registers nothing.

namespace morvex {

inline constexpr std::string_view ComponentManifestName = "component.ini";

struct ComponentManifest {
    std::string id;
    std::string version; // decimal text such as "1.1"
    std::string path;    // empty: nothing to register
};

struct InstalledPackage {
    std::filesystem::path folder; // installRoot/<id>/<version>
    ComponentManifest manifest;
};

// Whether a name inside a package stays inside the folder it is unpacked
// into: relative, no "." or ".." parts, no empty parts, no backslashes, no
// NUL. A trailing '/' (a folder entry) is allowed.
bool isSafePackageName(std::string_view name);

// Unpacks the bytes of a package whose signature has been verified: every
// name is checked first (one unsafe name refuses the whole package), the
// entry count and the sizes, declared and inflated, are bounded by the
// setup, and the manifest must name this component and a version. The
// files are unpacked into a new folder beside the target and renamed into
// place as a whole, replacing an earlier unpacking of the same version;
// then Path and Version are written to the user's Components.ini and the
// other versions' folders are removed. A failure leaves nothing behind.
OperationResult installComponentPackage(const ComponentSetup& setup, std::string_view id, std::string_view package,
                                        ProgressReporter& reporter, InstalledPackage& installed,
                                        Failure* failure = nullptr);

} // namespace morvex
