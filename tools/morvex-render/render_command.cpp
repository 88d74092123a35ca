#include "render_command.h"

#include "app/batch_run.h"
#include "app/input_collection.h"
#include "app/naming.h"
#include "app/pipeline.h"
#include "app/run_selection.h"
#include "app/scheduler.h"
#include "app/staged_output.h"
#include "command_line_spec.h"
#include "console_report.h"
#include "convert_command.h"
#include "input_notices.h"
#include "preview/offscreen_renderer.h"
#include "preview/rendering_display.h"
#include "terminal.h"

#include <QGuiApplication>

#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace morvex::cli {
namespace {

constexpr int MaxPictureSide = 16384;

struct RenderOptions {
    std::vector<std::string> paths;
    std::optional<std::string> pngFolder;
    int width = 800;
    int height = 600;
    double yaw = 0.0;
    double pitch = 0.0;
    std::vector<std::string> allowedReferences;
    unsigned jobs = 0; // 0: one per processor
    bool quiet = false;
    bool verbose = false;
    bool json = false;
    bool help = false;
};

int usageError(std::string_view message)
{
    ErrorOutput::instance().write("morvex-cli: " + std::string(message) + "\nTry 'morvex-cli render --help'.\n");
    return 2;
}

int fail(std::string_view message)
{
    ErrorOutput::instance().write("morvex-cli: " + std::string(message) + "\n");
    return 2;
}

template <typename Number>
bool parseWhole(std::string_view text, Number& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// "800x600", each side from 1 to 16384.
bool parseSize(std::string_view text, int& width, int& height)
{
    const std::size_t x = text.find_first_of("xX");
    return x != std::string_view::npos && parseWhole(text.substr(0, x), width) &&
           parseWhole(text.substr(x + 1), height) && width >= 1 && height >= 1 && width <= MaxPictureSide &&
           height <= MaxPictureSide;
}

bool parseDegrees(std::string_view text, double& degrees)
{
    return parseWhole(text, degrees) && std::isfinite(degrees) && std::abs(degrees) <= 1e6;
}

bool applyOption(const OptionSpec& option, const std::string& value, RenderOptions& options, std::string& error)
{
    const std::string_view name = option.longName;
    if (name == "--png")
        options.pngFolder = value;
    else if (name == "--size" && !parseSize(value, options.width, options.height))
        return error = "--size takes WIDTHxHEIGHT in pixels, each from 1 to 16384, not '" + value + "'", false;
    else if ((name == "--yaw" || name == "--pitch") &&
             !parseDegrees(value, name == "--yaw" ? options.yaw : options.pitch))
        return error = std::string(name) + " takes an angle in degrees, not '" + value + "'", false;
    else if (name == "--allow-references")
        options.allowedReferences.push_back(value);
    else if (name == "--jobs" && (!parseWhole(value, options.jobs) || options.jobs < 1 || options.jobs > 1024))
        return error = "--jobs takes a number from 1 to 1024", false;
    else if (name == "--quiet")
        options.quiet = true;
    else if (name == "--verbose")
        options.verbose = true;
    else if (name == "--json")
        options.json = true;
    else if (name == "--help")
        options.help = true;
    return true;
}

std::optional<int> parseRenderCommand(const std::vector<std::string>& args, RenderOptions& options)
{
    const CommandSpec& spec = *commandSpec("render");
    std::string error;
    const auto apply = [&options](const OptionSpec& option, const std::string& value, std::string& message) {
        return applyOption(option, value, options, message);
    };
    if (!parseCommandLine(spec, args, options.paths, apply, error))
        return usageError(error);
    if (options.help) {
        const std::string usage = commandHelp(spec);
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    if (!options.pngFolder || options.pngFolder->empty())
        return usageError("render needs --png DIR, the folder of the pictures");
    if (options.paths.empty())
        return usageError("render needs at least one file or folder");
    return std::nullopt;
}

// Scenes read by the workers wait here for the one thread that draws.
class DrawingQueue {
public:
    explicit DrawingQueue(const RenderOptions& options) : options_(options) {}

    // On a worker: hands the scene over and waits until its picture is
    // written (or not).
    ConversionStatus draw(PreviewScene&& scene, const std::filesystem::path& output, bool mayReplace, Failure* failure)
    {
        Request request{std::move(scene), output, mayReplace, failure, {}};
        std::future<ConversionStatus> drawn = request.done.get_future();
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(&request);
        }
        wake_.notify_one();
        return drawn.get();
    }

    // On the drawing thread, when no picture can be drawn here: every file
    // waiting or still to come fails with `reason`.
    void refuse(std::string reason)
    {
        {
            std::lock_guard lock(mutex_);
            refusal_ = std::move(reason);
        }
        serveWith(nullptr);
    }

    // On the drawing thread, whose context `renderer` holds: draws what
    // comes until finish().
    void serve(OffscreenRenderer& renderer) { serveWith(&renderer); }

    void finish()
    {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        wake_.notify_one();
    }

private:
    struct Request {
        PreviewScene scene;
        std::filesystem::path output;
        bool mayReplace = false;
        Failure* failure = nullptr;
        std::promise<ConversionStatus> done;
    };

    void serveWith(OffscreenRenderer* renderer)
    {
        for (;;) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return finished_ || !requests_.empty(); });
            if (requests_.empty())
                return;
            Request* request = requests_.front();
            requests_.pop_front();
            lock.unlock();
            if (renderer != nullptr) {
                request->done.set_value(drawAndWrite(*renderer, *request));
            } else {
                failWith(request->failure, FailureKind::Unwritable, refusal_);
                request->done.set_value(ConversionStatus::SaveFailed);
            }
        }
    }

    // The picture goes to a private name beside the output and is moved to
    // the output name only once it is complete.
    ConversionStatus drawAndWrite(OffscreenRenderer& renderer, Request& request)
    {
        const QImage picture =
            renderer.render(std::move(request.scene), options_.width, options_.height, options_.yaw, options_.pitch);
        if (picture.isNull()) {
            failWith(request.failure, FailureKind::Unwritable, "the model could not be drawn");
            return ConversionStatus::SaveFailed;
        }
        StagedOutput staged;
        if (staged.open(request.output, StagedOutput::Kind::OneFile, request.failure) != OperationResult::Success)
            return ConversionStatus::SaveFailed;
        if (!picture.save(QString::fromStdString(staged.writePath().string()), "PNG")) {
            failWith(request.failure, FailureKind::Unwritable, "the picture could not be written");
            return ConversionStatus::SaveFailed;
        }
        if (staged.commit(request.mayReplace, request.failure) != OperationResult::Success)
            return staged.nameWasTaken() ? ConversionStatus::OutputNameTaken : ConversionStatus::SaveFailed;
        return ConversionStatus::Success;
    }

    const RenderOptions& options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request*> requests_;
    bool finished_ = false;
    std::string refusal_;
};

// A worker's part of one file: reading it and building its scene.
ConversionStatus readAndDraw(const std::filesystem::path& source, const std::filesystem::path& output,
                             const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure,
                             DrawingQueue& queue)
{
    if (reporter.isCancelled())
        return ConversionStatus::Cancelled;
    Model model;
    // No settings store: the reason for a failed read goes to the run's
    // report, not to the desktop program's status line.
    const OperationResult read = loadPreviewModel(source, model, reporter, nullptr, failure);
    if (const ConversionStatus status = statusOfRead(read, model, failure); status != ConversionStatus::Success)
        return status;
    PreviewScene scene;
    const OperationResult built = buildPreviewScene(model, scene, reporter);
    if (built == OperationResult::Cancelled)
        return ConversionStatus::Cancelled;
    if (built != OperationResult::Success) {
        failOutOfMemory(failure);
        return ConversionStatus::ReadFailed;
    }
    model.reset(); // the scene holds all the picture needs
    return queue.draw(std::move(scene), output,
                      settings.overwriteDecision == OverwriteDecision::Overwrite ||
                          settings.overwriteDecision == OverwriteDecision::None,
                      failure);
}

std::string cancelledBecause(const RunCounts& counts, bool interrupted)
{
    if (counts.cancelled == 0)
        return {};
    return interrupted ? "interrupted" : "stopped";
}

} // namespace

int runRender(const std::vector<std::string>& args)
{
    RenderOptions options;
    if (const std::optional<int> ended = parseRenderCommand(args, options))
        return *ended;
    const ResultStyle style{options.json, options.quiet, options.verbose};

    // The display is started before any thread: it sets the environment.
    std::string displayProblem;
    const bool displayReady = prepareRenderingDisplay(displayProblem);

    StoppableReporter reporter;
    InterruptWatcher watcher(reporter);
    std::vector<std::filesystem::path> paths(options.paths.begin(), options.paths.end());
    const InputCollection inputs = collectInputs(paths, reporter);
    if (watcher.interrupted())
        return 130;
    reportInputNotices(inputs, style);
    if (inputs.files.empty())
        return fail(NoneConvertibleText);
    allowReferences(options.paths, options.allowedReferences);
    std::error_code error;
    std::filesystem::create_directories(*options.pngFolder, error);
    if (!std::filesystem::is_directory(*options.pngFolder, error))
        return fail("the picture folder '" + *options.pngFolder + "' cannot be made");

    ConversionSettings settings;
    settings.outputExtension = "png";
    settings.outputFolder = *options.pngFolder;
    DrawingQueue queue(options);
    ConversionRun run(inputs.files, settings,
                      [&queue](const std::filesystem::path& source, const std::filesystem::path& output,
                               const ConversionSettings& runSettings, ProgressReporter& jobReporter, Failure* failure) {
                          return readAndDraw(source, output, runSettings, jobReporter, failure, queue);
                      });
    run.workerCount = options.jobs != 0 ? options.jobs : processorCount();
    run.environment.nameTemplate = std::string(DefaultNameTemplate);

    // Thumbnails are made again on every run: an old picture is replaced.
    FixedOverwritePolicy policy(policyForChoice(OverwriteChoice::Overwrite), nullptr, true);
    UnanswerableQuestion nobody;
    LiveResults live(inputs.files, style);
    ConsoleSink sink(inputs.files, standardErrorIsTerminal() && !options.quiet, options.verbose && !options.json, live);
    const auto started = std::chrono::steady_clock::now();
    Failure runFailure;
    std::thread runner([&] {
        runConversion(run, policy, nobody, sink, reporter, &runFailure);
        queue.finish();
    });
    // The files are read while this thread makes the OpenGL context and
    // builds the shaders; it then holds the context and draws.
    static int argc = 1;
    static char name[] = "morvex-cli";
    static char* argv[] = {name, nullptr};
    QGuiApplication application(argc, argv);
    OffscreenRenderer renderer;
    std::string drawProblem;
    if (renderer.create(drawProblem)) {
        queue.serve(renderer);
    } else {
        drawProblem = "cannot draw here: " + drawProblem + (displayReady ? "" : " (" + displayProblem + ")");
        reporter.requestStop();
        queue.refuse(drawProblem);
    }
    runner.join();
    if (!drawProblem.empty()) {
        ErrorOutput::instance().write("morvex-cli: " + drawProblem + "\n");
        return 1;
    }
    sink.stopProgress();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    live.reportTheRest(sink.finals());
    if (runFailure.recorded())
        ErrorOutput::instance().write("morvex-cli: " + describeFailure(runFailure) + "\n");
    const RunCounts counts = countEndings(sink.finals());
    return reportRunSummary(counts, cancelledBecause(counts, watcher.interrupted()), seconds, watcher.interrupted(),
                            everyPathUsed(inputs), style);
}

} // namespace morvex::cli
