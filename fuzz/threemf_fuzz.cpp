// Seeds: 3mf
// Whole packages: the zip, its relationships and the model part.
#include "formats/threemf/threemf.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    morvex::Model model;
    morvex::fuzzing::QuietReporter reporter;
    if (morvex::threemf::read3mf(morvex::fuzzing::bytesOf(data, size), "fuzz.3mf", model, reporter) ==
        morvex::OperationResult::Success)
        morvex::fuzzing::requireSafeModel(model);
    return 0;
}
