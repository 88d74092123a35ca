#pragma once

#include "app/effects.h"
#include "support/settings/settings_store.h"

class QWidget;

namespace morvex::ui {

// The "Effects" dialog: the three switches and the nine numbers. True when
// the user pressed OK and the effects were stored.
bool showEffectsDialog(QWidget* parent, SettingsStore& store);

// One row of the custom transform ("Apply Offsets to Objects"); OK switches
// the custom transform on and stores that row.
bool showOffsetDialog(QWidget* parent, SettingsStore& store, EffectRow row);

// "Morvex Options" with the "Overwrite" and "General" pages.
bool showOptionsDialog(QWidget* parent, SettingsStore& store);

// The first starts' tip: how a conversion goes. Returns when it is closed.
void showFirstRunTip(QWidget* parent);

// Once per start, when the main window first shows: clears effects that do
// not survive a restart, or asks whether to reuse the stored ones.
void runStartupEffectsCheck(QWidget* parent, SettingsStore& store);

} // namespace morvex::ui
