#include "ui/dialogs/effect_number_box.h"

#include "ui/dialogs/dialog_support.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionSpinBox>

namespace morvex::ui {

EffectNumberBox::EffectNumberBox(QWidget* parent) : QAbstractSpinBox(parent)
{
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setAccelerated(true);
    setValue(0.0);
    connect(this, &QAbstractSpinBox::editingFinished, this, [this] { commit(); });
}

void EffectNumberBox::setValue(double value)
{
    value_ = clampEffectNumber(value);
    lineEdit()->setText(toQString(effectNumberText(value_)));
    update();
}

bool EffectNumberBox::commit()
{
    const QString shown = toQString(effectNumberText(value_));
    const QString typed = lineEdit()->text();
    if (typed == shown)
        return true;
    const std::optional<double> parsed = parseEffectNumber(typed.toStdString());
    if (!parsed) {
        setValue(value_);
        showBalloon(this, QString(), toQString(InvalidNumberText));
        return false;
    }
    setValue(*parsed);
    return true;
}

void EffectNumberBox::stepBy(int steps)
{
    if (!commit())
        return;
    setValue(value_ + steps);
    selectAll();
}

QValidator::State EffectNumberBox::validate(QString&, int&) const
{
    // Everything may be typed; the text is judged when it is committed.
    return QValidator::Acceptable;
}

QSize EffectNumberBox::sizeHint() const
{
    ensurePolished();
    const QFontMetrics metrics(font());
    // The widest text that the box keeps after a commit, plus room for the
    // cursor.
    const int textWidth = metrics.horizontalAdvance(QStringLiteral("-1000000.0000")) + 2;
    QStyleOptionSpinBox option;
    initStyleOption(&option);
    return style()->sizeFromContents(QStyle::CT_SpinBox, &option, QSize(textWidth, lineEdit()->sizeHint().height()),
                                     this);
}

QSize EffectNumberBox::minimumSizeHint() const
{
    return sizeHint();
}

QAbstractSpinBox::StepEnabled EffectNumberBox::stepEnabled() const
{
    StepEnabled enabled = StepNone;
    if (value_ < MaxEffectNumber)
        enabled |= StepUpEnabled;
    if (value_ > -MaxEffectNumber)
        enabled |= StepDownEnabled;
    return enabled;
}

void EffectNumberBox::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && lineEdit()->text() != toQString(effectNumberText(value_))) {
        commit();
        selectAll();
        event->accept();
        return;
    }
    QAbstractSpinBox::keyPressEvent(event);
}

EffectRowBoxes::EffectRowBoxes(QGridLayout* grid, int gridRow, const QString& caption, QWidget* parent)
{
    grid->addWidget(new QLabel(caption, parent), gridRow, 0);
    static constexpr const char* axisCaptions[] = {"X:", "Y:", "Z:"};
    for (int axis = 0; axis < 3; ++axis) {
        auto* box = new EffectNumberBox(parent);
        auto* label = new QLabel(QString::fromLatin1(axisCaptions[axis]), parent);
        label->setBuddy(box);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(label, gridRow, 1 + 2 * axis);
        grid->addWidget(box, gridRow, 2 + 2 * axis);
        boxes_[static_cast<std::size_t>(axis)] = box;
    }
}

EffectVector EffectRowBoxes::values() const
{
    return {boxes_[0]->value(), boxes_[1]->value(), boxes_[2]->value()};
}

void EffectRowBoxes::setValues(const EffectVector& values)
{
    boxes_[0]->setValue(values.x);
    boxes_[1]->setValue(values.y);
    boxes_[2]->setValue(values.z);
}

bool EffectRowBoxes::commit()
{
    // Stops at the first rejected box, so that the balloon points at it.
    for (EffectNumberBox* box : boxes_)
        if (!box->commit())
            return false;
    return true;
}

QString effectRowCaption(EffectRow row)
{
    switch (row) {
    case EffectRow::Translation: return QStringLiteral("Translation: ");
    case EffectRow::Rotation: return QStringLiteral("Rotation: ");
    case EffectRow::Scale: break;
    }
    return QStringLiteral("Scale: ");
}

EffectVector effectRowValues(const EffectSettings& effects, EffectRow row)
{
    switch (row) {
    case EffectRow::Translation: return effects.translation;
    case EffectRow::Rotation: return effects.rotation;
    case EffectRow::Scale: break;
    }
    return effects.scale;
}

EffectVector effectRowDefaults(EffectRow row)
{
    return effectRowValues(EffectSettings{}, row);
}

} // namespace morvex::ui
