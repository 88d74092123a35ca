#include "support/text/text_pieces.h"

#include "support/core/parallel_ranges.h"

#include <algorithm>

namespace morvex {
namespace {

constexpr std::uint64_t DefaultPieceBytes = 4u << 20;
std::atomic<std::uint64_t> pieceBytes{DefaultPieceBytes};
std::atomic<std::uint64_t> piecedTexts{0};

// The offset just after the line ending at or after `at`, or the text's end.
std::size_t afterLineEnding(std::string_view text, std::size_t at)
{
    // A cut that would fall between CR and LF moves past the LF.
    if (at > 0 && at < text.size() && text[at - 1] == '\r' && text[at] == '\n')
        return at + 1;
    if (at > 0 && (text[at - 1] == '\n' || text[at - 1] == '\r'))
        return at;
    const std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos)
        return text.size();
    if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
        return end + 2;
    return end + 1;
}

} // namespace

std::uint64_t minimumTextPieceBytes()
{
    return pieceBytes.load(std::memory_order_relaxed);
}

void setMinimumTextPieceBytes(std::uint64_t bytes)
{
    pieceBytes.store(bytes == 0 ? DefaultPieceBytes : bytes, std::memory_order_relaxed);
}

std::uint64_t textsReadInPieces()
{
    return piecedTexts.load(std::memory_order_relaxed);
}

void countTextReadInPieces()
{
    piecedTexts.fetch_add(1, std::memory_order_relaxed);
}

unsigned textPiecesFor(std::uint64_t bytes)
{
    return threadsFor(bytes, minimumTextPieceBytes());
}

std::vector<std::size_t> lineCuts(std::string_view text, unsigned pieces)
{
    pieces = std::max(pieces, 1u);
    std::vector<std::size_t> cuts(pieces + 1, text.size());
    cuts[0] = 0;
    for (unsigned piece = 1; piece < pieces; ++piece) {
        const std::size_t nominal = static_cast<std::size_t>(std::uint64_t{text.size()} * piece / pieces);
        cuts[piece] = std::max(cuts[piece - 1], afterLineEnding(text, nominal));
    }
    return cuts;
}

} // namespace morvex
