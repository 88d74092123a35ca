// Seeds: stl
#include "formats/stl/stl.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    morvex::Model model;
    morvex::fuzzing::QuietReporter reporter;
    if (morvex::stl::readStl(morvex::fuzzing::bytesOf(data, size), "fuzz.stl", model, reporter) ==
        morvex::OperationResult::Success)
        morvex::fuzzing::requireSafeModel(model);
    return 0;
}
