#include "ui/dialogs/reuse_effects_question.h"

#include "app/effects.h"
#include "ui/dialogs/dialog_support.h"

#include <QCheckBox>
#include <QPushButton>

namespace morvex::ui {

ReuseEffectsQuestionBox::ReuseEffectsQuestionBox(QWidget* parent)
    : QMessageBox(QMessageBox::Question, toQString(ReuseEffectsTitle), toQString(ReuseEffectsQuestion),
                  QMessageBox::NoButton, parent)
{
    load_ = addButton(QStringLiteral("Yes, load effects"), QMessageBox::YesRole);
    clear_ = addButton(QStringLiteral("No, clear effects"), QMessageBox::NoRole);
    setDefaultButton(load_);
    setEscapeButton(load_);
    setCheckBox(new QCheckBox(QStringLiteral("Do not show me this message again."), this));
}

bool ReuseEffectsQuestionBox::loadChosen() const
{
    return clickedButton() != static_cast<QAbstractButton*>(clear_);
}

bool ReuseEffectsQuestionBox::dontShowAgain() const
{
    return checkBox()->isChecked();
}

} // namespace morvex::ui
