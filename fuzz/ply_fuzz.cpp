// Seeds: ply
#include "formats/ply/ply.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using Read = morvex::OperationResult (*)(std::string_view, std::string_view, morvex::Model&,
                                             morvex::ProgressReporter&, morvex::Failure*);
    return morvex::fuzzing::readAndCheck(static_cast<Read>(morvex::ply::readPly), data, size, "fuzz.ply");
}
