#pragma once

#include <QMessageBox>

class QPushButton;

namespace morvex::ui {

// "Reuse Effects": asked at start when the stored effects survive a restart.
// Escape and closing count as "Yes, load effects": nothing the user set is
// lost by a question brushed aside.
class ReuseEffectsQuestionBox : public QMessageBox {
    Q_OBJECT

public:
    explicit ReuseEffectsQuestionBox(QWidget* parent = nullptr);

    QPushButton* loadButton() const { return load_; }
    QPushButton* clearButton() const { return clear_; }

    // After exec(): the answer and the "Do not show me this message again."
    // box.
    bool loadChosen() const;
    bool dontShowAgain() const;

private:
    QPushButton* load_ = nullptr;
    QPushButton* clear_ = nullptr;
};

} // namespace morvex::ui
