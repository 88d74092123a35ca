#include "ui/dialogs/offset_dialog.h"

#include "ui/dialogs/dialog_support.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace morvex::ui {

OffsetDialog::OffsetDialog(SettingsStore& store, EffectRow row, QWidget* parent)
    : QDialog(parent), store_(store), row_(row)
{
    setWindowTitle(QStringLiteral("Apply Offsets to Objects"));
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    boxes_.emplace(grid, 0, effectRowCaption(row), this);
    layout->addLayout(grid);

    auto* buttons = new QDialogButtonBox(this);
    defaultButton_ = addDefaultOkHelpButtons(buttons);
    connect(defaultButton_, &QPushButton::clicked, this, [this] { boxes_->setValues(effectRowDefaults(row_)); });
    connect(buttons, &QDialogButtonBox::accepted, this, &OffsetDialog::accept);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    boxes_->setValues(effectRowValues(loadEffects(store_), row_));
}

void OffsetDialog::accept()
{
    if (!boxes_->commit())
        return;
    if (commitEffectRow(store_, row_, boxes_->values(), [this] { return confirmZeroScale(this); }))
        QDialog::accept();
}

} // namespace morvex::ui
