// Seeds: 3dp
#include "formats/docs3dp/docs3dp.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    morvex::Model model;
    morvex::fuzzing::QuietReporter reporter;
    if (morvex::docs3dp::read3dp(morvex::fuzzing::bytesOf(data, size), "fuzz.3dp", model, reporter) ==
        morvex::OperationResult::Success)
        morvex::fuzzing::requireSafeModel(model);
    return 0;
}
