#pragma once

#include "app/component_steps.h"
#include "external/components/component_setup.h"

#include <QUrl>

#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

class QWidget;

// The window's half of installing components on demand: the
// "Install-on-Demand" progress dialog over the shared install code, and the
// convert command's question about components that its files need.

namespace morvex::ui {

// On the window thread: true with the path when the component is found, or
// once the "Install-on-Demand" dialog installed it (the same install as
// the command line's, lock included). Cancel in the dialog returns false
// with no message. Any other failure opens the fallback URL, where one is
// configured, with `openUrl`, and shows the fallback message titled
// "Install-on-Demand", with the component, the reason and the command that
// installs it beneath.
bool ensureComponent(QWidget* parent, const ComponentSetup& setup, std::string_view id, std::filesystem::path& path,
                     const std::function<void(const QUrl&)>& openUrl);

enum class MissingComponentsAnswer { Install, ConvertAnyway, Cancel };

// Tells which components the files of a conversion need and are missing,
// with how many files need each. Where downloads are configured it offers
// "Install", "Convert Anyway" and "Cancel"; where none are, it says how
// they get installed and offers "Convert Anyway" and "Cancel".
MissingComponentsAnswer askAboutMissingComponents(QWidget* parent, const ComponentDownloads& downloads,
                                                  std::span<const MissingComponent> missing);

} // namespace morvex::ui
