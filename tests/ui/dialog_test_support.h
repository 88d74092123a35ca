#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace morvex::testing {

// Acts on the next visible top-level window of type Window as soon as it
// shows, from inside whatever modal loop is running then; so questions and
// dialogs opened by exec() are answered through the real window. A window
// that never shows within five seconds is dismissed instead, and
// `handled()` stays false.
template <class Window>
class WhenShown {
public:
    explicit WhenShown(std::function<void(Window*)> act) : act_(std::move(act))
    {
        clock_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(10);
    }

    bool handled() const { return handled_; }

private:
    void poll()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* window = qobject_cast<Window*>(widget);
            if (window && window->isVisible()) {
                timer_.stop();
                handled_ = true;
                act_(window);
                return;
            }
        }
        if (clock_.elapsed() > 5000) {
            timer_.stop();
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                modal->done(QDialog::Rejected);
        }
    }

    std::function<void(Window*)> act_;
    QTimer timer_;
    QElapsedTimer clock_;
    bool handled_ = false;
};

// What a message box said when it was answered.
struct AnsweredMessage {
    QString title;
    QString text;
    QString checkBoxText;
};

// Answers the next message box by clicking the button with `buttonText`,
// ticking its check box first when `tick`.
class AnswerMessageBox {
public:
    explicit AnswerMessageBox(const QString& buttonText, bool tick = false)
        : watcher_([this, buttonText, tick](QMessageBox* box) {
              seen_.title = box->windowTitle();
              seen_.text = box->text();
              if (box->checkBox()) {
                  seen_.checkBoxText = box->checkBox()->text();
                  box->checkBox()->setChecked(tick);
              }
              for (QAbstractButton* button : box->buttons())
                  if (button->text() == buttonText) {
                      button->click();
                      return;
                  }
              ADD_FAILURE() << "no button " << buttonText.toStdString() << " in " << box->text().toStdString();
              box->done(QDialog::Rejected);
          })
    {
    }

    bool answered() const { return watcher_.handled(); }
    const AnsweredMessage& seen() const { return seen_; }

private:
    AnsweredMessage seen_;
    WhenShown<QMessageBox> watcher_;
};

// Runs the event loop until `done` holds or `milliseconds` pass.
inline bool waitInEventLoop(const std::function<bool()>& done, int milliseconds = 3000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds)
            return false;
        QTest::qWait(10);
    }
    return true;
}

} // namespace morvex::testing
