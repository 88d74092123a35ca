#pragma once

#include "app/effects.h"
#include "support/settings/settings_store.h"

class QWidget;

namespace morvex::ui {

// The one place where the main window reaches the settings dialogs: the
// "Effects" dialog, the one-row offset dialogs, "Morvex Options" and the
// start-up question about effects kept from the last run.
struct DialogHooks {
    static bool effects(QWidget* parent, SettingsStore& store);
    static bool offset(QWidget* parent, SettingsStore& store, EffectRow row);
    static bool options(QWidget* parent, SettingsStore& store);
    static void firstRunTip(QWidget* parent);
    static void startupEffectsCheck(QWidget* parent, SettingsStore& store);
    // False while the dialogs are not part of this build: the window then
    // greys out the commands that would open them.
    static bool available();
};

} // namespace morvex::ui
