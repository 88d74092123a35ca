#pragma once

// The half of the 3MF reader that works on an extracted model part, apart
// from the package so that it can be driven from a plain file.

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"
#include "support/xml/xml_reader.h"
#include "support/zip/zip_component.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace morvex::threemf {

// Namespaces of the core model and of its material elements, read and
// written as the defaults of the model's "xmlns" and "xmlns:m" attributes.
inline constexpr std::string_view ThreeMfCoreNamespace = "http://schemas.microsoft.com/3dmanufacturing/core/2015/02";
inline constexpr std::string_view ThreeMfMaterialNamespace =
    "http://schemas.microsoft.com/3dmanufacturing/material/2015/02";

// Namespace of the metadata written under names the core does not define
// ("morvex:ModelName"); the reader takes those names back without prefix.
inline constexpr std::string_view MorvexMetadataNamespace = "urn:morvex:3mf:metadata";

// The metadata names the 3MF core defines (Title, Designer, ...).
bool isCoreMetadataName(std::string_view name);

// Relationship type of a package's 3D model part.
inline constexpr std::string_view ThreeMfModelRelationship =
    "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";

// A model part is refused at this size or when twenty times its size is not
// below the available memory.
inline constexpr std::uint64_t MaxModelPartBytes = 214'748'365;
bool modelPartFitsMemory(std::uint64_t bytes);
// The largest size modelPartFitsMemory accepts now (0 when none).
std::uint64_t modelPartByteLimit();

// Why a model part is refused before it is read.
inline constexpr std::string_view TooLargeForMemory = "the model part is too large for the available memory";

// Namespace of the production extension, whose "path" attribute lets build
// items and components name objects in other model parts.
inline constexpr std::string_view ThreeMfProductionNamespace =
    "http://schemas.microsoft.com/3dmanufacturing/production/2015/06";

// The model parts read after the root one (those that components name) are
// at most this many.
inline constexpr std::size_t MaxModelParts = 256;

// Where the reader gets the parts of a package beyond the root model part.
class PartSource {
public:
    virtual ~PartSource() = default;
    // The file holding the model part of that name (a part name without a
    // leading "/"); Failure with the reason when there is none.
    virtual OperationResult modelPart(std::string_view name, std::filesystem::path& file, Failure* failure) = 0;
    // Unpacks the image part of that name into a folder that lives as long
    // as the model, and gives its file; Success with an empty file when the
    // package has no such part or it cannot be unpacked.
    virtual OperationResult imagePart(std::string_view name, Model& model, std::string& file, Failure* failure) = 0;

    // The declared size of a model part worth inflating straight into
    // memory rather than into a scratch file; 0 for a part read from its
    // file.
    virtual std::uint64_t inflatableSize(std::string_view) { return 0; }
    // Whether that inflating runs on a helper thread while this one parses;
    // otherwise it runs first, on this thread.
    virtual bool inflatesAlongside() const { return false; }
    // Whether a model part is walked while it is parsed, without its whole
    // tree, rather than parsed whole and then walked (the same model and
    // failures either way).
    virtual bool walksWhileParsing() const { return true; }
    // The model part opened for inflating into a feed; nullptr when it
    // cannot be (the read from its file then says why).
    virtual std::unique_ptr<ZipEntryFeeder> modelPartFeeder(std::string_view) { return nullptr; }
    // The window of text a model part inflated into memory passes through.
    virtual std::size_t feedWindow() const { return XmlFeed::DefaultWindow; }
};

// Reads the root model part `rootName` and the model parts its components
// name, places the build items and makes the normals. A part with a syntax
// error fails with the error, at its line.
OperationResult readModelParts(std::string_view rootName, PartSource& parts, Model& model, ProgressReporter& reporter,
                               Failure* failure = nullptr);

// Loads a model part from a plain file (no package around it: references to
// other parts fail and textures have no images) and fills the model.
OperationResult read3mfModelPart(const std::filesystem::path& modelPart, Model& model, ProgressReporter& reporter,
                                 Failure* failure = nullptr);

// The model relationship's target in a relationship part ("3D/3dmodel.model",
// a leading "/" removed); empty when the part has no "Relationships" element
// or no model relationship. `hasRelationships` tells the two apart.
OperationResult findModelPartTarget(const std::filesystem::path& relationshipPart, std::string& target,
                                    bool& hasRelationships, ProgressReporter& reporter);

// Colour text "#RRGGBB" or "#RRGGBBAA" (the "#" optional): opaque black with
// each pair present setting red, green, blue and alpha in turn.
ArgbColor parseThreeMfColor(std::string_view text);

} // namespace morvex::threemf
