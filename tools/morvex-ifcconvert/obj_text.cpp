#include "obj_text.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>

namespace morvex::ifctool {
namespace {

// Text gathered in one large buffer and written in blocks; numbers through
// std::to_chars, so the output does not depend on the locale.
class TextFile {
public:
    explicit TextFile(const std::filesystem::path& path) : file_(std::fopen(path.c_str(), "wb"))
    {
        buffer_.reserve(BlockBytes + 256);
    }
    ~TextFile()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    void text(std::string_view part)
    {
        buffer_.append(part);
        if (buffer_.size() >= BlockBytes)
            flush();
    }
    void number(double value)
    {
        char digits[32];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        buffer_.append(digits, end);
    }
    // Colours are single precision: their shortest text is short.
    void number(float value)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        buffer_.append(digits, end);
    }
    void number(std::uint64_t value)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        buffer_.append(digits, end);
    }
    // True when every byte reached the file and it closed cleanly.
    bool close()
    {
        flush();
        const bool closed = file_ != nullptr && std::fclose(file_) == 0;
        file_ = nullptr;
        return closed && good_;
    }

private:
    static constexpr std::size_t BlockBytes = 1 << 20;
    void flush()
    {
        if (file_ == nullptr || std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
            good_ = false;
        buffer_.clear();
    }

    std::FILE* file_;
    std::string buffer_;
    bool good_ = true;
};

void writeColour(TextFile& out, const Colour& colour)
{
    for (const float channel : {colour.red, colour.green, colour.blue}) {
        out.text(" ");
        out.number(channel);
    }
}

void writeProduct(TextFile& out, const ProductMesh& product, bool colours, std::uint64_t firstVertex)
{
    out.text("o ");
    out.text(product.name);
    out.text("\nusemtl ");
    out.text(product.material);
    out.text("\n");
    for (std::size_t i = 0; i + 2 < product.positions.size(); i += 3) {
        out.text("v");
        for (std::size_t axis = 0; axis < 3; ++axis) {
            out.text(" ");
            out.number(product.positions[i + axis]);
        }
        if (colours)
            writeColour(out, product.colour);
        out.text("\n");
    }
    for (std::size_t i = 0; i + 2 < product.corners.size(); i += 3) {
        out.text("f");
        for (std::size_t corner = 0; corner < 3; ++corner) {
            out.text(" ");
            out.number(firstVertex + product.corners[i + corner]);
        }
        out.text("\n");
    }
}

bool writeObj(const std::vector<ProductMesh>& products, const std::filesystem::path& path,
              const std::string& libraryName)
{
    bool colours = false;
    for (const ProductMesh& product : products)
        colours = colours || product.coloured;
    TextFile out(path);
    out.text("# IFC products as triangles, in metres with Y up\nmtllib ");
    out.text(libraryName);
    out.text("\n");
    std::uint64_t firstVertex = 1; // OBJ counts from one
    for (const ProductMesh& product : products) {
        writeProduct(out, product, colours, firstVertex);
        firstVertex += product.positions.size() / 3;
    }
    return out.close();
}

bool writeMaterials(const std::vector<ProductMesh>& products, const std::filesystem::path& path)
{
    TextFile out(path);
    std::unordered_set<std::string_view> written;
    for (const ProductMesh& product : products) {
        if (!written.insert(product.material).second)
            continue;
        out.text("newmtl ");
        out.text(product.material);
        out.text("\nKd");
        writeColour(out, product.colour);
        out.text("\nd ");
        out.number(product.colour.alpha);
        out.text("\n");
    }
    return out.close();
}

std::filesystem::path partName(const std::filesystem::path& path)
{
    std::filesystem::path part = path;
    part += ".part";
    return part;
}

} // namespace

bool writeObjAndMaterials(const std::vector<ProductMesh>& products, const std::filesystem::path& objPath,
                          const std::filesystem::path& mtlPath)
{
    std::error_code error;
    const bool written = writeMaterials(products, partName(mtlPath)) &&
                         writeObj(products, partName(objPath), mtlPath.filename().string()) &&
                         (std::filesystem::rename(partName(mtlPath), mtlPath, error), !error) &&
                         (std::filesystem::rename(partName(objPath), objPath, error), !error);
    if (!written) {
        std::filesystem::remove(partName(mtlPath), error);
        std::filesystem::remove(partName(objPath), error);
        std::filesystem::remove(mtlPath, error);
    }
    return written;
}

} // namespace morvex::ifctool
