// Seeds: meshconv
// The external converter's byte stream, fed to the decoder in pieces whose
// size the first byte chooses, so that element and header boundaries fall
// anywhere.
#include "external/meshconv/mesh_stream_decoder.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    morvex::Model model;
    const std::size_t piece = data[0] % 32; // 0: all at once
    const morvex::DecodedStream decoded =
        morvex::decodeConverterStream(morvex::fuzzing::bytesOf(data + 1, size - 1), model, piece);
    if (decoded.complete != decoded.problem.empty())
        std::abort();
    morvex::fuzzing::requireSafeModel(model);
    return 0;
}
