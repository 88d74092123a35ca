#include "console_report.h"

#include "settings_command.h"
#include "support/text/json.h"
#include "support/text/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sys/ioctl.h>
#include <unistd.h>

namespace morvex::cli {
namespace {

constexpr auto RedrawInterval = std::chrono::milliseconds(200);

std::size_t terminalWidth()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// Cuts UTF-8 text to at most `columns` characters.
std::string fitColumns(std::string_view text, std::size_t columns)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters++ == columns)
            return std::string(text.substr(0, i));
    }
    return std::string(text);
}

std::string trimmed(std::string_view text)
{
    std::string_view view = trimSpaces(text);
    while (!view.empty() && (view.back() == '\r' || view.back() == '\t'))
        view.remove_suffix(1);
    return std::string(view);
}

// Shows the question and prompts until `accept` takes the answer (as typed,
// without a trailing "!", which is passed as `remember`). Returns without an
// answer at the end of input or on Ctrl-C.
void askOnTerminal(std::string_view question, std::string_view prompt, const InterruptWatcher& watcher,
                   const std::function<bool(std::string_view answer, bool remember)>& accept)
{
    ErrorOutput& output = ErrorOutput::instance();
    std::lock_guard lock(output.mutex());
    output.writeLocked(std::string(question) + "\n");
    for (;;) {
        output.writeLocked(prompt);
        const std::optional<std::string> line = readAnswerLine(&watcher);
        if (!line) {
            output.writeLocked("\n");
            return;
        }
        std::string answer = trimmed(*line);
        const bool remember = !answer.empty() && answer.back() == '!';
        if (remember)
            answer.pop_back();
        if (accept(answer, remember))
            return;
    }
}

} // namespace

LiveResults::LiveResults(const std::vector<std::filesystem::path>& inputs, ResultStyle style)
    : style_(style), printed_(inputs.size(), false)
{
    indexBySource_.reserve(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        indexBySource_.emplace(inputs[i].native(), i);
}

void LiveResults::print(const RunEntry& ended, std::size_t index)
{
    RunEntry entry = ended;
    if (shownName_) {
        entry.source = shownName_(entry.source);
        entry.output = shownName_(entry.output);
    }
    if (style_.json) {
        const std::string line = fileResultJson(entry, index);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    } else if (!style_.quiet || !endedWell(entry.status)) {
        ErrorOutput::instance().write(fileResultLine(entry));
    }
}

std::optional<RunEntry> LiveResults::firstCancelledOnAWorker()
{
    std::lock_guard lock(mutex_);
    return firstCancelled_;
}

void LiveResults::fileEnded(const RunEntry& entry)
{
    const auto found = indexBySource_.find(entry.source.native());
    const std::size_t index = found != indexBySource_.end() ? found->second : printed_.size();
    std::lock_guard lock(mutex_);
    if (entry.status == ConversionStatus::Cancelled && !firstCancelled_)
        firstCancelled_ = entry;
    if (index < printed_.size())
        printed_[index] = true;
    print(entry, index);
}

void LiveResults::reportTheRest(const std::vector<RunEntry>& finals)
{
    for (const RunEntry& entry : finals) {
        const auto found = indexBySource_.find(entry.source.native());
        if (found == indexBySource_.end() || printed_[found->second])
            continue;
        const bool neverStarted = entry.status == ConversionStatus::Cancelled;
        if (!neverStarted || style_.json || style_.verbose) {
            std::lock_guard lock(mutex_);
            printed_[found->second] = true;
            print(entry, found->second);
        }
    }
}

bool endedWell(ConversionStatus status)
{
    return status == ConversionStatus::Success || status == ConversionStatus::Replaced ||
           status == ConversionStatus::ConvertedAndRenamed || status == ConversionStatus::Skipped;
}

RunCounts countEndings(const std::vector<RunEntry>& finals)
{
    RunCounts counts;
    counts.files = finals.size();
    for (const RunEntry& entry : finals) {
        if (entry.status == ConversionStatus::Skipped)
            ++counts.skipped;
        else if (entry.status == ConversionStatus::Cancelled)
            ++counts.cancelled;
        else if (endedWell(entry.status))
            ++counts.converted;
        else
            ++counts.failed;
    }
    return counts;
}

std::string summaryLine(const RunCounts& counts, std::string_view why, double seconds)
{
    std::string line = std::to_string(counts.files) + (counts.files == 1 ? " file: " : " files: ");
    line += std::to_string(counts.converted) + " converted, " + std::to_string(counts.skipped) + " skipped, " +
            std::to_string(counts.failed) + " failed, " + std::to_string(counts.cancelled) + " cancelled";
    if (!why.empty())
        line += " (" + std::string(why) + ")";
    return line + " in " + formatDuration(seconds);
}

namespace {

std::string summaryJson(const RunCounts& counts, std::string_view text, double seconds, int exitStatus)
{
    std::string out = "{\"summary\":{\"files\":" + std::to_string(counts.files);
    out += ",\"converted\":" + std::to_string(counts.converted);
    out += ",\"failed\":" + std::to_string(counts.failed);
    out += ",\"skipped\":" + std::to_string(counts.skipped);
    out += ",\"cancelled\":" + std::to_string(counts.cancelled);
    out += ",\"seconds\":";
    appendJsonNumber(out, std::round(seconds * 1000.0) / 1000.0);
    out += ",\"text\":";
    appendJsonString(out, text);
    out += ",\"exitStatus\":" + std::to_string(exitStatus);
    appendJsonHost(out);
    out += "}}\n";
    return out;
}

} // namespace

int reportRunSummary(const RunCounts& counts, std::string_view cancelledWhy, double seconds, bool interrupted,
                     bool everyPathUsed, ResultStyle style)
{
    const bool allWell = counts.failed == 0 && counts.cancelled == 0;
    const int exitStatus = interrupted ? 130 : allWell && everyPathUsed ? 0 : 1;
    const std::string text = summaryLine(counts, cancelledWhy, seconds);
    if (!style.quiet)
        ErrorOutput::instance().write(text + "\n");
    if (style.json) {
        const std::string json = summaryJson(counts, text, seconds, exitStatus);
        std::fwrite(json.data(), 1, json.size(), stdout);
        std::fflush(stdout);
    }
    return exitStatus;
}

ConsoleSink::ConsoleSink(const std::vector<std::filesystem::path>& sources, bool showProgress, bool verbose,
                         LiveResults& live)
    : live_(live), total_(sources.size()), verbose_(verbose), started_(std::chrono::steady_clock::now()),
      showProgress_(showProgress)
{
    sizes_.reserve(sources.size());
    for (const std::filesystem::path& source : sources) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(source, error);
        sizes_.emplace(source.native(), error ? 0 : size);
        totalBytes_ += error ? 0 : size;
    }
    if (showProgress_)
        ticker_ = std::thread([this] { tick(); });
}

ConsoleSink::~ConsoleSink()
{
    stopProgress();
}

void ConsoleSink::jobStatusChanged(const std::filesystem::path& source, ConversionStatus status)
{
    if (status != ConversionStatus::Converting)
        return;
    std::lock_guard lock(mutex_);
    const std::string name = displayPath(source.filename().string());
    running_[std::this_thread::get_id()] = {name, std::chrono::steady_clock::now(), {}};
    statusText_ = name;
}

void ConsoleSink::jobCompleted(const RunEntry& entry)
{
    {
        std::lock_guard lock(mutex_);
        ++done_;
        if (const auto size = sizes_.find(entry.source.native()); size != sizes_.end())
            doneBytes_ += size->second;
        running_.erase(std::this_thread::get_id());
    }
    live_.fileEnded(entry);
}

void ConsoleSink::jobFinished(const RunEntry& entry)
{
    std::lock_guard lock(mutex_);
    finals_.push_back(entry);
}

void ConsoleSink::progressChanged(double overall)
{
    // A new job starting may send the run's fraction back a little; the
    // line on the terminal only ever moves forward.
    std::lock_guard lock(mutex_);
    overall_ = std::max(overall_, overall);
}

void ConsoleSink::statusTextChanged(std::string_view text, int)
{
    std::lock_guard lock(mutex_);
    const auto running = running_.find(std::this_thread::get_id());
    if (running == running_.end() || text.empty())
        return; // the run's own texts
    Running& file = running->second;
    statusText_ = file.name + ": " + displayPath(text);
    // A step counts its work in the text ("Loading: 15000 facets"); a new
    // step is a new text before the first digit.
    const std::string_view step = text.substr(0, text.find_first_of("0123456789"));
    if (step == file.lastStep)
        return;
    file.lastStep = step;
    if (verbose_) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - file.started).count();
        char time[32];
        std::snprintf(time, sizeof time, " (%.2f s)\n", seconds);
        ErrorOutput::instance().write("  " + statusText_ + time);
    }
}

void ConsoleSink::messagePosted(std::string_view text)
{
    ErrorOutput::instance().write(std::string(text) + "\n");
}

std::string ConsoleSink::progressLine()
{
    std::lock_guard lock(mutex_);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double bytesDone = totalBytes_ > 0 ? static_cast<double>(doneBytes_) / static_cast<double>(totalBytes_) : 0.0;
    return composeProgressLine(overall_, bytesDone, done_, total_, statusText_, elapsed, terminalWidth() - 1);
}

void ConsoleSink::tick()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const std::string line = progressLine();
        {
            ErrorOutput& output = ErrorOutput::instance();
            std::lock_guard outputLock(output.mutex());
            output.showProgressLocked(line);
        }
        lock.lock();
        wake_.wait_for(lock, RedrawInterval, [&] { return stopping_; });
    }
}

void ConsoleSink::stopProgress()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable())
        ticker_.join();
    ErrorOutput& output = ErrorOutput::instance();
    std::lock_guard outputLock(output.mutex());
    output.clearProgressLocked();
}

std::string formatDuration(double seconds)
{
    const long total = seconds > 0 ? static_cast<long>(std::lround(seconds)) : 0;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

std::string composeProgressLine(double overall, double bytesDone, std::size_t done, std::size_t total,
                                std::string_view status, double elapsedSeconds, std::size_t width)
{
    overall = std::clamp(overall, 0.0, 1.0);
    char head[64];
    std::snprintf(head, sizeof head, "[%3d%%] %zu/%zu files", static_cast<int>(overall * 100.0), done, total);
    std::string line = head;
    if (!status.empty())
        line += "  " + std::string(status);
    line += "  " + formatDuration(elapsedSeconds) + " elapsed";
    // An estimate only once there is something to go by: the bytes of the
    // finished files, as a few large files take longer than many small ones.
    const double fraction = bytesDone > 0.0 ? bytesDone : overall;
    if (fraction >= 0.01 && fraction < 1.0)
        line += ", about " + formatDuration(elapsedSeconds * (1.0 - fraction) / fraction) + " left";
    return fitColumns(line, width);
}

const std::string& hostName()
{
    static const std::string name = [] {
        char buffer[256] = {};
        return ::gethostname(buffer, sizeof buffer - 1) == 0 ? std::string(buffer) : std::string();
    }();
    return name;
}

void appendJsonHost(std::string& out)
{
    out += ",\"host\":";
    appendJsonString(out, hostName());
}

std::string fileResultLine(const RunEntry& entry)
{
    std::string line = displayPath(entry.source.string()) + ": " + std::string(conversionStatusText(entry.status));
    switch (entry.status) {
    case ConversionStatus::Success:
    case ConversionStatus::Replaced:
    case ConversionStatus::ConvertedAndRenamed: line += " -> " + displayPath(entry.output.string()); break;
    case ConversionStatus::Skipped: line += " (" + displayPath(entry.output.string()) + " exists)"; break;
    default:
        if (entry.failure.recorded())
            line += ": " + displayPath(describeFailure(entry.failure));
        break;
    }
    return line + "\n";
}

std::string fileResultJson(const RunEntry& entry, std::size_t index)
{
    std::string out = "{\"index\":" + std::to_string(index) + ",\"source\":";
    appendJsonPath(out, entry.source.string());
    out += ",\"output\":";
    if (endedWell(entry.status)) // written, or kept when skipped
        appendJsonPath(out, entry.output.string());
    else
        out += "null";
    out += ",\"status\":" + std::to_string(static_cast<int>(entry.status));
    out += ",\"statusText\":";
    appendJsonString(out, conversionStatusText(entry.status));
    out += ",\"seconds\":";
    appendJsonNumber(out, std::round(entry.seconds * 1000.0) / 1000.0);
    if (entry.failure.recorded()) {
        out += ",\"reason\":";
        appendJsonString(out, describeFailure(entry.failure));
    }
    appendJsonHost(out);
    return out + "}\n";
}

OverwriteReply TerminalOverwriteQuestion::ask(const std::filesystem::path& candidate, bool overwriteOffered)
{
    if (forThisRun_ && (forThisRun_->answer != OverwriteAnswer::Overwrite || overwriteOffered)) {
        ErrorOutput::instance().write(displayPath(candidate.string()) + " exists: " + answerWord(forThisRun_->answer) +
                                      " (your answer for this run)\n");
        return *forThisRun_;
    }
    const std::string question = overwriteQuestionText(displayPath(candidate.string()));
    const std::string prompt =
        std::string(overwriteOffered ? "[o]verwrite, [r]ename or [s]kip" : "[r]ename or [s]kip") +
        " (a capital letter: for every clash of this run; add ! for \"" + std::string(DontAskAgainText) +
        "\", e.g. r!): ";
    OverwriteReply reply;
    bool wholeRun = false;
    askOnTerminal(question, prompt, watcher_, [&](std::string_view typed, bool remember) {
        const std::string answer = asciiLower(typed);
        if ((answer == "o" || answer == "overwrite") && overwriteOffered)
            reply.answer = OverwriteAnswer::Overwrite;
        else if (answer == "r" || answer == "rename")
            reply.answer = OverwriteAnswer::Rename;
        else if (answer == "s" || answer == "skip")
            reply.answer = OverwriteAnswer::Skip;
        else
            return false;
        reply.dontAskAgain = remember;
        wholeRun = typed.size() == 1 && typed[0] >= 'A' && typed[0] <= 'Z';
        return true;
    });
    if (wholeRun)
        forThisRun_ = reply;
    if (reply.dontAskAgain && reply.answer != OverwriteAnswer::Cancel)
        ErrorOutput::instance().write("morvex-cli: \"" + answerWord(reply.answer) +
                                      "\" is now the policy of later runs, stored " +
                                      storedAnswerNote(store_, "overwrite") + "\n");
    return reply;
}

std::string TerminalOverwriteQuestion::answerWord(OverwriteAnswer answer)
{
    switch (answer) {
    case OverwriteAnswer::Overwrite: return "overwrite";
    case OverwriteAnswer::Rename: return "rename";
    case OverwriteAnswer::Skip: return "skip";
    case OverwriteAnswer::Cancel: break;
    }
    return "cancel";
}

CreateFolderReply TerminalFolderQuestion::ask(std::string_view folder)
{
    const std::string question =
        std::string(InvalidOutputFolderTitle) + ": " + createFolderQuestionText(displayPath(folder));
    const std::string prompt = "[y]es, create it, or [n]o (add ! for \"" + std::string(DoNotShowAgainText) + "\"): ";
    CreateFolderReply reply;
    askOnTerminal(question, prompt, watcher_, [&](std::string_view typed, bool remember) {
        const std::string answer = asciiLower(typed);
        const bool yes = answer == "y" || answer == "yes";
        if (!yes && answer != "n" && answer != "no")
            return false;
        reply = {yes, remember};
        return true;
    });
    if (reply.dontShowAgain)
        ErrorOutput::instance().write(std::string("morvex-cli: missing output folders are now ") +
                                      (reply.create ? "created" : "not created") + " without asking, stored " +
                                      storedAnswerNote(store_, "create-folder") + "\n");
    return reply;
}

} // namespace morvex::cli
