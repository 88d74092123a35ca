// Seeds: 3ds
#include "formats/3ds/tds.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using Read = morvex::OperationResult (*)(std::string_view, std::string_view, morvex::Model&,
                                             morvex::ProgressReporter&, morvex::Failure*);
    return morvex::fuzzing::readAndCheck(static_cast<Read>(morvex::tds::read3ds), data, size, "fuzz.3ds");
}
