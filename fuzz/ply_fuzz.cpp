// Seeds: ply
#include "formats/ply/ply.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    morvex::Model model;
    morvex::fuzzing::QuietReporter reporter;
    if (morvex::ply::readPly(morvex::fuzzing::bytesOf(data, size), "fuzz.ply", model, reporter) ==
        morvex::OperationResult::Success)
        morvex::fuzzing::requireSafeModel(model);
    return 0;
}
