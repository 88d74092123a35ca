#include "support/zip/parallel_deflate.h"

#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

namespace morvex {
namespace {

// The window of raw deflate: matches reach back at most this far, so this
// much input before a piece is all its dictionary needs.
constexpr std::size_t WindowBytes = 32 * 1024;

// zlib counts a piece's bytes in 32 bits; pieces stay far below that.
constexpr std::size_t MaxPieceBytes = 64u << 20;

// Room beyond deflateBound: a sync flush adds an empty stored block.
constexpr std::size_t FlushMarkerBytes = 16;

struct Piece {
    const unsigned char* input = nullptr;
    std::size_t inputBytes = 0;
    std::size_t dictionaryBytes = 0; // the bytes just before `input`
    bool finishesStream = false;
    std::vector<unsigned char> output; // kept from round to round
    std::size_t outputBytes = 0;
    std::uint32_t crc = 0;
    bool failed = false;
};

// Deflates one piece on its own stream. The output vector is sized once to
// the bound, so deflate never runs out of room.
bool deflatePiece(Piece& piece, int level)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    bool done = false;
    if (piece.dictionaryBytes == 0 || deflateSetDictionary(&stream, piece.input - piece.dictionaryBytes,
                                                           static_cast<uInt>(piece.dictionaryBytes)) == Z_OK) {
        const std::size_t room = deflateBound(&stream, static_cast<uLong>(piece.inputBytes)) + FlushMarkerBytes;
        piece.output.resize(room);
        stream.next_in = const_cast<Bytef*>(piece.input);
        stream.avail_in = static_cast<uInt>(piece.inputBytes);
        stream.next_out = piece.output.data();
        stream.avail_out = static_cast<uInt>(room);
        const int status = deflate(&stream, piece.finishesStream ? Z_FINISH : Z_SYNC_FLUSH);
        done = piece.finishesStream ? status == Z_STREAM_END
                                    : status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0;
        piece.outputBytes = room - stream.avail_out;
    }
    deflateEnd(&stream);
    piece.crc = static_cast<std::uint32_t>(crc32(0, piece.input, static_cast<uInt>(piece.inputBytes)));
    return done;
}

} // namespace

DeflateSplit deflateSplitForThisFile()
{
    DeflateSplit split;
    split.threads = threadsPerFile();
    return split;
}

OperationResult deflateInPieces(const std::filesystem::path& source, const std::filesystem::path& target, int level,
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
                pieces[i].failed = !deflatePiece(pieces[i], level);
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
