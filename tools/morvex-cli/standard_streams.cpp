#include "standard_streams.h"

#include "support/text/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace morvex::cli {
namespace {

bool throughAStream(const FileFormat& format)
{
    return format.route == ReadRoute::OwnReader && format.profile.kind != FormatKind::Obj;
}

// The formats a stream can carry, read or written, as the table has them.
bool oneFileFormats(std::string& error, std::string_view what, bool writing)
{
    std::string names;
    for (const FileFormat& format : fileFormats()) {
        const FileFormat* reader = formatForExtension(format.extension);
        if ((writing ? format.writable() : format.readable()) && reader != nullptr && throughAStream(*reader))
            names += (names.empty() ? "" : ", ") + std::string(format.name);
    }
    error = std::string(what) + " works only for the formats that are one file: " + names;
    return false;
}

// Copies everything from one descriptor to another.
bool copyAll(int from, int to)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t wrote = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                return false;
            done += wrote;
        }
    }
}

} // namespace

bool StandardStreams::makeFolder(std::string& error)
{
    if (!folder_.path().empty())
        return true;
    Failure failure;
    if (folder_.create(&failure) != OperationResult::Success)
        return error = "cannot create a temporary folder for standard input or output: " + describeFailure(failure),
               false;
    return true;
}

bool StandardStreams::prepare(ConvertOptions& options, std::string& error)
{
    const bool fromStdin = std::find(options.paths.begin(), options.paths.end(), "-") != options.paths.end();
    const bool toStdout = options.outputFolder && *options.outputFolder == "-";
    if (options.from && !fromStdin)
        return error = "--from names the format of standard input, given as -", false;
    if (fromStdin) {
        if (options.paths.size() != 1 || !options.lists.empty())
            return error = "- (standard input) must be the only input", false;
        if (options.from == nullptr)
            return error = "reading standard input needs its format: --from FORMAT", false;
        if (!throughAStream(*options.from))
            return oneFileFormats(error, "reading standard input", false);
        if (!toStdout && !options.outputFile)
            return error = "reading standard input needs an output file: -o FILE or -o -", false;
        if (::isatty(STDIN_FILENO) == 1)
            return error = "standard input is a terminal; pipe a model file into morvex-cli", false;
        if (!makeFolder(error))
            return false;
        input_ = folder_.path() / ("stdin." + std::string(options.from->extension));
        const int file = ::open(input_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool copied = file >= 0 && copyAll(STDIN_FILENO, file);
        if (file >= 0)
            ::close(file);
        if (!copied)
            return error = "cannot read standard input: " + std::string(std::strerror(errno)), false;
        options.paths.front() = input_.string();
    }
    if (toStdout) {
        std::error_code ignored;
        if (options.paths.size() != 1 || !options.lists.empty() ||
            std::filesystem::is_directory(options.paths.front(), ignored))
            return error = "-o - (standard output) takes one input file", false;
        if (options.format == nullptr)
            return error = "writing to standard output needs the format: --to FORMAT", false;
        if (!throughAStream(*formatForExtension(options.format->extension)))
            return oneFileFormats(error, "writing to standard output", true);
        if (options.json || options.dryRun)
            return error = "-o - (standard output) cannot be combined with --json or --dry-run", false;
        if (!makeFolder(error))
            return false;
        output_ = folder_.path() / ("stdout." + std::string(options.format->extension));
        options.outputFile = output_;
        options.outputFolder = folder_.path().string();
    }
    return true;
}

bool StandardStreams::copyOutOnce(const std::filesystem::path& output, std::string& error) const
{
    std::fflush(stdout);
    const int file = ::open(output.c_str(), O_RDONLY | O_CLOEXEC);
    const bool copied = file >= 0 && copyAll(file, STDOUT_FILENO);
    if (file >= 0)
        ::close(file);
    if (!copied)
        error = "cannot write to standard output: " + std::string(std::strerror(errno));
    return copied;
}

std::string StandardStreams::shownName(const std::filesystem::path& path) const
{
    if (!input_.empty() && path == input_)
        return "-";
    if (!output_.empty() && path == output_)
        return "-";
    return path.string();
}

} // namespace morvex::cli
