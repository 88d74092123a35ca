#pragma once

#include "support/progress/progress_reporter.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace morvex::ui {

// The modal dialog that long work runs under: two status lines, a bar, the
// estimated time remaining (only between ten minutes and two days) and
// Cancel. Only the window thread touches it; the task reaches it through
// the reporter below.
class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    ProgressDialog(QWidget* parent, const QString& title);

    void setLine(int line, const QString& text);
    void setFraction(double fraction);
    void setIndeterminate(bool on);

    // Cancel and Escape ask the task to stop; the dialog closes when the
    // task has ended, never before.
    void reject() override;
    void setCancelHandler(std::function<void()> handler) { cancel_ = std::move(handler); }
    bool cancelRequested() const { return cancelRequested_; }

private:
    void refreshEstimate();

    QLabel* lines_[2] = {};
    QProgressBar* bar_ = nullptr;
    QLabel* estimate_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QTimer* estimateTimer_ = nullptr;
    QElapsedTimer elapsed_;
    double fraction_ = 0.0;
    bool cancelRequested_ = false;
    std::function<void()> cancel_;
};

// The reporter of a task that runs on a progress dialog's task thread: its
// texts and progress become queued calls into the dialog, so the task never
// touches a widget.
class DialogReporter : public StoppableReporter {
public:
    explicit DialogReporter(ProgressDialog* dialog) : dialog_(dialog) {}

    void setStatusText(std::string_view text, int line) override;
    void setProgress(double fraction) override;
    void beginIndeterminate() override;
    void endIndeterminate() override;
    // Kept for the owner of the task, who shows them when it has ended.
    void postTextMessage(std::string_view text) override;
    std::vector<std::string> postedMessages() const;

private:
    QPointer<ProgressDialog> dialog_;
    std::atomic<int> lastPercent_{-1};
    mutable std::mutex messagesLock_;
    std::vector<std::string> messages_;
};

// Runs `task` on its own thread under a modal progress dialog titled
// `title` over `parent`, and returns when the task has ended. The window
// thread keeps handling events meanwhile.
void runUnderProgressDialog(QWidget* parent, const QString& title, const std::function<void(DialogReporter&)>& task,
                            const std::function<void(ProgressDialog&)>& prepare = {});

} // namespace morvex::ui
