#include "app/input_formats.h"

#include "formats/format_table.h"
#include "support/text/text.h"

#include <cstdio>

namespace morvex {
namespace {

constexpr std::string_view PreviewSection = "Preview";

} // namespace

bool isSupportedInput(std::string_view extension)
{
    return formatForExtension(extension) != nullptr;
}

bool isNativeInput(std::string_view extension)
{
    const FileFormat* format = formatForExtension(extension);
    return format != nullptr && format->native;
}

std::uint32_t formatFlagsFor(std::string_view extension)
{
    return (isSupportedInput(extension) ? SupportedFormatFlag : 0u) |
           (isNativeInput(extension) ? NativeFormatFlag : 0u);
}

std::string_view notConvertibleReason(const std::filesystem::path& file)
{
    if (!equalsIgnoreCase(extensionOf(file.string()), ".mdl"))
        return NotConvertibleText;
    std::FILE* stream = std::fopen(file.c_str(), "rb");
    if (stream == nullptr)
        return NotConvertibleText;
    char magic[4] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, stream);
    std::fclose(stream);
    const std::string_view head(magic, got);
    return head == "IDST" || head == "TSDI" ? UnsupportedMdlText : NotConvertibleText;
}

std::string recordPreviewOutcome(const SettingsStore& store, const std::filesystem::path& file,
                                 OperationResult readResult)
{
    std::string reason;
    if (readResult == OperationResult::Failure)
        reason = notConvertibleReason(file);
    store.update([&](IniDocument& document) {
        document.removeSection(PreviewSection);
        return reason.empty() || document.set(PreviewSection, "Status", reason);
    });
    return reason;
}

std::string storedPreviewReason(const SettingsStore& store)
{
    return store.readText(PreviewSection, "Status");
}

} // namespace morvex
