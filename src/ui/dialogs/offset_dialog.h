#pragma once

#include "app/effects.h"
#include "support/settings/settings_store.h"
#include "ui/dialogs/effect_number_box.h"

#include <QDialog>

#include <optional>

class QPushButton;

namespace morvex::ui {

// "Apply Offsets to Objects": one row of the custom transform (translation,
// rotation or scale). OK switches the custom transform on and stores the
// row; the scale row is rounded and warned about as in the Effects dialog.
class OffsetDialog : public QDialog {
    Q_OBJECT

public:
    OffsetDialog(SettingsStore& store, EffectRow row, QWidget* parent = nullptr);

    void accept() override;

    EffectNumberBox* numberBox(int axis) const { return boxes_->box(axis); }
    QPushButton* defaultButton() const { return defaultButton_; }

private:
    SettingsStore& store_;
    EffectRow row_;
    std::optional<EffectRowBoxes> boxes_;
    QPushButton* defaultButton_ = nullptr;
};

} // namespace morvex::ui
