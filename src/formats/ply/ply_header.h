#pragma once

// The first phase of reading a PLY file: the header, turned into a plain
// description that the body reader follows.

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::ply {

enum class PlyFormat : std::int32_t {
    Ascii = 0,
    BinaryLittleEndian = 1,
    BinaryBigEndian = 2,
    Unknown = 3,
};

// Value types by their type word; the sized names (int8, uint16, float64,
// ...) are synonyms of the classic ones.
enum class PlyValueType : std::uint8_t { Char, Uchar, Int, Uint, Short, Ushort, Float, Double, List, Unknown };

// Coordinate roles count from 0, to index x, y, z.
enum class PlyRole : std::uint8_t {
    X = 0,
    Y = 1,
    Z = 2,
    Red = 3,
    Green = 4,
    Blue = 5,
    Alpha = 6,
    Vertex1 = 7,
    Vertex2 = 8,
    Indices = 9, // the corner list of a face
    Ignored = 10,
};

enum class PlyColorMode : std::int32_t {
    None = 0,
    PerVertex = 1,
    PerFace = 2,
};

// For a list, `type` is the type of its length and `itemType` that of its
// items; other properties have itemType Unknown.
struct PlyProperty {
    PlyValueType type = PlyValueType::Unknown;
    PlyRole role = PlyRole::Ignored;
    PlyValueType itemType = PlyValueType::Unknown;
    bool list = false;
};

enum class PlyElementKind : std::uint8_t {
    Vertex,
    Face,
    Strips, // "tristrips": triangle strips, -1 restarting a strip
    Edge,
    Other,
};

struct PlyElement {
    PlyElementKind kind = PlyElementKind::Other;
    std::uint32_t count = 0;
    std::vector<PlyProperty> properties;
};

struct PlyHeader {
    PlyFormat format = PlyFormat::Unknown;
    // In file order, which is the order of their records in the body.
    std::vector<PlyElement> elements;
    // Elements the body reader walks: up to the last vertex, face or strip
    // element with records. What follows them is not read.
    std::size_t elementsToRead = 0;
    std::uint32_t vertexCount = 0;
    std::uint32_t faceCount = 0;
    PlyColorMode colorMode = PlyColorMode::None;
    std::vector<std::string> comments; // non-empty comment texts, in file order
    std::uint64_t bodyOffset = 0;      // first byte after the end_header line
    std::uint64_t bodyFirstLine = 0;   // its line number, for ASCII bodies
};

// Bytes of one value in a binary body; 0 for lists and unknown types.
std::uint32_t valueSize(PlyValueType type);

PlyValueType valueTypeFromWord(std::string_view word);

// Parses the header at the start of `file`. Fails with a reason for
// anything the body reader could not follow; Cancelled when the reporter
// asks to stop (checked once per line).
OperationResult parsePlyHeader(std::string_view file, PlyHeader& header, ProgressReporter& reporter,
                               Failure* failure = nullptr);

} // namespace morvex::ply
