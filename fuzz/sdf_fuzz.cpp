// Seeds: sdf
// The SDF walk over any XML: collects the mesh references and checks that
// every mesh path stays below the model tree's parent folder by its form
// (no root of its own; ".." is left to the reference policy).
#include "formats/sdf/sdf.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    morvex::XmlDocument document;
    std::string error;
    if (morvex::parseXmlText(morvex::fuzzing::bytesOf(data, size), document, error) != morvex::OperationResult::Success)
        return 0;
    morvex::fuzzing::QuietReporter reporter;
    std::vector<std::string> uris;
    if (morvex::sdf::collectMeshUris(document, reporter, uris) != morvex::OperationResult::Success)
        std::abort();
    const std::filesystem::path parent = "/models";
    for (const std::string& uri : uris) {
        const std::filesystem::path mesh = morvex::sdf::meshPathForUri(parent / "robot" / "model.sdf", uri);
        if (!mesh.empty() && mesh.string().rfind("/models/", 0) != 0)
            std::abort();
    }
    return 0;
}
