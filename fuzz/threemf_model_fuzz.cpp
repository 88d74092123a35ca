// Seeds: model
// The model part alone (the XML of "3D/3dmodel.model"), so that the walk over
// objects, meshes, colours, components and build items is reached without
// the zip around it. The reader takes the part as a file.
#include "formats/threemf/threemf_model_part.h"
#include "fuzz_support.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::filesystem::path partPath()
{
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("morvex-fuzz-" + std::to_string(::getpid()) + ".model");
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* file = std::fopen(partPath().c_str(), "wb");
    if (file == nullptr)
        return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    std::fclose(file);
    if (!written)
        return 0;
    morvex::Model model;
    morvex::fuzzing::QuietReporter reporter;
    if (morvex::threemf::read3mfModelPart(partPath(), model, reporter) == morvex::OperationResult::Success)
        morvex::fuzzing::requireSafeModel(model);
    return 0;
}
