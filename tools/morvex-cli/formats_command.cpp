#include "formats_command.h"

#include "command_line_spec.h"
#include "external/external_converters.h"
#include "formats/format_table.h"
#include "support/text/json.h"
#include "terminal.h"

#include <cstdio>

namespace morvex::cli {
namespace {

constexpr const char* HelperName = "the external mesh converter";

// How files of a row are read, in the words of the text table.
std::string readWords(const FileFormat& format)
{
    const std::string helper = externalConverterInstalled() ? "" : ", not installed";
    switch (format.route) {
    case ReadRoute::OwnReader: return "yes, own reader";
    case ReadRoute::OwnReaderMissing: return "no, own reader not built yet";
    case ReadRoute::IfcTool: return "through the IFC tool or helper" + helper;
    case ReadRoute::ExternalConverter: return "through the helper" + helper;
    case ReadRoute::OwnReaderWithHelper: return "own reader, meshes through the helper" + helper;
    case ReadRoute::NotAnInput: break;
    }
    return "no";
}

std::string_view routeName(const FileFormat& format)
{
    switch (format.route) {
    case ReadRoute::OwnReader: return "native";
    case ReadRoute::OwnReaderMissing: return "native-missing";
    case ReadRoute::IfcTool: return "ifc-tool";
    case ReadRoute::ExternalConverter: return "helper";
    case ReadRoute::OwnReaderWithHelper: return "native-with-helper";
    case ReadRoute::NotAnInput: break;
    }
    return "none";
}

bool readsThisBuild(const FileFormat& format)
{
    return format.route == ReadRoute::OwnReader ||
           (format.route != ReadRoute::OwnReaderMissing && format.route != ReadRoute::NotAnInput &&
            externalConverterInstalled());
}

// The --to names that write files of the row's extension.
std::vector<std::string_view> writersOf(const FileFormat& row)
{
    std::vector<std::string_view> names;
    for (const FileFormat& format : fileFormats())
        if (format.writable() && format.extension == row.extension)
            names.push_back(format.name);
    return names;
}

std::string jsonLine(const FileFormat& format)
{
    std::string out = "{\"format\":";
    appendJsonString(out, format.extension);
    out += ",\"extensions\":[";
    appendJsonString(out, "." + std::string(format.extension));
    out += "],\"read\":";
    out += readsThisBuild(format) ? "true" : "false";
    out += ",\"route\":";
    appendJsonString(out, routeName(format));
    out += ",\"write\":[";
    bool first = true;
    for (std::string_view name : writersOf(format)) {
        out += first ? "" : ",";
        first = false;
        appendJsonString(out, name);
    }
    out += "]";
    if (format.route == ReadRoute::ExternalConverter || format.route == ReadRoute::IfcTool ||
        format.route == ReadRoute::OwnReaderWithHelper)
        out += std::string(",\"helperInstalled\":") + (externalConverterInstalled() ? "true" : "false");
    return out + "}\n";
}

std::string textLine(const FileFormat& format)
{
    std::string writes;
    for (std::string_view name : writersOf(format))
        writes += (writes.empty() ? "" : ", ") + std::string(name);
    char line[160];
    std::snprintf(line, sizeof line, "%-8s .%-8s %-45s %s\n", std::string(format.extension).c_str(),
                  std::string(format.extension).c_str(), readWords(format).c_str(),
                  writes.empty() ? "no" : writes.c_str());
    return line;
}

std::string helperNote()
{
    return std::string("\nThe helper is ") + HelperName + "; it is " +
           (externalConverterInstalled() ? "installed"
                                         : "not installed ('morvex-cli components install assimpext2' installs "
                                           "it)") +
           " (see \"Formats read through the helper\" in the README).\n";
}

} // namespace

int runFormats(const std::vector<std::string>& args)
{
    bool json = false;
    for (const std::string& arg : args) {
        if (arg == "--json") {
            json = true;
        } else if (arg == "--help" || arg == "-h") {
            const std::string help = commandHelp(*commandSpec("formats"));
            std::fwrite(help.data(), 1, help.size(), stdout);
            return 0;
        } else if (arg != "--") {
            ErrorOutput::instance().write("morvex-cli: formats takes only --json, not '" + displayPath(arg) +
                                          "'\nTry 'morvex-cli formats --help'.\n");
            return 2;
        }
    }
    std::string out;
    if (!json) {
        char head[160];
        std::snprintf(head, sizeof head, "%-8s %-9s %-45s %s\n", "format", "extension", "read", "write (--to)");
        out = head;
    }
    for (const FileFormat& format : fileFormats())
        if (format.readable())
            out += json ? jsonLine(format) : textLine(format);
    if (!json)
        out += helperNote();
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

} // namespace morvex::cli
