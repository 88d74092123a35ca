#pragma once

#include "preview/preview_scene.h"
#include "preview/texture_cache.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace morvex {

// The loader needs this much memory available before it reads anything.
inline constexpr std::uint64_t PreviewMemoryNeeded = 512000000;

// How one load ended, handed to the panel's thread.
struct PreviewLoadResult {
    OperationResult result = OperationResult::Failure;
    std::shared_ptr<PreviewScene> scene; // with its textures acquired, on success
    std::string reason;                  // why it failed, for the status line
};

// One file loaded on a thread of the lowest priority: read, brought to the
// preview's conventions, turned into meshes, textures read. stop() asks the
// reader to give up at its next cancel check and waits for the thread.
class PreviewLoader {
public:
    using Done = std::function<void(PreviewLoadResult)>;

    PreviewLoader() = default;
    ~PreviewLoader() { stop(); }
    PreviewLoader(const PreviewLoader&) = delete;
    PreviewLoader& operator=(const PreviewLoader&) = delete;

    // `done` is called on the loader's thread unless the load was stopped.
    void start(const std::filesystem::path& path, const std::filesystem::path& settingsFile, TextureCache& textures,
               Done done);
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    std::unique_ptr<StoppableReporter> reporter_;
    std::thread thread_;
};

// Gives back the textures a scene holds.
void releaseSceneTextures(const PreviewScene& scene, TextureCache& textures);

} // namespace morvex
