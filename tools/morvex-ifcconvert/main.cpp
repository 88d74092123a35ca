// morvex-ifcconvert INPUT OUTPUT
//
// The IFC tool: reads the IFC file INPUT (STEP text, IFC2X3 or IFC4) with
// IFC++ and its Carve geometry, and writes the geometry of every product as
// a Wavefront OBJ file (src/external/ifc/ifc_obj_name.h: OUTPUT, with ".obj"
// appended unless it ends so) and its material library beside it. Each
// product is one "o" with a material of its own (one per colour in files of
// more than 32,000 products), so that a reader that splits objects at
// material changes still gets one object per product.
// Coordinates are in metres, turned from IFC's Z up to OBJ's Y up; the
// colour of a product's surface style goes on its vertices and into its
// material. Exit codes: 0 written, 2 wrong arguments, 3 the file could not
// be read, 4 the file holds no product geometry, 5 the output could not be
// written, 6 out of memory.

#include "external/ifc/ifc_obj_name.h"
#include "obj_text.h"
#include "product_meshes.h"
#include "support/platform/helper_main.h"

#include <ifcpp/geometry/Carve/GeometryConverter.h>
#include <ifcpp/model/BuildingModel.h>
#include <ifcpp/reader/ReaderSTEP.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

enum ExitCode { Written = 0, Usage = 2, Unreadable = 3, NothingToConvert = 4, Unwritable = 5, OutOfMemory = 6 };

// IFC++ reports what it skips through a callback; the first few reasons go
// to standard error, which the program keeps for its log.
class MessageSink {
public:
    static void receive(void* self, shared_ptr<StatusCallback::Message> message)
    {
        static_cast<MessageSink*>(self)->note(*message);
    }

private:
    void note(const StatusCallback::Message& message)
    {
        if (message.m_message_type != StatusCallback::MESSAGE_TYPE_ERROR &&
            message.m_message_type != StatusCallback::MESSAGE_TYPE_WARNING)
            return;
        if (++count_ <= MessagesShown)
            std::fprintf(stderr, "%s\n", morvex::ifctool::utf8(message.m_message_text).c_str());
    }

    static constexpr int MessagesShown = 5;
    int count_ = 0;
};

bool readWholeFile(const char* path, std::string& bytes)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char block[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.append(block, got);
    const bool complete = std::ferror(file) == 0;
    std::fclose(file);
    return complete;
}

int convert(const char* input, const std::filesystem::path& output)
{
    std::string bytes;
    if (!readWholeFile(input, bytes)) {
        std::fprintf(stderr, "cannot read %s\n", input);
        return Unreadable;
    }
    MessageSink sink;
    auto model = std::make_shared<BuildingModel>();
    auto reader = std::make_shared<ReaderSTEP>();
    reader->setMessageCallBack(&sink, &MessageSink::receive);
    reader->loadModelFromString(bytes, model);
    std::string().swap(bytes);

    GeometryConverter geometry(model);
    geometry.setMessageCallBack(&sink, &MessageSink::receive);
    geometry.convertGeometry();

    const std::vector<morvex::ifctool::ProductMesh> products = morvex::ifctool::collectProducts(geometry);
    if (products.empty()) {
        std::fprintf(stderr, "%s holds no product geometry that IFC++ reads\n", input);
        return NothingToConvert;
    }
    if (!morvex::ifctool::writeObjAndMaterials(products, morvex::ifcToolObjPath(output),
                                               morvex::ifcToolMtlPath(output))) {
        std::fprintf(stderr, "cannot write %s\n", morvex::ifcToolObjPath(output).c_str());
        return Unwritable;
    }
    return Written;
}

// Carve throws its own exceptions, which are no std::exception.
int convertCatchingCarve(const char* input, const char* output)
{
    try {
        return convert(input, output);
    } catch (const carve::exception& error) {
        std::fprintf(stderr, "%s\n", error.str().c_str());
        return Unreadable;
    }
}

} // namespace

int main(int argc, char** argv)
{
    return morvex::runHelper(argc, argv, "morvex-ifcconvert INPUT.ifc OUTPUT", {Usage, OutOfMemory, Unreadable},
                             convertCatchingCarve);
}
