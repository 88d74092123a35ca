#pragma once

#include <QMessageBox>

namespace morvex::ui {

// The tip that the first starts of the program show before anything else:
// how a conversion goes, in three steps, with the names of the controls
// that carry them.
class FirstRunTipBox : public QMessageBox {
public:
    explicit FirstRunTipBox(QWidget* parent = nullptr);
};

inline constexpr const char* FirstRunTipTitle = "Getting Started";

} // namespace morvex::ui
