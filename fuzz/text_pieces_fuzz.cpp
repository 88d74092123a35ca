// Seeds: text_pieces
// The first byte picks the reader (ASCII STL, OBJ, PLY, MQO) and how many pieces;
// the rest is the file. It is read once whole on one thread and once cut
// into pieces on several, and the two readings must agree: the same result,
// the same failure, the same model to the last bit.
#include "formats/mqo/mqo.h"
#include "formats/obj/obj.h"
#include "formats/ply/ply.h"
#include "formats/stl/stl.h"
#include "fuzz_support.h"
#include "support/core/parallel_ranges.h"
#include "support/text/text_pieces.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using namespace morvex;

template <typename Array>
bool sameArray(const Array& a, const Array& b)
{
    return a.count() == b.count() &&
           (a.count() == 0 || std::memcmp(a.data(), b.data(), a.count() * sizeof(*a.data())) == 0);
}

bool sameModel(const Model& a, const Model& b)
{
    if (a.objects.size() != b.objects.size() || a.materials.size() != b.materials.size() ||
        a.nextMaterialId != b.nextMaterialId)
        return false;
    for (std::size_t i = 0; i < a.objects.size(); ++i) {
        const ModelObject& x = *a.objects[i];
        const ModelObject& y = *b.objects[i];
        if (!sameArray(x.vertices, y.vertices) || !sameArray(x.indices, y.indices) ||
            !sameArray(x.normals, y.normals) || !sameArray(x.texCoords, y.texCoords) ||
            !sameArray(x.colors, y.colors) || x.materialRanges.size() != y.materialRanges.size())
            return false;
        for (std::size_t r = 0; r < x.materialRanges.size(); ++r)
            if (x.materialRanges[r].materialId != y.materialRanges[r].materialId ||
                x.materialRanges[r].firstIndex != y.materialRanges[r].firstIndex ||
                x.materialRanges[r].endIndex != y.materialRanges[r].endIndex)
                return false;
    }
    for (std::size_t m = 0; m < a.materials.size(); ++m)
        if (a.materials[m]->id != b.materials[m]->id ||
            a.materials[m]->properties.getProperty("Name") != b.materials[m]->properties.getProperty("Name"))
            return false;
    return true;
}

struct Reading {
    OperationResult result;
    std::string failure;
    Model model;
};

void readWith(unsigned reader, std::string_view text, unsigned threads, std::uint64_t pieceBytes, Reading& out)
{
    setThreadsPerFile(threads);
    setMinimumTextPieceBytes(pieceBytes);
    fuzzing::QuietReporter reporter;
    Failure failure;
    switch (reader) {
    case 0: out.result = stl::readStl(text, "fuzz.stl", out.model, reporter, &failure); break;
    case 1: out.result = obj::readObj(text, "fuzz.obj", out.model, reporter, &failure); break;
    case 2: out.result = ply::readPly(text, "fuzz.ply", out.model, reporter, &failure); break;
    default: out.result = mqo::readMqo(text, "fuzz.mqo", out.model, reporter, &failure); break;
    }
    if (out.result != OperationResult::Success)
        out.failure = describeFailure(failure);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const unsigned reader = data[0] % 4;
    const unsigned threads = 2 + (data[0] / 4) % 4;
    const std::string_view text = fuzzing::bytesOf(data + 1, size - 1);
    Reading whole, pieces;
    readWith(reader, text, 1, 0, whole);
    readWith(reader, text, threads, std::max<std::size_t>(text.size() / (4 * threads), 1), pieces);
    setThreadsPerFile(1);
    setMinimumTextPieceBytes(0);
    if (whole.result != pieces.result || whole.failure != pieces.failure)
        std::abort();
    if (whole.result == OperationResult::Success) {
        if (!sameModel(whole.model, pieces.model))
            std::abort();
        fuzzing::requireSafeModel(pieces.model);
    }
    return 0;
}
