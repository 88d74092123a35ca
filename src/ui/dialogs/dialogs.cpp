#include "ui/dialogs/dialogs.h"

#include "ui/dialogs/effects_dialog.h"
#include "ui/dialogs/first_run_tip.h"
#include "ui/dialogs/offset_dialog.h"
#include "ui/dialogs/options_dialog.h"
#include "ui/dialogs/reuse_effects_question.h"

namespace morvex::ui {

bool showEffectsDialog(QWidget* parent, SettingsStore& store)
{
    EffectsDialog dialog(store, parent);
    return dialog.exec() == QDialog::Accepted;
}

bool showOffsetDialog(QWidget* parent, SettingsStore& store, EffectRow row)
{
    OffsetDialog dialog(store, row, parent);
    return dialog.exec() == QDialog::Accepted;
}

bool showOptionsDialog(QWidget* parent, SettingsStore& store)
{
    OptionsDialog dialog(store, parent);
    return dialog.exec() == QDialog::Accepted;
}

void showFirstRunTip(QWidget* parent)
{
    FirstRunTipBox tip(parent);
    tip.exec();
}

void runStartupEffectsCheck(QWidget* parent, SettingsStore& store)
{
    if (morvex::runStartupEffectsCheck(store) != StartupEffectsDecision::Ask)
        return;
    ReuseEffectsQuestionBox question(parent);
    question.exec();
    applyReuseEffectsAnswer(store, question.loadChosen(), question.dontShowAgain());
}

} // namespace morvex::ui
