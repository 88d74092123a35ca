#include "ui/dialog_hooks.h"

#include "ui/dialogs/dialogs.h"

namespace morvex::ui {

bool DialogHooks::effects(QWidget* parent, SettingsStore& store)
{
    return showEffectsDialog(parent, store);
}

bool DialogHooks::offset(QWidget* parent, SettingsStore& store, EffectRow row)
{
    return showOffsetDialog(parent, store, row);
}

bool DialogHooks::options(QWidget* parent, SettingsStore& store)
{
    return showOptionsDialog(parent, store);
}

void DialogHooks::firstRunTip(QWidget* parent)
{
    showFirstRunTip(parent);
}

void DialogHooks::startupEffectsCheck(QWidget* parent, SettingsStore& store)
{
    runStartupEffectsCheck(parent, store);
}

bool DialogHooks::available()
{
    return true;
}

} // namespace morvex::ui
