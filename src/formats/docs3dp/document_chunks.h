#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex::docs3dp {

// Version written into new documents; readers refuse 2 and above.
inline constexpr std::uint16_t Version = 1;
inline constexpr std::uint16_t FirstUnsupportedVersion = 2;

// Chunk ids of a document and where they sit.
enum ChunkId : std::uint16_t {
    Root = 0x0000,

    // Children of the root.
    DocumentProperty = 0x2000, // "key=value"
    FilePath = 0x2001,         // text
    FileType = 0x2002,         // integer
    HaveChanges = 0x2003,      // boolean
    Untitled = 0x2004,         // boolean
    Object = 0x1000,

    // Children of an object.
    Placement = 0x1100,
    Mesh = 0x1200,
    ObjectProperty = 0x1300, // "key=value"

    // Children of the placement: floats.
    PositionX = 0x1101,
    PositionY = 0x1102,
    PositionZ = 0x1103,
    RotationX = 0x1111,
    RotationY = 0x1112,
    RotationZ = 0x1113,
    ScaleX = 0x1121,
    ScaleY = 0x1122,
    ScaleZ = 0x1123,

    // Children of a mesh.
    Vertices = 0x1201,      // block of x, y, z floats
    Corners = 0x1202,       // block of corner records
    DefaultColor = 0x1221,  // integer
    Comment = 0x1231,       // text
    AmbientColor = 0x1224,  // integer
    DiffuseColor = 0x1222,  // integer
    SpecularColor = 0x1223, // integer
    // Boolean, written for an object whose own colours are all the default
    // grey that the corners of objects without colours are written with:
    // its corners keep their colours when read. Other readers skip it.
    OwnColors = 0x1225
};

// Property names the document stores in chunks of their own.
inline constexpr const char* FilePathKey = "3DPszFilePath";
inline constexpr const char* FileTypeKey = "3DPiFileType";
inline constexpr const char* HaveChangesKey = "3DPbHaveChanges";
inline constexpr const char* UntitledKey = "3DPbUntitled";
inline constexpr const char* DefaultColorKey = "ObjectDefaultColor";
inline constexpr const char* CommentKey = "3DPObjectComment";

// One corner: vertex index (signed), normal x, y, z, colour 0xAARRGGBB.
inline constexpr std::size_t CornerRecordSize = 20;
inline constexpr std::size_t VertexRecordSize = 12;

} // namespace morvex::docs3dp
