#include "preview/preview_loader.h"

#include "preview/preview_renderer.h"
#include "support/core/memory_guard.h"
#include "support/settings/settings_store.h"

#include <sys/resource.h>
#include <unistd.h>

namespace morvex {
namespace {

// Lowest priority for this thread alone: the window stays responsive and
// conversions keep their share while a preview loads.
void lowerThreadPriority()
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

PreviewLoadResult load(const std::filesystem::path& path, const std::filesystem::path& settingsFile,
                       TextureCache& textures, ProgressReporter& reporter)
{
    PreviewLoadResult outcome;
    if (availableMemoryBytes() < PreviewMemoryNeeded) {
        outcome.reason = "not enough memory to show a preview";
        return outcome;
    }
    const SettingsStore store(settingsFile);
    Model model;
    Failure failure;
    outcome.result = loadPreviewModel(path, model, reporter, &store, &failure);
    if (outcome.result == OperationResult::Failure) {
        outcome.reason = store.readText("Preview", "Status", previewFailureText(path));
        return outcome;
    }
    if (outcome.result != OperationResult::Success)
        return outcome;
    auto scene = std::make_shared<PreviewScene>();
    outcome.result = buildPreviewScene(model, *scene, reporter);
    if (outcome.result == OperationResult::Success) {
        acquireSceneTextures(*scene, textures);
        outcome.scene = std::move(scene);
    }
    return outcome;
}

} // namespace

void releaseSceneTextures(const PreviewScene& scene, TextureCache& textures)
{
    for (const PreviewMesh& mesh : scene.meshes)
        if (!mesh.texturePath.empty())
            textures.release(mesh.texturePath);
}

void PreviewLoader::start(const std::filesystem::path& path, const std::filesystem::path& settingsFile,
                          TextureCache& textures, Done done)
{
    stop();
    reporter_ = std::make_unique<StoppableReporter>();
    thread_ = std::thread([path, settingsFile, &textures, done = std::move(done), reporter = reporter_.get()] {
        lowerThreadPriority();
        if (reporter->isCancelled())
            return;
        PreviewLoadResult outcome = load(path, settingsFile, textures, *reporter);
        if (reporter->isCancelled() || outcome.result == OperationResult::Cancelled) {
            if (outcome.scene)
                releaseSceneTextures(*outcome.scene, textures);
            return;
        }
        done(std::move(outcome));
    });
}

void PreviewLoader::stop()
{
    if (reporter_)
        reporter_->requestStop();
    if (thread_.joinable())
        thread_.join();
    reporter_.reset();
}

} // namespace morvex
