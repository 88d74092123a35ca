#include "ui/conversion_bridge.h"
#include "ui/qt_text.h"

#include "ui/file_list_model.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

namespace morvex::ui {
namespace {

void postRowStatus(const QPointer<MainWindow>& window, std::string path, ConversionStatus status)
{
    if (MainWindow* target = window.data())
        QMetaObject::invokeMethod(
            target,
            [window, path = std::move(path), status] {
                if (!window)
                    return;
                FileListModel& list = window->fileList();
                if (const int row = list.findRow(path); row >= 0)
                    list.setStatus(row, status);
            },
            Qt::QueuedConnection);
}

OverwriteReply askOverwrite(QWidget* owner, const std::filesystem::path& candidate, bool overwriteOffered)
{
    QMessageBox box(QMessageBox::Question, qtText(OverwriteQuestionTitle), qtText(overwriteQuestionText(candidate)),
                    QMessageBox::NoButton, owner);
    box.setObjectName("overwriteQuestion");
    QPushButton* overwrite = overwriteOffered ? box.addButton("Overwrite", QMessageBox::DestructiveRole) : nullptr;
    QPushButton* rename = box.addButton("Rename", QMessageBox::AcceptRole);
    QPushButton* skip = box.addButton("Skip", QMessageBox::RejectRole);
    box.setDefaultButton(rename);
    auto* dontAsk = new QCheckBox(qtText(DontAskAgainText), &box);
    box.setCheckBox(dontAsk);
    box.exec();
    OverwriteReply reply;
    reply.dontAskAgain = dontAsk->isChecked();
    const QAbstractButton* clicked = box.clickedButton();
    if (clicked == nullptr)
        reply.answer = OverwriteAnswer::Cancel;
    else if (clicked == overwrite)
        reply.answer = OverwriteAnswer::Overwrite;
    else if (clicked == rename)
        reply.answer = OverwriteAnswer::Rename;
    else if (clicked == skip)
        reply.answer = OverwriteAnswer::Skip;
    return reply;
}

} // namespace

void WindowRunSink::jobStatusChanged(const std::filesystem::path& source, ConversionStatus status)
{
    postRowStatus(window_, source.string(), status);
}

void WindowRunSink::jobFinished(const RunEntry& entry)
{
    postRowStatus(window_, entry.source.string(), entry.status);
}

void WindowRunSink::progressChanged(double overall)
{
    dialog_.setProgress(overall);
}

void WindowRunSink::statusTextChanged(std::string_view text, int line)
{
    dialog_.setStatusText(text, line);
}

OverwriteReply DialogOverwriteQuestion::ask(const std::filesystem::path& candidate, bool overwriteOffered)
{
    OverwriteReply reply; // Cancel when nobody is left to ask
    if (QWidget* owner = owner_.data())
        QMetaObject::invokeMethod(
            owner, [&] { reply = askOverwrite(owner_.data(), candidate, overwriteOffered); },
            Qt::BlockingQueuedConnection);
    return reply;
}

CreateFolderReply DialogCreateFolderQuestion::ask(std::string_view folder)
{
    QMessageBox box(QMessageBox::Question, qtText(InvalidOutputFolderTitle), qtText(createFolderQuestionText(folder)),
                    QMessageBox::NoButton, owner_);
    box.setObjectName("createFolderQuestion");
    QPushButton* create = box.addButton(qtText(CreateFolderButton), QMessageBox::AcceptRole);
    box.addButton("Cancel", QMessageBox::RejectRole);
    box.setDefaultButton(create);
    auto* dontShow = new QCheckBox(qtText(DoNotShowAgainText), &box);
    box.setCheckBox(dontShow);
    box.exec();
    return {box.clickedButton() == create, dontShow->isChecked()};
}

} // namespace morvex::ui
