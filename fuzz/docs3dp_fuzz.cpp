// Seeds: 3dp
#include "formats/docs3dp/docs3dp.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using Read = morvex::OperationResult (*)(std::string_view, std::string_view, morvex::Model&,
                                             morvex::ProgressReporter&, morvex::Failure*);
    return morvex::fuzzing::readAndCheck(static_cast<Read>(morvex::docs3dp::read3dp), data, size, "fuzz.3dp");
}
