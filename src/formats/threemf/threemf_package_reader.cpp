#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"

#include "support/core/parallel_ranges.h"
#include "support/platform/reference_policy.h"
#include "support/platform/scratch_folder.h"
#include "support/text/text.h"
#include "support/zip/zip_component.h"

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace morvex::threemf {
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

OperationResult extractLocked(const ZipSource& archive, std::string_view entry, const std::filesystem::path& folder,
                              ProgressReporter& reporter, std::uint64_t maxBytes, Failure* failure)
{
    std::lock_guard lock(zipLock());
    return extractZipEntry(archive, entry, folder, reporter, maxBytes, failure);
}

// Finds the model part's name through the relationship parts. The root part
// decides when it names a model; the others are asked only when it does not.
OperationResult locateModelPart(const ZipSource& archive, const std::vector<ZipEntryInfo>& entries,
                                const std::filesystem::path& scratch, ProgressReporter& reporter, std::string& target,
                                Failure* failure)
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
        return failWith(failure, FailureKind::Malformed, "the package has no relationship part");
    if (!sawRelationships)
        return failWith(failure, FailureKind::Malformed, "the relationship part has no Relationships element");
    return failWith(failure, FailureKind::Malformed, "the package names no 3D model part");
}

// The package's parts, unpacked into the scratch folder of the read when
// asked for; images into a folder the model keeps.
class PackagePartSource : public PartSource {
public:
    PackagePartSource(const ZipSource& archive, const std::vector<ZipEntryInfo>& entries,
                      const std::filesystem::path& scratch, ProgressReporter& reporter, const ThreeMfReadSplit& split)
        : archive_(archive), entries_(entries), scratch_(scratch), reporter_(reporter), split_(split)
    {
    }

    std::uint64_t inflatableSize(std::string_view name) override
    {
        const ZipEntryInfo* part = findEntry(entries_, name);
        if (part == nullptr || part->encrypted || part->size < split_.minimumBytes)
            return 0;
        return part->size;
    }
    bool inflatesAlongside() const override { return split_.threads >= 2; }
    bool walksWhileParsing() const override { return split_.streamed; }

    std::unique_ptr<ZipEntryFeeder> modelPartFeeder(std::string_view name) override
    {
        auto feeder = std::make_unique<ZipEntryFeeder>();
        if (feeder->open(archive_, findEntry(entries_, name)->name, modelPartByteLimit()) != OperationResult::Success)
            return nullptr;
        return feeder;
    }
    std::size_t feedWindow() const override { return split_.windowBytes; }

    OperationResult modelPart(std::string_view name, std::filesystem::path& file, Failure* failure) override
    {
        const ZipEntryInfo* part = findEntry(entries_, name);
        if (part == nullptr)
            return failWith(failure, FailureKind::Malformed,
                            "the model part \"" + std::string(name) + "\" is missing from the package");
        const std::uint64_t limit = modelPartByteLimit();
        if (part->size > limit)
            return failWith(failure, FailureKind::OutOfMemory, TooLargeForMemory);
        Failure extraction;
        const OperationResult extracted = extractLocked(archive_, part->name, scratch_, reporter_, limit, &extraction);
        if (extracted == OperationResult::Cancelled)
            return extracted;
        if (extracted != OperationResult::Success) {
            // The declared size may lie; the extraction stops at the limit.
            if (extraction.kind == FailureKind::OutOfMemory)
                return failWith(failure, FailureKind::OutOfMemory, TooLargeForMemory);
            return failWith(failure, extraction.kind, "cannot extract the model part: " + extraction.message);
        }
        file = scratch_ / part->name;
        return OperationResult::Success;
    }

    // Only an entry of the package is ever unpacked, under its own name
    // inside the folder: a name that would lead outside it is refused by
    // the extraction and the texture is left without its image.
    OperationResult imagePart(std::string_view name, Model& model, std::string& file, Failure* failure) override
    {
        file.clear();
        const ZipEntryInfo* part = findEntry(entries_, name);
        if (part == nullptr || part->size > referencePolicy().maxCopyBytes)
            return OperationResult::Success;
        if (!images_) {
            auto folder = std::make_shared<ScratchFolder>();
            if (folder->create(failure) != OperationResult::Success)
                return OperationResult::Failure;
            model.keptAlive.push_back(folder);
            images_ = std::move(folder);
        }
        const OperationResult extracted =
            extractLocked(archive_, part->name, images_->path(), reporter_, referencePolicy().maxCopyBytes, nullptr);
        if (extracted == OperationResult::Cancelled)
            return extracted;
        if (extracted == OperationResult::Success)
            file = (images_->path() / std::filesystem::path(part->name).relative_path()).lexically_normal().string();
        return OperationResult::Success;
    }

private:
    const ZipSource& archive_;
    const std::vector<ZipEntryInfo>& entries_;
    std::filesystem::path scratch_;
    ProgressReporter& reporter_;
    ThreeMfReadSplit split_;
    std::shared_ptr<ScratchFolder> images_;
};

OperationResult readPackage(const ZipSource& archive, const std::filesystem::path& scratch, Model& model,
                            ProgressReporter& reporter, const ThreeMfReadSplit& split, Failure* failure)
{
    std::vector<ZipEntryInfo> entries;
    try {
        if (const OperationResult listed = listZipEntries(archive, entries, reporter, failure);
            listed != OperationResult::Success)
            return listed;
        std::string target;
        if (const OperationResult located = locateModelPart(archive, entries, scratch, reporter, target, failure);
            located != OperationResult::Success)
            return located;
        PackagePartSource parts(archive, entries, scratch, reporter, split);
        return readModelParts(target, parts, model, reporter, failure);
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
}

// Unpacks what is needed into a private scratch folder, always removed
// afterwards, and reads it.
OperationResult readThroughScratch(const ZipSource& archive, Model& model, ProgressReporter& reporter,
                                   const ThreeMfReadSplit& split, Failure* failure)
{
    model.profile.kind = FormatKind::ThreeMf;
    IndeterminateScope indeterminate(reporter);
    OperationResult result = OperationResult::Success;
    {
        ScratchFolder scratch;
        result = scratch.create(failure);
        if (result == OperationResult::Success)
            result = readPackage(archive, scratch.path(), model, reporter, split, failure);
        reporter.setStatusText("Deleting temporary files...", 1);
        // The scratch folder goes with its contents here.
    }
    reporter.setStatusText("", 1);
    return result;
}

} // namespace

namespace {

ThreeMfReadSplit readSplitForThisFile()
{
    ThreeMfReadSplit split;
    split.threads = threadsPerFile();
    return split;
}

} // namespace

OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    return readThroughScratch(path, model, reporter, readSplitForThisFile(), failure);
}

OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        const ThreeMfReadSplit& split, Failure* failure)
{
    return readThroughScratch(path, model, reporter, split, failure);
}

OperationResult read3mf(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    return readThroughScratch(ZipSource::inMemory(bytes), model, reporter, readSplitForThisFile(), failure);
}

} // namespace morvex::threemf
