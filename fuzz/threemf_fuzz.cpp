// Seeds: 3mf
// Whole packages: the zip, its relationships and the model part.
#include "formats/threemf/threemf.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using Read = morvex::OperationResult (*)(std::string_view, std::string_view, morvex::Model&,
                                             morvex::ProgressReporter&, morvex::Failure*);
    return morvex::fuzzing::readAndCheck(static_cast<Read>(morvex::threemf::read3mf), data, size, "fuzz.3mf");
}
