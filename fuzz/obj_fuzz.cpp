// Seeds: obj
// The input is an OBJ file, then a NUL byte and the material library that
// "mtllib fuzz.mtl" names.
#include "formats/obj/obj.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = morvex::fuzzing::bytesOf(data, size);
    const std::size_t split = input.find('\0');
    morvex::obj::ObjMemoryCompanions companions;
    if (split != std::string_view::npos)
        companions.libraries.emplace("fuzz.mtl", std::string(input.substr(split + 1)));
    morvex::Model model;
    morvex::fuzzing::QuietReporter reporter;
    if (morvex::obj::readObj(input.substr(0, split), "fuzz.obj", model, reporter, nullptr, &companions) ==
        morvex::OperationResult::Success)
        morvex::fuzzing::requireSafeModel(model);
    return 0;
}
