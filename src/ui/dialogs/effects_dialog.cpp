#include "ui/dialogs/effects_dialog.h"

#include "ui/dialogs/dialog_support.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace morvex::ui {
namespace {

constexpr EffectRow allRows[] = {EffectRow::Translation, EffectRow::Rotation, EffectRow::Scale};

std::size_t rowIndex(EffectRow row)
{
    return static_cast<std::size_t>(row);
}

} // namespace

EffectsDialog::EffectsDialog(SettingsStore& store, QWidget* parent) : QDialog(parent), store_(store)
{
    setWindowTitle(QStringLiteral("Effects"));
    auto* layout = new QVBoxLayout(this);

    recalculateNormals_ = new QCheckBox(QStringLiteral("Recalculate Normals during conversion."), this);
    removeDuplicates_ = new QCheckBox(
        QStringLiteral("Remove duplicate Triangles and Vertices. Note that this process can take a very long time "
                       "to complete."),
        this);
    applyTransform_ = new QCheckBox(QStringLiteral("Apply Offset to Objects."), this);
    layout->addWidget(recalculateNormals_);
    layout->addWidget(removeDuplicates_);
    layout->addWidget(applyTransform_);

    auto* offset = new QGroupBox(QStringLiteral("Offset"), this);
    auto* grid = new QGridLayout(offset);
    for (EffectRow row : allRows)
        rows_[rowIndex(row)].emplace(grid, static_cast<int>(rowIndex(row)), effectRowCaption(row), offset);
    // The boxes take the spare width; captions keep their own.
    for (int column : {2, 4, 6})
        grid->setColumnStretch(column, 1);
    layout->addWidget(offset);

    auto* buttons = new QDialogButtonBox(this);
    defaultButton_ = addDefaultOkHelpButtons(buttons);
    connect(defaultButton_, &QPushButton::clicked, this, [this] { showEffects(EffectSettings{}); });
    connect(buttons, &QDialogButtonBox::accepted, this, &EffectsDialog::accept);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    showEffects(loadEffects(store_));
}

void EffectsDialog::accept()
{
    for (EffectRow row : allRows)
        if (!rowBoxes(row).commit())
            return;
    if (commitEffectsDialog(store_, editedEffects(), [this] { return confirmZeroScale(this); }))
        QDialog::accept();
}

EffectNumberBox* EffectsDialog::numberBox(EffectRow row, int axis) const
{
    return rows_[rowIndex(row)]->box(axis);
}

void EffectsDialog::showEffects(const EffectSettings& effects)
{
    recalculateNormals_->setChecked(effects.recalculateNormals);
    removeDuplicates_->setChecked(effects.removeDuplicateTriangles);
    applyTransform_->setChecked(effects.applyCustomTransform);
    for (EffectRow row : allRows)
        rowBoxes(row).setValues(effectRowValues(effects, row));
}

EffectSettings EffectsDialog::editedEffects() const
{
    EffectSettings effects;
    effects.recalculateNormals = recalculateNormals_->isChecked();
    effects.removeDuplicateTriangles = removeDuplicates_->isChecked();
    effects.applyCustomTransform = applyTransform_->isChecked();
    effects.translation = rows_[rowIndex(EffectRow::Translation)]->values();
    effects.rotation = rows_[rowIndex(EffectRow::Rotation)]->values();
    effects.scale = rows_[rowIndex(EffectRow::Scale)]->values();
    return effects;
}

EffectRowBoxes& EffectsDialog::rowBoxes(EffectRow row)
{
    return *rows_[rowIndex(row)];
}

} // namespace morvex::ui
