#include "ui/dialogs/dialog_support.h"

#include "app/effects.h"

#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QToolTip>
#include <QWidget>

namespace morvex::ui {

void showBalloon(QWidget* anchor, const QString& title, const QString& text)
{
    // Kept on one line per text: a tool tip wraps rich text early.
    const QString body = title.isEmpty() ? text.toHtmlEscaped()
                                         : QStringLiteral("<p style='white-space:pre'><b>%1</b><br>%2</p>")
                                               .arg(title.toHtmlEscaped(), text.toHtmlEscaped());
    // A tool tip shows 16 pixels below the point it is given: this puts its
    // top edge just under the control, beside the control's middle.
    constexpr int toolTipDrop = 16;
    const QPoint below = anchor->mapToGlobal(QPoint(anchor->width() / 2, anchor->height() + 2 - toolTipDrop));
    QToolTip::showText(below, body, anchor);
}

bool confirmZeroScale(QWidget* parent)
{
    QMessageBox warning(QMessageBox::Warning, toQString(ZeroScaleWarningTitle), toQString(ZeroScaleWarningText),
                        QMessageBox::NoButton, parent);
    QPushButton* apply = warning.addButton(QStringLiteral("Apply anyway..."), QMessageBox::AcceptRole);
    QPushButton* cancel = warning.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    warning.setDefaultButton(cancel);
    warning.setEscapeButton(cancel);
    warning.exec();
    return warning.clickedButton() == apply;
}

QPushButton* addDefaultOkHelpButtons(QDialogButtonBox* buttons)
{
    QPushButton* defaults = buttons->addButton(QStringLiteral("Default"), QDialogButtonBox::ResetRole);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Help"), QDialogButtonBox::HelpRole);
    ok->setDefault(true);
    return defaults;
}

} // namespace morvex::ui
