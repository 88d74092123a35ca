#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

// Every file format the converter knows, in one table: what reads it, what
// writes it and how the conversion treats it. Readers, writers, the routing
// lists, the open dialog's filters, the pipeline's choices and the command
// line's `--to` values all come from here, so a format is added by its folder
// under src/formats and one row in format_table.cpp.

namespace morvex {

using ReadFunction = OperationResult (*)(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                                         Failure* failure);
// A reader of a scene that references mesh files, given what reads them.
using MeshFileReadFunction = OperationResult (*)(ProgressReporter& reporter, Model& model,
                                                 const std::filesystem::path& mesh, Failure* failure);
using ReadWithMeshesFunction = OperationResult (*)(const std::filesystem::path& path, Model& model,
                                                   ProgressReporter& reporter, MeshFileReadFunction readMesh,
                                                   Failure* failure);
using WriteFunction = OperationResult (*)(const std::filesystem::path& path, const Model& model,
                                          ProgressReporter& reporter, Failure* failure);

// How a source file of a format is read.
enum class ReadRoute {
    OwnReader,           // FileFormat::read
    OwnReaderMissing,    // read by our own code, but its reader is not in this build
    OwnReaderWithHelper, // FileFormat::readWithMeshes, whose referenced meshes the helper reads
    IfcTool,             // the IFC tool's OBJ, else the external converter
    ExternalConverter,   // the helper process built on Assimp
    NotAnInput,          // a second writer of an extension read by another row
};

struct FileFormat {
    std::string_view name;        // as --to spells it: "stl", "stl-ascii"
    std::string_view extension;   // without the dot, lower case
    std::string_view description; // for usage texts and the README
    FormatProfile profile;        // kind and coordinate conventions of the format
    ReadRoute route = ReadRoute::ExternalConverter;
    ReadFunction read = nullptr;
    ReadWithMeshesFunction readWithMeshes = nullptr;
    WriteFunction write = nullptr; // none: never offered as an output
    bool native = false;           // counted as read by the program's own readers
    bool keepsPlacement = true;    // holds per-object placement (else it is baked in)
    bool writesOneFile = false;    // written as one file, atomically, without a staging folder
    bool writesPoints = false;     // its writer keeps vertices without faces (else it holds triangles only)
    bool inOpenDialog = true;      // listed by the "Locate model files" dialog
    bool popular = false;          // listed under "Popular Formats"
    int outputListIndex = -1;      // position in the desktop program's output list ("PDLIndex")

    bool readable() const { return route != ReadRoute::NotAnInput; }
    bool writable() const { return write != nullptr; }
};

// Every row, in the open dialog's order, then the rows not in it.
std::span<const FileFormat> fileFormats();

// The row that reads files of this extension (with or without its dot, any
// case); nullptr when no format has it.
const FileFormat* formatForExtension(std::string_view extension);
const FileFormat* formatForPath(const std::filesystem::path& path);
// What reads a file of an extension no row has: the external converter, with
// conventions unknown.
const FileFormat& unlistedFormat();
// The output format that --to names ("stl", "STL", ".ply"); only rows with a
// writer; nullptr otherwise.
const FileFormat* outputFormatNamed(std::string_view name);
// The writer row of an output kind; nullptr for a kind nothing writes.
const FileFormat* outputFormatOfKind(FormatKind kind);
// The row at a position of the desktop program's output list, whether or not
// it has a writer; nullptr outside the list.
const FileFormat* outputListEntry(int index);
// The output names in table order, as a usage text lists them: "3dp, 3mf, ...".
std::string outputFormatNames();

// Profile of a file extension (dot included or not, any case); kind Unknown
// for anything not in the table.
FormatProfile profileForExtension(std::string_view extension);

// Whether models of this kind keep per-object placement; Unknown and the
// external kinds do.
bool keepsPlacement(FormatKind kind);

} // namespace morvex
