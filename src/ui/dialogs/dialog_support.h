#pragma once

#include <QString>

#include <string_view>

class QDialogButtonBox;
class QPushButton;
class QWidget;

namespace morvex::ui {

inline QString toQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A balloon pointing at a control: a tool tip anchored below its middle,
// with the title in bold above the text when there is one.
void showBalloon(QWidget* anchor, const QString& title, const QString& text);

// The zero-scale warning: true for "Apply anyway...".
bool confirmZeroScale(QWidget* parent);

// The buttons of the effect dialogs: "Default", "OK" and "Help". "OK"
// accepts and is the default button; "Help" opens nothing, as the program
// has no help pages. Returns the "Default" button.
QPushButton* addDefaultOkHelpButtons(QDialogButtonBox* buttons);

} // namespace morvex::ui
