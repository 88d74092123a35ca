#include "support/zip/parallel_deflate.h"

#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

namespace morvex {
namespace {

// The window of raw deflate: matches reach back at most this far, so this
// much input before a piece is all its dictionary needs.
constexpr std::size_t WindowBytes = 32 * 1024;

// The deflater counts a piece's bytes in 32 bits; pieces stay far below that.
constexpr std::size_t MaxPieceBytes = 64u << 20;

// Room for a piece's output: text shrinks to a fifth, and bytes that do not
// shrink come out as stored blocks of a few bytes' overhead each; the
// output grows should even that not do.
std::size_t outputRoom(std::size_t inputBytes)
{
    return inputBytes + inputBytes / 8 + 4096;
}

struct Piece {
    const unsigned char* input = nullptr;
    std::size_t inputBytes = 0;
    std::size_t dictionaryBytes = 0; // the bytes just before `input`
    bool finishesStream = false;
    std::vector<std::uint8_t> output;      // kept from round to round
    std::vector<std::uint8_t> levelBuffer; // the deflater's tables, likewise
    std::size_t outputBytes = 0;
    std::uint32_t crc = 0;
    bool failed = false;
};

// Deflates one piece on its own stream with ISA-L's deflater at level 1:
// on model parts it is six times as fast as zlib's level 2 and its output a
// tenth smaller.
bool deflatePiece(Piece& piece)
{
    piece.levelBuffer.resize(ISAL_DEF_LVL1_DEFAULT);
    isal_zstream stream;
    isal_deflate_init(&stream);
    stream.level = 1;
    stream.level_buf = piece.levelBuffer.data();
    stream.level_buf_size = static_cast<std::uint32_t>(piece.levelBuffer.size());
    stream.end_of_stream = piece.finishesStream ? 1 : 0;
    stream.flush = piece.finishesStream ? NO_FLUSH : SYNC_FLUSH;
    if (piece.dictionaryBytes != 0 &&
        isal_deflate_set_dict(&stream, const_cast<std::uint8_t*>(piece.input - piece.dictionaryBytes),
                              static_cast<std::uint32_t>(piece.dictionaryBytes)) != COMP_OK)
        return false;
    stream.next_in = const_cast<std::uint8_t*>(piece.input);
    stream.avail_in = static_cast<std::uint32_t>(piece.inputBytes);
    piece.output.resize(outputRoom(piece.inputBytes));
    std::size_t written = 0;
    for (;;) {
        stream.next_out = piece.output.data() + written;
        stream.avail_out = static_cast<std::uint32_t>(piece.output.size() - written);
        if (isal_deflate(&stream) != COMP_OK)
            return false;
        written = piece.output.size() - stream.avail_out;
        // The deflater returns once the input is used and flushed, or when
        // the output is full.
        const bool done = piece.finishesStream ? stream.internal_state.state == ZSTATE_END
                                               : stream.avail_in == 0 && stream.avail_out != 0;
        if (done)
            break;
        if (stream.avail_out != 0)
            return false;
        piece.output.resize(piece.output.size() * 2);
    }
    piece.outputBytes = written;
    piece.crc = crc32_gzip_refl(0, piece.input, piece.inputBytes);
    return true;
}

} // namespace

DeflateSplit deflateSplitForThisFile()
{
    DeflateSplit split;
    split.threads = threadsPerFile();
    return split;
}

OperationResult deflateInPieces(const std::filesystem::path& source, const std::filesystem::path& target,
                                const DeflateSplit& split, ProgressReporter& reporter, DeflatedFile& deflated,
                                Failure* failure)
{
    deflated = DeflatedFile{};
    MappedFile input;
    if (input.open(source, failure) != OperationResult::Success)
        return OperationResult::Failure;
    AtomicFileWriter output;
    if (output.open(target, failure) != OperationResult::Success)
        return OperationResult::Failure;

    const std::uint64_t total = input.size();
    const std::size_t pieceBytes = std::clamp<std::size_t>(split.pieceBytes, WindowBytes, MaxPieceBytes);
    const unsigned threads = std::max(1u, split.threads);
    std::vector<Piece> pieces(threads);
    std::uint64_t done = 0;
    // An empty file still needs the one finished (empty) block.
    do {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        unsigned used = 0;
        for (std::uint64_t at = done; used < threads && (at < total || (total == 0 && used == 0)); ++used) {
            Piece& piece = pieces[used];
            piece.input = input.bytes() + at;
            piece.inputBytes = static_cast<std::size_t>(std::min<std::uint64_t>(pieceBytes, total - at));
            piece.dictionaryBytes = static_cast<std::size_t>(std::min<std::uint64_t>(WindowBytes, at));
            at += piece.inputBytes;
            piece.finishesStream = at == total;
        }
        forEachRange(used, used, [&](unsigned, std::uint64_t first, std::uint64_t end) {
            for (std::uint64_t i = first; i < end; ++i)
                pieces[i].failed = !deflatePiece(pieces[i]);
        });
        for (unsigned i = 0; i < used; ++i) {
            const Piece& piece = pieces[i];
            if (piece.failed)
                return failWith(failure, FailureKind::Unwritable, "cannot compress " + source.filename().string());
            output.write(piece.output.data(), piece.outputBytes);
            deflated.crc = static_cast<std::uint32_t>(
                crc32_combine(deflated.crc, piece.crc, static_cast<z_off_t>(piece.inputBytes)));
            deflated.compressedSize += piece.outputBytes;
            done += piece.inputBytes;
        }
        // Pages compressed are not needed again but for the next dictionary.
        input.releaseBefore(done > WindowBytes ? done - WindowBytes : 0);
        reporter.setProgress(total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total));
    } while (done < total);
    deflated.size = total;
    return output.commit(failure);
}

} // namespace morvex
