#pragma once

#include "app/effects.h"

#include <QAbstractSpinBox>

#include <array>

class QGridLayout;

namespace morvex::ui {

// A number box of the effect dialogs, with up-down buttons. Typing is free;
// the text counts only when it is committed (Enter, leaving the box, a step,
// or OK): an optional minus, digits and at most one point within
// +-1,000,000 becomes the value; anything else shows the balloon "Enter a
// valid number" and puts the previous value back.
class EffectNumberBox : public QAbstractSpinBox {
    Q_OBJECT

public:
    explicit EffectNumberBox(QWidget* parent = nullptr);

    double value() const { return value_; }
    // Clamped into the editable range; the text shows the value.
    void setValue(double value);

    // False when the typed text was rejected (the balloon is shown).
    bool commit();

    // The editor, open to the dialogs and their tests.
    using QAbstractSpinBox::lineEdit;

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& position) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    StepEnabled stepEnabled() const override;
    // Enter commits a changed box and stays in it; on an unchanged box it
    // reaches the dialog's default button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    double value_ = 0.0;
};

// One row of three boxes, X, Y and Z, with its caption, laid into a grid:
// the caption, then "X:", box, "Y:", box, "Z:", box.
class EffectRowBoxes {
public:
    EffectRowBoxes(QGridLayout* grid, int gridRow, const QString& caption, QWidget* parent);

    EffectVector values() const;
    void setValues(const EffectVector& values);
    // Commits the three in turn; false at the first one rejected.
    bool commit();
    EffectNumberBox* box(int axis) const { return boxes_[static_cast<std::size_t>(axis)]; }

private:
    std::array<EffectNumberBox*, 3> boxes_{};
};

// Row captions as the dialogs show them.
QString effectRowCaption(EffectRow row);
EffectVector effectRowValues(const EffectSettings& effects, EffectRow row);
EffectVector effectRowDefaults(EffectRow row);

} // namespace morvex::ui
