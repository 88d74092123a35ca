#include "ui/dialog_hooks.h"

// The dialogs are built apart from the window; until they are part of this
// build every hook does nothing and reports the dialog as not confirmed.

namespace morvex::ui {

bool DialogHooks::effects(QWidget*, SettingsStore&)
{
    return false;
}

bool DialogHooks::offset(QWidget*, SettingsStore&, EffectRow)
{
    return false;
}

bool DialogHooks::options(QWidget*, SettingsStore&)
{
    return false;
}

void DialogHooks::startupEffectsCheck(QWidget*, SettingsStore&) {}

bool DialogHooks::available()
{
    return false;
}

} // namespace morvex::ui
