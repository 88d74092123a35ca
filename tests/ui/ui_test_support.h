#pragma once

#include "common/test_support.h"
#include "ui/file_list_model.h"
#include "ui/main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace morvex::testing {

// Lets the window thread work until `done` holds or the time is up.
inline bool waitUntil(const std::function<bool()>& done, int milliseconds = 20000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Watches every window and dialog that is shown and answers message boxes
// the way a user would: finds the active modal widget and clicks one of its
// buttons by text. A box without a prepared answer is dismissed with its
// cancelling button, so that a test never hangs on an unexpected question.
class DialogWatcher : public QObject {
public:
    struct Seen {
        std::string title;
        std::string text;
        std::string detail; // a message box's informative text
        std::vector<std::string> buttons;
        bool messageBox = false;
    };
    struct Answer {
        std::string button;
        bool tickCheckBox = false;
    };

    DialogWatcher() { qApp->installEventFilter(this); }
    ~DialogWatcher() override { qApp->removeEventFilter(this); }

    void answer(std::string button, bool tickCheckBox = false) { answers.push_back({std::move(button), tickCheckBox}); }

    bool sawTitle(const std::string& title) const
    {
        for (const Seen& dialog : seen)
            if (dialog.title == title)
                return true;
        return false;
    }
    std::vector<Seen> messageBoxes() const
    {
        std::vector<Seen> boxes;
        for (const Seen& dialog : seen)
            if (dialog.messageBox)
                boxes.push_back(dialog);
        return boxes;
    }

    std::vector<Seen> seen;
    std::deque<Answer> answers;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() != QEvent::Show)
            return false;
        auto* widget = qobject_cast<QWidget*>(object);
        if (widget == nullptr || !widget->isWindow() || widget->inherits("QMainWindow") ||
            widget->windowFlags().testFlag(Qt::ToolTip) || widget->inherits("QMenu"))
            return false;
        Seen dialog;
        dialog.title = widget->windowTitle().toStdString();
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            dialog.messageBox = true;
            dialog.text = box->text().toStdString();
            dialog.detail = box->informativeText().toStdString();
            for (QAbstractButton* button : box->buttons())
                dialog.buttons.push_back(button->text().toStdString());
            QTimer::singleShot(0, this, [this] { answerActiveBox(); });
        }
        seen.push_back(std::move(dialog));
        return false;
    }

private:
    void answerActiveBox()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            QTimer::singleShot(10, this, [this] { answerActiveBox(); });
            return;
        }
        Answer reply;
        if (!answers.empty()) {
            reply = answers.front();
            answers.pop_front();
        }
        if (reply.tickCheckBox && box->checkBox() != nullptr)
            box->checkBox()->setChecked(true);
        const QList<QAbstractButton*> buttons = box->buttons();
        for (QAbstractButton* button : buttons)
            if (button->text().toStdString() == reply.button) {
                button->click();
                return;
            }
        for (QAbstractButton* button : buttons)
            if (box->buttonRole(button) == QMessageBox::RejectRole) {
                button->click();
                return;
            }
        if (!buttons.isEmpty())
            buttons.front()->click();
    }
};

inline std::vector<std::string> statusTexts(ui::MainWindow& window)
{
    std::vector<std::string> texts;
    ui::FileListModel& list = window.fileList();
    for (int row = 0; row < list.rowCount(); ++row)
        texts.push_back(
            list.data(list.index(row, ui::FileListModel::StatusColumn), Qt::DisplayRole).toString().toStdString());
    return texts;
}

// The status texts once the refresh that every change arms has run.
inline std::vector<std::string> refreshedStatusTexts(ui::MainWindow& window)
{
    window.armRefresh();
    waitUntil([] { return false; }, 60);
    return statusTexts(window);
}

inline std::string cellText(ui::MainWindow& window, int row, int column)
{
    ui::FileListModel& list = window.fileList();
    return list.data(list.index(row, column), Qt::DisplayRole).toString().toStdString();
}

// A small ASCII STL of one triangle.
inline std::string triangleStl(const std::string& name = "t")
{
    return "solid " + name +
           "\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid " +
           name + "\n";
}

} // namespace morvex::testing
