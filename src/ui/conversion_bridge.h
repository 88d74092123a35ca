#pragma once

#include "app/batch_run.h"
#include "app/output_folder_check.h"
#include "app/overwrite.h"

#include <QPointer>
#include <QWidget>

namespace morvex::ui {

class DialogReporter;
class MainWindow;

// What a conversion run reports, carried to the window thread as queued
// calls: row statuses to the list, texts and progress to the dialog.
class WindowRunSink : public RunSink {
public:
    WindowRunSink(MainWindow* window, DialogReporter& dialog) : window_(window), dialog_(dialog) {}

    void jobStatusChanged(const std::filesystem::path& source, ConversionStatus status) override;
    void jobFinished(const RunEntry& entry) override;
    void progressChanged(double overall) override;
    void statusTextChanged(std::string_view text, int line) override;

private:
    QPointer<MainWindow> window_;
    DialogReporter& dialog_;
};

// The overwrite question, asked by the scheduler on the dialog's task thread
// and shown on the window thread over the progress dialog, which waits.
class DialogOverwriteQuestion : public OverwriteQuestion {
public:
    explicit DialogOverwriteQuestion(QWidget* owner) : owner_(owner) {}
    OverwriteReply ask(const std::filesystem::path& candidate, bool overwriteOffered) override;

private:
    QPointer<QWidget> owner_;
};

// The question about a missing output folder, on the window thread.
class DialogCreateFolderQuestion : public CreateFolderQuestion {
public:
    explicit DialogCreateFolderQuestion(QWidget* owner) : owner_(owner) {}
    CreateFolderReply ask(std::string_view folder) override;

private:
    QWidget* owner_;
};

} // namespace morvex::ui
