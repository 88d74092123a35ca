#pragma once

#include "app/effects.h"
#include "support/settings/settings_store.h"
#include "ui/dialogs/effect_number_box.h"

#include <QDialog>

#include <array>
#include <optional>

class QCheckBox;
class QPushButton;

namespace morvex::ui {

// "Effects": the three switches and the offset group of nine number boxes,
// loaded from the store when opened. "Default" puts the defaults into the
// controls; OK stores them (the switches in any case, the numbers unless
// the zero-scale warning is cancelled, which keeps the dialog open).
class EffectsDialog : public QDialog {
    Q_OBJECT

public:
    explicit EffectsDialog(SettingsStore& store, QWidget* parent = nullptr);

    void accept() override;

    // The controls, for the program's tests.
    EffectNumberBox* numberBox(EffectRow row, int axis) const;
    QCheckBox* recalculateNormalsBox() const { return recalculateNormals_; }
    QCheckBox* removeDuplicatesBox() const { return removeDuplicates_; }
    QCheckBox* applyTransformBox() const { return applyTransform_; }
    QPushButton* defaultButton() const { return defaultButton_; }

private:
    void showEffects(const EffectSettings& effects);
    EffectSettings editedEffects() const;
    EffectRowBoxes& rowBoxes(EffectRow row);

    SettingsStore& store_;
    QCheckBox* recalculateNormals_ = nullptr;
    QCheckBox* removeDuplicates_ = nullptr;
    QCheckBox* applyTransform_ = nullptr;
    QPushButton* defaultButton_ = nullptr;
    std::array<std::optional<EffectRowBoxes>, 3> rows_;
};

} // namespace morvex::ui
