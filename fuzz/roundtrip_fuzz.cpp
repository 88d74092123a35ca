// Every writer on models made from the input, as a conversion writes them,
// then its own reader on the file: what is written must be read back (or
// refused with a reason), whatever numbers, colours and indices a model
// holds. The first
// byte picks the writer; the rest is read as vertices, then corner indices
// and colours.
#include "app/model_io.h"
#include "formats/format_table.h"
#include "fuzz_support.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using namespace morvex;

std::filesystem::path folder()
{
    static const std::filesystem::path path = [] {
        auto made = std::filesystem::temp_directory_path() / ("morvex-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(made);
        return made;
    }();
    return path;
}

template <typename T>
T take(std::string_view& input)
{
    T value{};
    const std::size_t n = std::min(sizeof(T), input.size());
    std::memcpy(&value, input.data(), n);
    input.remove_prefix(n);
    return value;
}

bool buildModel(std::string_view input, Model& model)
{
    const std::uint32_t vertexCount = take<std::uint8_t>(input) % 64 + 1;
    // At least one triangle: a model without any is written as an empty
    // file, which the STL reader refuses as holding nothing.
    const std::uint32_t triangleCount = take<std::uint8_t>(input) % 64 + 1;
    ModelObject* object = model.addObject();
    if (object == nullptr || !object->vertices.allocate(vertexCount) || !object->indices.allocate(triangleCount * 3))
        return false;
    for (Vector3& v : object->vertices)
        v = {take<float>(input), take<float>(input), take<float>(input)};
    for (std::uint32_t& index : object->indices)
        index = take<std::uint8_t>(input) % vertexCount;
    if (take<std::uint8_t>(input) % 2 == 1 && object->colors.allocate(object->indices.count()))
        for (ArgbColor& colour : object->colors)
            colour = take<std::uint32_t>(input);
    object->position = {take<float>(input), 0, 0};
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input = fuzzing::bytesOf(data, size);
    std::vector<const FileFormat*> writers;
    for (const FileFormat& format : fileFormats())
        if (format.writable())
            writers.push_back(&format);
    const FileFormat& writer = *writers[take<std::uint8_t>(input) % writers.size()];
    Model model;
    if (!buildModel(input, model))
        return 0;
    fuzzing::QuietReporter reporter;
    const std::filesystem::path file = folder() / ("model." + std::string(writer.extension));
    if (writeModel(reporter, file, model, writer) != OperationResult::Success)
        return 0;
    Model back;
    const FileFormat& reader = *formatForPath(file);
    Failure failure;
    if (reader.read(file, back, reporter, &failure) != OperationResult::Success) {
        // Our own file refused by our own reader.
        std::fprintf(stderr, "%s written, then refused: %s\n", std::string(writer.name).c_str(),
                     describeFailure(failure).c_str());
        std::abort();
    }
    fuzzing::requireSafeModel(back);
    std::error_code ignored;
    std::filesystem::remove_all(folder(), ignored);
    std::filesystem::create_directories(folder(), ignored);
    return 0;
}
