#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"

#include "support/platform/scratch_folder.h"
#include "support/text/text.h"
#include "support/zip/zip_component.h"

#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace morvex {
namespace {

constexpr std::string_view RootRelationshipPart = "_rels/.rels";

// Relationship parts in the order they are tried: the package's root part
// "_rels/.rels" first, then every other ".rels" entry in listing order.
std::vector<const ZipEntryInfo*> relationshipCandidates(const std::vector<ZipEntryInfo>& entries)
{
    std::vector<const ZipEntryInfo*> candidates;
    for (const ZipEntryInfo& entry : entries)
        if (equalsIgnoreCase(entry.name, RootRelationshipPart))
            candidates.push_back(&entry);
    for (const ZipEntryInfo& entry : entries) {
        const std::string_view name = entry.name;
        const std::size_t slash = name.find_last_of('/');
        const std::string_view leaf = slash == std::string_view::npos ? name : name.substr(slash + 1);
        const std::size_t dot = leaf.find_last_of('.');
        if (dot != std::string_view::npos && equalsIgnoreCase(leaf.substr(dot), ".rels") &&
            !equalsIgnoreCase(name, RootRelationshipPart))
            candidates.push_back(&entry);
    }
    return candidates;
}

// The entry a relationship target names: exactly, else ignoring case (part
// names in a package are case-insensitive).
const ZipEntryInfo* findEntry(const std::vector<ZipEntryInfo>& entries, std::string_view name)
{
    for (const ZipEntryInfo& entry : entries)
        if (entry.name == name)
            return &entry;
    for (const ZipEntryInfo& entry : entries)
        if (equalsIgnoreCase(entry.name, name))
            return &entry;
    return nullptr;
}

OperationResult extractLocked(const std::filesystem::path& archive, std::string_view entry,
                              const std::filesystem::path& folder, ProgressReporter& reporter, std::uint64_t maxBytes,
                              std::string* reason)
{
    std::lock_guard lock(zipLock());
    return extractZipEntry(archive, entry, folder, reporter, maxBytes, reason);
}

// Finds the model part's name through the relationship parts. The root part
// decides when it names a model; the others are asked only when it does not.
OperationResult locateModelPart(const std::filesystem::path& archive, const std::vector<ZipEntryInfo>& entries,
                                const std::filesystem::path& scratch, ProgressReporter& reporter, std::string& target,
                                std::string* reason)
{
    // Relationship parts are small; anything larger is not one.
    constexpr std::uint64_t MaxRelationshipBytes = 16u << 20;
    bool extractedAny = false;
    bool sawRelationships = false;
    for (const ZipEntryInfo* candidate : relationshipCandidates(entries)) {
        const OperationResult extracted =
            extractLocked(archive, candidate->name, scratch, reporter, MaxRelationshipBytes, nullptr);
        if (extracted == OperationResult::Cancelled)
            return extracted;
        if (extracted != OperationResult::Success)
            continue;
        extractedAny = true;
        bool hasRelationships = false;
        const OperationResult found =
            findModelPartTarget(scratch / candidate->name, target, hasRelationships, reporter);
        if (found == OperationResult::Cancelled)
            return found;
        sawRelationships = sawRelationships || hasRelationships;
        if (!target.empty())
            return OperationResult::Success;
    }
    if (!extractedAny)
        return failWith(reason, "the package has no relationship part");
    if (!sawRelationships)
        return failWith(reason, "the relationship part has no Relationships element");
    return failWith(reason, "the package names no 3D model part");
}

OperationResult readPackage(const std::filesystem::path& archive, const std::filesystem::path& scratch, Model& model,
                            ProgressReporter& reporter, std::string* reason)
{
    std::vector<ZipEntryInfo> entries;
    try {
        if (const OperationResult listed = listZipEntries(archive, entries, reporter, reason);
            listed != OperationResult::Success)
            return listed;
        std::string target;
        if (const OperationResult located = locateModelPart(archive, entries, scratch, reporter, target, reason);
            located != OperationResult::Success)
            return located;

        const ZipEntryInfo* part = findEntry(entries, target);
        if (part == nullptr)
            return failWith(reason, "the model part \"" + target + "\" is missing from the package");
        const std::uint64_t limit = modelPartByteLimit();
        if (part->size > limit) {
            model.loadStatus = LoadStatus::OutOfMemory;
            return failWith(reason, "the model part is too large for the available memory");
        }
        std::string why;
        const OperationResult extracted = extractLocked(archive, part->name, scratch, reporter, limit, &why);
        if (extracted == OperationResult::Cancelled)
            return extracted;
        if (extracted != OperationResult::Success) {
            // The declared size may lie; the extraction stops at the limit.
            if (why == "entry is too large") {
                model.loadStatus = LoadStatus::OutOfMemory;
                return failWith(reason, "the model part is too large for the available memory");
            }
            return failWith(reason, "cannot extract the model part: " + why);
        }
        return read3mfModelPart(scratch / part->name, model, reporter, reason);
    } catch (const std::bad_alloc&) {
        return failWith(reason, "out of memory");
    }
}

} // namespace

OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        std::string* reason)
{
    model.profile.kind = FormatKind::ThreeMf;
    model.loadStatus = LoadStatus::Nothing;
    IndeterminateScope indeterminate(reporter);
    OperationResult result = OperationResult::Success;
    {
        ScratchFolder scratch;
        result = scratch.create(reason);
        if (result == OperationResult::Success)
            result = readPackage(path, scratch.path(), model, reporter, reason);
        reporter.setStatusText("Deleting temporary files...", 1);
        // The scratch folder goes with its contents here.
    }
    reporter.setStatusText("", 1);
    return result;
}

} // namespace morvex
