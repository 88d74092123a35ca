#include "ui/dialogs/first_run_tip.h"

#include <QPushButton>

namespace morvex::ui {

FirstRunTipBox::FirstRunTipBox(QWidget* parent)
    : QMessageBox(QMessageBox::Information, QString::fromUtf8(FirstRunTipTitle),
                  QStringLiteral("Convert model files in three steps:"), QMessageBox::NoButton, parent)
{
    setObjectName(QStringLiteral("firstRunTip"));
    // The control names are the ones on the window, so the steps can be
    // followed by reading them off the screen. One line per step: a step
    // broken over lines reads as two.
    setTextFormat(Qt::PlainText);
    setInformativeText(QStringLiteral("<p style=\"white-space:pre\">"
                                      "1. Click \"Add File(s)\" or \"Add Folder\", or drop model files and folders "
                                      "on the list.<br>"
                                      "2. Choose the output folder and the format under \"Convert to File:\".<br>"
                                      "3. Click \"Convert\". The list shows how each file went.</p>"));
    QPushButton* ok = addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    setDefaultButton(ok);
    setEscapeButton(ok);
}

} // namespace morvex::ui
