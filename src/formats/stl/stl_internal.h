#pragma once

// Pieces shared by the STL reader, object builder and writers, and by their
// tests. Not part of the library's interface.

#include "mesh/model.h"
#include "support/platform/files.h"
#include "support/progress/progress_reporter.h"
#include "support/text/block_line_reader.h"
#include "support/text/text_pieces.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::stl {

inline constexpr std::size_t HeaderBytes = 80;
inline constexpr std::size_t FacetRecordBytes = 50; // normal, three vertices, attribute word
inline constexpr std::size_t BinaryPrefixBytes = HeaderBytes + 4;
inline constexpr std::size_t LineBlockBytes = 8192;
// ASCII lines are cut after this many bytes; the rest of a line is dropped.
inline constexpr std::size_t MaxLineBytes = 259;

inline constexpr std::string_view ObjectColorKey = "ObjectDefaultColor";
inline constexpr std::string_view ModelNameKey = "ModelName";
// The object property that keeps the name of the solid it was read from.
inline constexpr std::string_view ObjectNameKey = "Name";

// The facets the object builder turns into an object: `count` records of
// `stride` bytes, each with nine floats (three vertices) at vertexOffset and,
// for binary files, the attribute word at attributeOffset.
struct FacetSpan {
    const unsigned char* data = nullptr;
    std::uint32_t count = 0;
    std::size_t stride = 0;
    std::size_t vertexOffset = 0;
    bool hasAttributes = false;
    std::size_t attributeOffset = 0;
    // Some facet has a non-zero attribute word: the object gets colours.
    bool anyAttributeSet = false;
    // The mapped file the facets lie in, at that offset, whose pages are
    // given back once the facets before them are read; none when the facets
    // are not in a mapped file.
    MappedFile* mapping = nullptr;
    std::uint64_t mappingOffset = 0;

    void releaseBefore(std::uint32_t facet) const
    {
        if (mapping != nullptr)
            mapping->releaseBefore(mappingOffset + std::uint64_t{facet} * stride);
    }
    // For a first pass that the build follows: the pages go back to the
    // file, and the build maps them again from the page cache.
    void releaseRange(std::uint32_t firstFacet, std::uint32_t endFacet) const
    {
        if (mapping != nullptr)
            mapping->releaseRange(mappingOffset + std::uint64_t{firstFacet} * stride,
                                  mappingOffset + std::uint64_t{endFacet} * stride);
    }

    void corners(std::uint32_t facet, float out[9]) const
    {
        std::memcpy(out, data + facet * stride + vertexOffset, 9 * sizeof(float));
    }
    std::uint16_t attribute(std::uint32_t facet) const
    {
        if (!hasAttributes)
            return 0;
        std::uint16_t word;
        std::memcpy(&word, data + facet * stride + attributeOffset, sizeof word);
        return word;
    }
};

// The attribute word: bit 15 clear means the facet has its own colour, five
// bits each of red (bits 0-4), green (5-9) and blue (10-14); bit 15 set means
// it takes the object colour.
inline ArgbColor attributeColor(std::uint16_t attribute, ArgbColor objectColor)
{
    if (attribute & 0x8000u)
        return objectColor;
    const ArgbColor red = (attribute & 31u) * 8u;
    const ArgbColor green = ((attribute >> 5) & 31u) * 8u;
    const ArgbColor blue = ((attribute >> 10) & 31u) * 8u;
    return 0xFF000000u | (red << 16) | (green << 8) | blue;
}

inline std::uint16_t colorAttribute(ArgbColor color)
{
    return static_cast<std::uint16_t>(((color >> 19) & 31u) | (((color >> 11) & 31u) << 5) |
                                      (((color >> 3) & 31u) << 10));
}

// True when a 32-bit float pattern is NaN or infinite.
inline bool nonFiniteBits(std::uint32_t bits)
{
    return (bits & 0x7F800000u) == 0x7F800000u;
}

// Turns the facets into the object's indices, merged vertices and colours,
// reporting through the building phase of the read. The object's
// "ObjectDefaultColor" colours facets that take the object colour. A large
// object is merged in `parts` parts at once (0: as many as the threads one
// file may use and the facet count make worth it), with the same result;
// `convergedParts` tells how many parts kept their guessed merge.
OperationResult buildStlObject(const FacetSpan& facets, Model& model, ModelObject& object, ProgressReporter& phase,
                               Failure* failure, unsigned parts = 0, unsigned* convergedParts = nullptr);

// Why an ASCII attempt failed: the file is not ASCII STL at all (so the
// binary reader's verdict counts), or it is ASCII STL that cannot be read.
enum class AsciiVerdict { NotAscii, BadAscii };

// The ASCII reader, reading the source in blocks of blockBytes (the line
// endings and the 259-byte line limit do not depend on the block size).
// `wholeText`, when the caller holds the source's bytes whole, lets a large
// file be read by several threads (see textPiecesFor); the result is the
// same either way.
OperationResult readStlAscii(BlockSource& source, Model& model, ProgressReporter& reporter, Failure* failure,
                             AsciiVerdict* verdict, WholeText wholeText = {}, std::size_t blockBytes = LineBlockBytes);

// `mapping`, when given, is the mapped file whose bytes `file` are: its pages
// are given back as the facets are read.
OperationResult readStlBinary(std::string_view file, Model& model, ProgressReporter& reporter, Failure* failure,
                              MappedFile* mapping = nullptr);

} // namespace morvex::stl
