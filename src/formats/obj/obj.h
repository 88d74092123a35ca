#pragma once

#include "mesh/model.h"
#include "support/platform/files.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::obj {

// Reads a Wavefront OBJ file and the material libraries it names (UTF-8, or
// UTF-16 with a byte-order mark). Every run of faces with the same material
// becomes one object; faces of any corner count become corners - 2
// triangles (fans when convex, ears when concave) and every corner gets a
// vertex of its own. Objects get a
// material range only when the file has texture coordinates. Profile kind
// becomes Obj.
OperationResult readObj(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Where the OBJ reader gets the files an OBJ file names: its material
// libraries, and the paths of the textures those name.
class ObjCompanions {
public:
    virtual ~ObjCompanions() = default;
    // The bytes of the material library an "mtllib" name refers to, valid
    // until the next call, and an identity that is the same for every name
    // of one file (each library is read once per OBJ file). False when there
    // is none, or it cannot be read: the library is then skipped.
    virtual bool fetchLibrary(std::string_view name, std::string_view& bytes, std::string& identity) = 0;
    // The path a material keeps for a texture the last library names.
    virtual std::string texturePath(std::string_view written) = 0;
};

// The companions on disk, next to the OBJ file in `objFolder`: what the path
// entry point reads with.
class ObjFolderCompanions : public ObjCompanions {
public:
    explicit ObjFolderCompanions(std::filesystem::path objFolder) : objFolder_(std::move(objFolder)) {}
    bool fetchLibrary(std::string_view name, std::string_view& bytes, std::string& identity) override;
    std::string texturePath(std::string_view written) override;
    // Libraries and textures that lie outside the OBJ's folder tree and the
    // allowed folders are not used; each is named here.
    const std::vector<std::string>& refusedReferences() const { return refused_; }

private:
    std::filesystem::path objFolder_;
    std::filesystem::path libraryFolder_;
    void noteRefused(std::string why);

    MappedFile library_;
    std::vector<std::string> refused_;
};

// Material libraries held in memory under the names the OBJ text uses;
// textures keep the path as written.
class ObjMemoryCompanions : public ObjCompanions {
public:
    std::map<std::string, std::string, std::less<>> libraries;

    bool fetchLibrary(std::string_view name, std::string_view& bytes, std::string& identity) override;
    std::string texturePath(std::string_view written) override { return std::string(written); }
};

// The same from bytes in memory; `name` is the file name messages use. The
// material libraries come from `companions`; without them none is read.
OperationResult readObj(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr, ObjCompanions* companions = nullptr);

// Writes all objects as one OBJ vertex list with what each holds: vertex
// colours as fractions of 1, texture coordinates, its own per-corner normals
// (one flat face normal per triangle for an object without normals), its
// material ranges as "usemtl", and the vertices of point sets as "p"
// elements. With materials, a material library (the OBJ name with ".mtl") is
// written beside it and diffuse textures are copied into a "Textures" folder
// there. Nothing appears at either name unless the whole write succeeded.
OperationResult writeObj(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);

// The writer formats its long sections (vertices, normals, texture
// coordinates, faces) in pieces of this many lines on the threads the file
// may use, and writes them in order: the file is the same for any number of
// threads. For tests, which cut small models into many pieces; 0 restores
// the default.
void setWriterPieceLines(std::uint32_t lines);

// The reader builds the objects of large runs of faces on the threads the
// file may use, each thread taking at least this many faces: the model is
// the same for any number of threads. For tests, which cut small files into
// many chunks; 0 restores the default.
void setCompileFacesPerThread(std::uint32_t faces);

// The material library written beside an OBJ file: the extension of its
// file name replaced by ".mtl", or ".mtl" appended when it has none.
std::filesystem::path materialLibraryPathFor(const std::filesystem::path& objPath);

} // namespace morvex::obj
