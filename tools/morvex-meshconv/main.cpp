// morvex-meshconv SOCKET INPUT
//
// The external mesh converter: reads INPUT with Assimp (polygons split into
// triangles, node transforms baked into the vertices), connects to the
// Unix-domain socket SOCKET and streams the meshes as one hello message and
// one mesh message (src/external/meshconv/converter_wire.h). Exit codes:
// 0 sent, 2 wrong arguments, 3 the file could not be read, 4 the meshes do
// not fit one message, 5 the socket could not be used, 6 out of memory.

#include "external/meshconv/converter_wire.h"
#include "support/platform/helper_main.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

namespace wire = morvex::wire;

enum ExitCode { Sent = 0, Usage = 2, Unreadable = 3, TooLarge = 4, SocketFailed = 5, OutOfMemory = 6 };

static_assert(sizeof(aiVector3D) == 12 && sizeof(aiColor4D) == 16,
              "Assimp's arrays are sent as they are: single precision, no padding");

std::uint32_t triangleCount(const aiMesh& mesh)
{
    std::uint32_t triangles = 0;
    for (unsigned i = 0; i < mesh.mNumFaces; ++i)
        triangles += mesh.mFaces[i].mNumIndices == 3 ? 1 : 0;
    return triangles;
}

// What one mesh sends; lines and points left by the triangulation are not
// sent. Normals, colours and texture coordinates belong to the vertices.
wire::BlockCounts countsOf(const aiMesh& mesh)
{
    const std::uint32_t vertices = mesh.mNumVertices;
    return wire::BlockCounts{vertices, triangleCount(mesh), mesh.HasNormals() ? vertices : 0,
                             mesh.HasVertexColors(0) ? vertices : 0, mesh.HasTextureCoords(0) ? vertices : 0};
}

class SocketWriter {
public:
    explicit SocketWriter(int descriptor) : descriptor_(descriptor) {}

    bool write(const void* bytes, std::size_t size)
    {
        const auto* at = static_cast<const unsigned char*>(bytes);
        while (size > 0) {
            const ssize_t sent = ::send(descriptor_, at, size, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            at += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }

private:
    int descriptor_;
};

// Indices go out in pieces, so that a large mesh needs no second copy.
bool sendTriangles(SocketWriter& out, const aiMesh& mesh)
{
    constexpr std::size_t PieceTriangles = 16384;
    std::vector<unsigned char> piece;
    piece.reserve(PieceTriangles * wire::TriangleBytes);
    for (unsigned i = 0; i < mesh.mNumFaces; ++i) {
        const aiFace& face = mesh.mFaces[i];
        if (face.mNumIndices != 3)
            continue;
        const std::size_t at = piece.size();
        piece.resize(at + wire::TriangleBytes);
        for (int corner = 0; corner < 3; ++corner)
            wire::putU32(piece.data() + at + 4 * corner, face.mIndices[corner]);
        if (piece.size() == PieceTriangles * wire::TriangleBytes) {
            if (!out.write(piece.data(), piece.size()))
                return false;
            piece.clear();
        }
    }
    return out.write(piece.data(), piece.size());
}

bool sendMesh(SocketWriter& out, const aiMesh& mesh, const wire::BlockCounts& counts)
{
    unsigned char header[wire::BlockCountsBytes];
    wire::encodeBlockCounts(header, counts);
    return out.write(header, sizeof header) &&
           out.write(mesh.mVertices, std::size_t(counts.vertices) * wire::VertexBytes) && sendTriangles(out, mesh) &&
           (counts.normals == 0 || out.write(mesh.mNormals, std::size_t(counts.normals) * wire::NormalBytes)) &&
           (counts.colours == 0 || out.write(mesh.mColors[0], std::size_t(counts.colours) * wire::ColourBytes)) &&
           (counts.texCoords == 0 ||
            out.write(mesh.mTextureCoords[0], std::size_t(counts.texCoords) * wire::TexCoordBytes));
}

int connectTo(const char* socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path)
        return -1;
    std::strcpy(address.sun_path, socketPath);
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor >= 0 && ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return descriptor;
    if (descriptor >= 0)
        ::close(descriptor);
    return -1;
}

int convert(const char* socketPath, const char* inputPath)
{
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(inputPath, aiProcess_Triangulate | aiProcess_PreTransformVertices);
    if (scene == nullptr) {
        std::fprintf(stderr, "%s\n", importer.GetErrorString());
        return Unreadable;
    }
    std::vector<wire::BlockCounts> counts;
    counts.reserve(scene->mNumMeshes);
    std::uint64_t total = wire::MeshHeaderBytes;
    for (unsigned i = 0; i < scene->mNumMeshes; ++i) {
        counts.push_back(countsOf(*scene->mMeshes[i]));
        total += counts.back().totalBytes();
    }
    if (total > UINT32_MAX) {
        std::fprintf(stderr, "the meshes need %llu bytes, more than one message holds\n",
                     static_cast<unsigned long long>(total));
        return TooLarge;
    }

    const int descriptor = connectTo(socketPath);
    if (descriptor < 0) {
        std::fprintf(stderr, "cannot connect to %s: %s\n", socketPath, std::strerror(errno));
        return SocketFailed;
    }
    SocketWriter out(descriptor);
    unsigned char hello[wire::HelloBytes];
    unsigned char meshHeader[wire::MeshHeaderBytes];
    wire::encodeHello(hello);
    wire::encodeMeshHeader(meshHeader, static_cast<std::uint32_t>(total));
    bool sent = out.write(hello, sizeof hello) && out.write(meshHeader, sizeof meshHeader);
    for (unsigned i = 0; sent && i < scene->mNumMeshes; ++i)
        sent = sendMesh(out, *scene->mMeshes[i], counts[i]);
    ::close(descriptor);
    if (!sent) {
        std::fprintf(stderr, "sending the meshes failed: %s\n", std::strerror(errno));
        return SocketFailed;
    }
    return Sent;
}

} // namespace

int main(int argc, char** argv)
{
    return morvex::runHelper(argc, argv, "morvex-meshconv SOCKET INPUT", {Usage, OutOfMemory, Unreadable}, convert);
}
