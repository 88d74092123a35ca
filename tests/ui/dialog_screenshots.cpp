// Writes a PNG of each dialog of the desktop program into the folder given
// as the argument, so that anyone can look at what a user sees. The dialogs
// open on their own settings file in a temporary folder, filled with values
// that show every control in use. Run by bench/dialog-screenshots.sh.
#include "app/effects.h"
#include "ui/dialogs/effects_dialog.h"
#include "ui/dialogs/first_run_tip.h"
#include "ui/dialogs/offset_dialog.h"
#include "ui/dialogs/options_dialog.h"
#include "ui/dialogs/reuse_effects_question.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <cstdio>
#include <functional>

using namespace morvex;
using namespace morvex::ui;

namespace {

QDir outputFolder;
int failures = 0;

void save(const QPixmap& picture, const QString& name)
{
    const QString path = outputFolder.filePath(name + QStringLiteral(".png"));
    if (!picture.save(path)) {
        std::fprintf(stderr, "dialog-screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

QWidget* visibleBalloon()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
            return widget;
    return nullptr;
}

// The window with the balloon that points into it, painted where it shows.
// A balloon reaching past the window's edge widens the picture by its own
// area only: the rest of the widened strip stays transparent, so the
// picture holds nothing but the dialog and its balloon.
void grabShown(QWidget* window, const QString& name)
{
    window->show();
    QTest::qWait(50);
    QWidget* balloon = visibleBalloon();
    if (!balloon) {
        save(window->grab(), name);
        return;
    }
    const QRect windowArea = window->geometry();
    const QRect balloonArea = balloon->geometry();
    const QRect all = windowArea.united(balloonArea);
    QPixmap canvas(all.size());
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.drawPixmap(windowArea.topLeft() - all.topLeft(), window->grab());
    painter.drawPixmap(balloonArea.topLeft() - all.topLeft(), balloon->grab());
    painter.end();
    save(canvas, name);
    QToolTip::hideText();
    QTest::qWait(400);
}

// Grabs the message box that `open` shows modally, then closes it.
void grabMessageBox(const std::function<void()>& open, const QString& name)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                poll.stop();
                QTest::qWait(50);
                save(box->grab(), name);
                box->done(QDialog::Rejected);
                return;
            }
    });
    poll.start(20);
    open();
}

void showEffectsDialogs(SettingsStore& store)
{
    EffectSettings effects;
    effects.recalculateNormals = true;
    effects.applyCustomTransform = true;
    effects.translation = {0, 0, 12.5};
    effects.rotation = {-90, 0, 0};
    effects.scale = {25.4, 25.4, 25.4};
    storeEffects(store, effects);

    EffectsDialog dialog(store);
    grabShown(&dialog, QStringLiteral("effects"));
    dialog.numberBox(EffectRow::Rotation, 1)->lineEdit()->setText(QStringLiteral("1,5"));
    dialog.numberBox(EffectRow::Rotation, 1)->commit();
    grabShown(&dialog, QStringLiteral("effects-invalid-number"));
    dialog.numberBox(EffectRow::Scale, 0)->setValue(0);
    dialog.numberBox(EffectRow::Scale, 1)->setValue(0.0005);
    grabMessageBox([&] { dialog.accept(); }, QStringLiteral("effects-zero-scale-warning"));
    dialog.hide();

    const std::pair<EffectRow, const char*> rows[] = {{EffectRow::Translation, "offset-translation"},
                                                      {EffectRow::Rotation, "offset-rotation"},
                                                      {EffectRow::Scale, "offset-scale"}};
    for (const auto& [row, name] : rows) {
        OffsetDialog offset(store, row);
        grabShown(&offset, QString::fromLatin1(name));
    }
}

void showOptionsDialog(SettingsStore& store)
{
    OptionsDialog dialog(store);
    dialog.overwritePage()->choiceButton(OverwriteChoice::Rename)->click();
    QLineEdit* format = dialog.overwritePage()->formatBox();
    format->setText(QStringLiteral("%filename%_%number%"));
    emit format->textEdited(format->text());
    grabShown(&dialog, QStringLiteral("options-overwrite"));

    format->setText(QStringLiteral("%filename%"));
    emit format->textEdited(format->text());
    dialog.accept();
    grabShown(&dialog, QStringLiteral("options-overwrite-invalid-format"));

    format->setText(QStringLiteral("%filename%?%number%"));
    emit format->textEdited(format->text());
    grabMessageBox([&] { dialog.accept(); }, QStringLiteral("options-overwrite-invalid-character"));

    dialog.pages()->setCurrentWidget(dialog.generalPage());
    grabShown(&dialog, QStringLiteral("options-general"));
    dialog.hide();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: morvex-dialog-screenshots FOLDER\n");
        return 2;
    }
    outputFolder = QDir(QString::fromLocal8Bit(argv[1]));
    if (!outputFolder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "dialog-screenshots: cannot create %s\n", argv[1]);
        return 1;
    }
    QTemporaryDir settingsFolder;
    SettingsStore store(settingsFolder.filePath(QStringLiteral("Morvex.ini")).toStdString());

    showEffectsDialogs(store);
    showOptionsDialog(store);
    ReuseEffectsQuestionBox question;
    grabShown(&question, QStringLiteral("reuse-effects"));
    FirstRunTipBox tip;
    grabShown(&tip, QStringLiteral("first-run-tip"));
    return failures == 0 ? 0 : 1;
}
