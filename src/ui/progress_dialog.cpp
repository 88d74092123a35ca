#include "ui/progress_dialog.h"

#include "app/batch_run.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <thread>

namespace morvex::ui {
namespace {

// A queued call into the dialog; dropped when the dialog is gone.
template <typename Call>
void postToDialog(const QPointer<ProgressDialog>& dialog, Call call)
{
    if (ProgressDialog* target = dialog.data())
        QMetaObject::invokeMethod(
            target,
            [dialog, call] {
                if (dialog)
                    call(*dialog);
            },
            Qt::QueuedConnection);
}

} // namespace

ProgressDialog::ProgressDialog(QWidget* parent, const QString& title) : QDialog(parent)
{
    setWindowTitle(title);
    setObjectName("progressDialog");
    setModal(true);
    setWindowFlag(Qt::WindowCloseButtonHint, false);

    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_FileDialogContentsView).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    for (int line = 0; line < 2; ++line) {
        lines_[line] = new QLabel(this);
        lines_[line]->setObjectName(QString("statusLine%1").arg(line));
        lines_[line]->setTextFormat(Qt::PlainText);
        lines_[line]->setMinimumWidth(380);
        texts->addWidget(lines_[line]);
    }
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    bar_->setValue(0);
    texts->addWidget(bar_);
    estimate_ = new QLabel(this);
    estimate_->setObjectName("estimateLine");
    estimate_->hide();
    texts->addWidget(estimate_);

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(texts, 1);

    auto* separator = new QFrame(this);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);

    cancelButton_ = new QPushButton(tr("Cancel"), this);
    cancelButton_->setObjectName("cancelButton");
    connect(cancelButton_, &QPushButton::clicked, this, &ProgressDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancelButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(separator);
    layout->addLayout(buttons);

    estimateTimer_ = new QTimer(this);
    estimateTimer_->setInterval(1000);
    connect(estimateTimer_, &QTimer::timeout, this, &ProgressDialog::refreshEstimate);
    estimateTimer_->start();
    elapsed_.start();
}

void ProgressDialog::setLine(int line, const QString& text)
{
    if (line == 0 || line == 1)
        lines_[line]->setText(text);
}

void ProgressDialog::setFraction(double fraction)
{
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    bar_->setValue(static_cast<int>(fraction_ * 100.0));
}

void ProgressDialog::setIndeterminate(bool on)
{
    if (on)
        bar_->setRange(0, 0);
    else
        bar_->setRange(0, 100);
}

void ProgressDialog::reject()
{
    if (cancelRequested_)
        return;
    cancelRequested_ = true;
    cancelButton_->setEnabled(false);
    if (cancel_)
        cancel_();
}

// Remaining time from the pace so far.
void ProgressDialog::refreshEstimate()
{
    if (fraction_ <= 0.0) {
        estimate_->hide();
        return;
    }
    const double seconds = static_cast<double>(elapsed_.elapsed()) / 1000.0;
    const double secondsLeft = seconds * (1.0 - fraction_) / fraction_;
    const std::optional<std::string> line = estimatedTimeRemainingLine(fraction_, secondsLeft);
    estimate_->setVisible(line.has_value());
    if (line)
        estimate_->setText(QString::fromStdString(*line));
}

void DialogReporter::setStatusText(std::string_view text, int line)
{
    if (line != 0 && line != 1)
        return;
    const QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).left(259);
    postToDialog(dialog_, [shown, line](ProgressDialog& dialog) { dialog.setLine(line, shown); });
}

void DialogReporter::setProgress(double fraction)
{
    // Only whole percents reach the window thread.
    const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
    if (lastPercent_.exchange(percent) == percent)
        return;
    postToDialog(dialog_, [fraction](ProgressDialog& dialog) { dialog.setFraction(fraction); });
}

void DialogReporter::beginIndeterminate()
{
    postToDialog(dialog_, [](ProgressDialog& dialog) { dialog.setIndeterminate(true); });
}

void DialogReporter::endIndeterminate()
{
    postToDialog(dialog_, [](ProgressDialog& dialog) { dialog.setIndeterminate(false); });
}

void DialogReporter::postTextMessage(std::string_view text)
{
    const std::lock_guard lock(messagesLock_);
    messages_.emplace_back(text);
}

std::vector<std::string> DialogReporter::postedMessages() const
{
    const std::lock_guard lock(messagesLock_);
    return messages_;
}

void runUnderProgressDialog(QWidget* parent, const QString& title, const std::function<void(DialogReporter&)>& task,
                            const std::function<void(ProgressDialog&)>& prepare)
{
    ProgressDialog dialog(parent, title);
    DialogReporter reporter(&dialog);
    dialog.setCancelHandler([&reporter] { reporter.requestStop(); });
    if (prepare)
        prepare(dialog);
    std::thread worker([&] {
        task(reporter);
        // Queued behind every message the task posted, so the dialog shows
        // them all before it closes.
        QMetaObject::invokeMethod(
            &dialog, [&dialog] { dialog.done(QDialog::Accepted); }, Qt::QueuedConnection);
    });
    dialog.exec();
    worker.join();
}

} // namespace morvex::ui
