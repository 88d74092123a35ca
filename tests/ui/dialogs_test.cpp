#include "common/test_support.h"
#include "dialog_test_support.h"
#include "ui/dialogs/dialogs.h"
#include "ui/dialogs/effects_dialog.h"
#include "ui/dialogs/offset_dialog.h"
#include "ui/dialogs/options_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolTip>

#include <gtest/gtest.h>

using namespace morvex;
using namespace morvex::ui;
using morvex::testing::AnswerMessageBox;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::waitInEventLoop;
using morvex::testing::WhenShown;
using morvex::testing::writeFile;

namespace {

// Types into a box as a user does and presses Enter.
void typeAndCommit(EffectNumberBox* box, const QString& text)
{
    box->lineEdit()->selectAll();
    QTest::keyClick(box->lineEdit(), Qt::Key_Delete);
    QTest::keyClicks(box->lineEdit(), text);
    QTest::keyClick(box, Qt::Key_Return);
}

void typeInto(EffectNumberBox* box, const QString& text)
{
    box->lineEdit()->setText(text);
}

bool balloonShows(const QString& text)
{
    return QToolTip::isVisible() && QToolTip::text().contains(text);
}

void waitForBalloonToGo()
{
    QToolTip::hideText();
    waitInEventLoop([] { return !QToolTip::isVisible(); });
}

QPushButton* buttonNamed(QWidget* parent, const QString& text)
{
    for (QPushButton* button : parent->findChildren<QPushButton*>())
        if (button->text() == text)
            return button;
    ADD_FAILURE() << "no button " << text.toStdString();
    return nullptr;
}

std::string iniText(const TempDir& dir)
{
    return std::filesystem::exists(dir / "Morvex.ini") ? readFile(dir / "Morvex.ini") : std::string();
}

} // namespace

TEST(EffectsDialog, ShowsStoredEffectsAndStoresEditsOnlyOnOk)
{
    TempDir dir;
    writeFile(dir / "Morvex.ini", "[Effects]\r\nRecalculateNormals=1\r\nCustomTranslationX=2.50000000\r\n"
                                  "CustomRotationZ=-90.00000000\r\nCustomScaleY=0.25000000\r\n");
    SettingsStore store(dir / "Morvex.ini");
    {
        EffectsDialog dialog(store);
        dialog.show();
        EXPECT_EQ(dialog.windowTitle(), "Effects");
        EXPECT_TRUE(dialog.recalculateNormalsBox()->isChecked());
        EXPECT_FALSE(dialog.removeDuplicatesBox()->isChecked());
        EXPECT_FALSE(dialog.applyTransformBox()->isChecked());
        EXPECT_EQ(dialog.numberBox(EffectRow::Translation, 0)->text(), "2.5");
        EXPECT_EQ(dialog.numberBox(EffectRow::Rotation, 2)->text(), "-90");
        EXPECT_EQ(dialog.numberBox(EffectRow::Scale, 0)->text(), "1");
        EXPECT_EQ(dialog.numberBox(EffectRow::Scale, 1)->text(), "0.25");

        // "Default" changes the controls only; closing without OK keeps the file.
        const std::string before = iniText(dir);
        dialog.defaultButton()->click();
        EXPECT_FALSE(dialog.recalculateNormalsBox()->isChecked());
        EXPECT_EQ(dialog.numberBox(EffectRow::Translation, 0)->text(), "0");
        EXPECT_EQ(dialog.numberBox(EffectRow::Scale, 1)->text(), "1");
        dialog.reject();
        EXPECT_EQ(iniText(dir), before);
    }
    {
        EffectsDialog dialog(store);
        dialog.show();
        dialog.removeDuplicatesBox()->setChecked(true);
        // Enter in a changed box commits it and stays in the dialog.
        typeAndCommit(dialog.numberBox(EffectRow::Translation, 1), "-12.125");
        EXPECT_TRUE(dialog.isVisible());
        // Typed but never committed: OK commits it. Enter in a box that is
        // unchanged presses OK.
        typeInto(dialog.numberBox(EffectRow::Rotation, 0), "45");
        QTest::keyClick(dialog.numberBox(EffectRow::Translation, 1), Qt::Key_Return);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    const std::string text = iniText(dir);
    EXPECT_NE(text.find("RemoveDuplicateTriangles=1"), std::string::npos) << text;
    EXPECT_NE(text.find("CustomTranslationY=-12.12500000"), std::string::npos) << text;
    EXPECT_NE(text.find("CustomRotationX=45.00000000"), std::string::npos) << text;
    const EffectSettings stored = loadEffects(SettingsStore(dir / "Morvex.ini"));
    EXPECT_TRUE(stored.recalculateNormals);
    EXPECT_TRUE(stored.removeDuplicateTriangles);
    EXPECT_EQ(stored.translation, (EffectVector{2.5, -12.125, 0}));
    EXPECT_EQ(stored.rotation, (EffectVector{45, 0, -90}));
    EXPECT_EQ(stored.scale, (EffectVector{1, 0.25, 1}));
}

TEST(EffectsDialog, NumberBoxesRejectBadTextWithABalloonAndKeepThePreviousValue)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    EffectsDialog dialog(store);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    EffectNumberBox* box = dialog.numberBox(EffectRow::Translation, 0);
    typeAndCommit(box, "7");
    ASSERT_EQ(box->value(), 7.0);

    struct Case {
        const char* typed;
        bool accepted;
        const char* shown;
    };
    const Case cases[] = {
        {"1e3", false, "7"},     {"1,5", false, "7"},          {"-0.5", true, "-0.5"},
        {".5", true, "0.5"},     {"2000000", false, "0.5"},    {"-1000000", true, "-1000000"},
        {"", false, "-1000000"}, {"1.2.3", false, "-1000000"}, {"12.", true, "12"},
        {"+3", false, "12"},     {"abc", false, "12"},
    };
    for (const Case& c : cases) {
        waitForBalloonToGo();
        typeAndCommit(box, QString::fromLatin1(c.typed));
        EXPECT_EQ(box->text(), c.shown) << c.typed;
        EXPECT_EQ(balloonShows("Enter a valid number"), !c.accepted) << c.typed;
    }

    // Leaving the box commits it as well.
    waitForBalloonToGo();
    typeInto(box, "3,5");
    emit box->editingFinished();
    EXPECT_EQ(box->text(), "12");
    EXPECT_TRUE(balloonShows("Enter a valid number"));

    // A step starts from the committed value; a rejected text is not stepped.
    typeInto(box, "4");
    box->stepBy(1);
    EXPECT_EQ(box->value(), 5.0);
    typeAndCommit(box, "1000000");
    box->stepBy(3);
    EXPECT_EQ(box->value(), 1000000.0);

    // OK with a rejected box keeps the dialog open and stores nothing.
    typeInto(dialog.numberBox(EffectRow::Scale, 2), "1e3");
    buttonNamed(&dialog, "OK")->click();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.numberBox(EffectRow::Scale, 2)->text(), "1");
    EXPECT_EQ(iniText(dir), "");
}

TEST(EffectsDialog, NearZeroScaleIsStoredAsZeroAndTwoZeroAxesAskFirst)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    {
        // One axis below 0.001: stored as 0 without a warning.
        EffectsDialog dialog(store);
        dialog.show();
        typeInto(dialog.numberBox(EffectRow::Scale, 0), "0.0005");
        WhenShown<QMessageBox> noWarning([](QMessageBox* box) { box->done(QDialog::Rejected); });
        buttonNamed(&dialog, "OK")->click();
        EXPECT_FALSE(noWarning.handled());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(loadEffects(store).scale, (EffectVector{0, 1, 1}));
    }
    EffectsDialog dialog(store);
    dialog.show();
    dialog.applyTransformBox()->setChecked(true);
    typeInto(dialog.numberBox(EffectRow::Scale, 0), "0.0005");
    typeInto(dialog.numberBox(EffectRow::Scale, 1), "-0.0009");
    typeInto(dialog.numberBox(EffectRow::Scale, 2), "3");
    typeInto(dialog.numberBox(EffectRow::Translation, 2), "8");
    {
        AnswerMessageBox cancel("Cancel");
        buttonNamed(&dialog, "OK")->click();
        ASSERT_TRUE(cancel.answered());
        EXPECT_EQ(cancel.seen().title, "Scale");
        EXPECT_EQ(cancel.seen().text, "It seems that you have specified a scale of Zero (or very near) in more than "
                                      "1 axis. This seems to be invalid.");
        EXPECT_TRUE(dialog.isVisible());
        // The switches are stored, the numbers are not.
        const EffectSettings stored = loadEffects(store);
        EXPECT_TRUE(stored.applyCustomTransform);
        EXPECT_EQ(stored.scale, (EffectVector{0, 1, 1}));
        EXPECT_EQ(stored.translation, (EffectVector{0, 0, 0}));
    }
    AnswerMessageBox apply("Apply anyway...");
    buttonNamed(&dialog, "OK")->click();
    ASSERT_TRUE(apply.answered());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const std::string text = iniText(dir);
    EXPECT_NE(text.find("CustomScaleX=0.00000000"), std::string::npos) << text;
    EXPECT_NE(text.find("CustomScaleY=0.00000000"), std::string::npos) << text;
    EXPECT_NE(text.find("CustomScaleZ=3.00000000"), std::string::npos) << text;
    EXPECT_NE(text.find("CustomTranslationZ=8.00000000"), std::string::npos) << text;
}

TEST(OffsetDialogs, OkSwitchesTheTransformOnAndStoresTheirRow)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    store.writeNumber("Effects", "CustomRotationY", 30);

    // The translation dialog, through the entry the main window uses, with
    // its three zeros untouched.
    WhenShown<OffsetDialog> pressOk([](OffsetDialog* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Apply Offsets to Objects");
        EXPECT_NE(dialog->findChild<QLabel*>()->text().indexOf("Translation: "), -1);
        EXPECT_EQ(dialog->numberBox(0)->text(), "0");
        buttonNamed(dialog, "OK")->click();
    });
    EXPECT_TRUE(showOffsetDialog(nullptr, store, EffectRow::Translation));
    EXPECT_TRUE(pressOk.handled());
    EXPECT_NE(iniText(dir).find("ApplyCustomTransform=1"), std::string::npos) << iniText(dir);
    EXPECT_EQ(loadEffects(store).translation, (EffectVector{0, 0, 0}));

    {
        OffsetDialog rotation(store, EffectRow::Rotation);
        rotation.show();
        EXPECT_EQ(rotation.numberBox(1)->text(), "30");
        rotation.defaultButton()->click();
        EXPECT_EQ(rotation.numberBox(1)->text(), "0");
        typeInto(rotation.numberBox(2), "-15.5");
        rotation.accept();
        EXPECT_EQ(loadEffects(store).rotation, (EffectVector{0, 0, -15.5}));
    }
    {
        OffsetDialog scale(store, EffectRow::Scale);
        scale.show();
        typeInto(scale.numberBox(0), "2");
        typeInto(scale.numberBox(1), "0");
        typeInto(scale.numberBox(2), ".0001");
        {
            AnswerMessageBox cancel("Cancel");
            scale.accept();
            EXPECT_TRUE(cancel.answered());
            EXPECT_TRUE(scale.isVisible());
            EXPECT_EQ(loadEffects(store).scale, (EffectVector{1, 1, 1}));
        }
        AnswerMessageBox apply("Apply anyway...");
        scale.accept();
        EXPECT_TRUE(apply.answered());
        EXPECT_EQ(loadEffects(store).scale, (EffectVector{2, 0, 0}));
        scale.defaultButton()->click();
        EXPECT_EQ(scale.numberBox(0)->text(), "1");
    }
    // Cancelling a row dialog stores nothing.
    const std::string before = iniText(dir);
    WhenShown<OffsetDialog> cancel([](OffsetDialog* dialog) {
        typeInto(dialog->numberBox(0), "5");
        dialog->reject();
    });
    EXPECT_FALSE(showOffsetDialog(nullptr, store, EffectRow::Scale));
    EXPECT_EQ(iniText(dir), before);
}

TEST(StartupEffects, EffectsLastUntilTheNextStartUnlessTheyApplyOnEveryConversion)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");

    // Effects set in the dialog, "ApplyEffects" off: gone at the next start,
    // without a question.
    WhenShown<EffectsDialog> setEffects([](EffectsDialog* dialog) {
        dialog->recalculateNormalsBox()->setChecked(true);
        typeInto(dialog->numberBox(EffectRow::Scale, 0), "2");
        dialog->accept();
    });
    ASSERT_TRUE(showEffectsDialog(nullptr, store));
    ASSERT_TRUE(loadEffects(store).recalculateNormals);
    SettingsStore nextStart(dir / "Morvex.ini");
    {
        WhenShown<QMessageBox> noQuestion([](QMessageBox* box) { box->done(QDialog::Rejected); });
        runStartupEffectsCheck(nullptr, nextStart);
        EXPECT_FALSE(noQuestion.handled());
        EXPECT_EQ(loadEffects(nextStart), EffectSettings{});
    }

    // With "ApplyEffects" on, the start asks; "No, clear effects" clears and
    // the ticked box is stored.
    store.writeBool("Options", "ApplyEffects", true);
    store.writeBool("Effects", "ApplyCustomTransform", true);
    store.writeNumber("Effects", "CustomTranslationX", 4);
    {
        AnswerMessageBox clear("No, clear effects", true);
        runStartupEffectsCheck(nullptr, nextStart);
        ASSERT_TRUE(clear.answered());
        EXPECT_EQ(clear.seen().title, "Reuse Effects");
        EXPECT_EQ(clear.seen().text, "Your previous conversion included custom effects. Do you want to load those "
                                     "effects for your next conversion?");
        EXPECT_EQ(clear.seen().checkBoxText, "Do not show me this message again.");
        EXPECT_FALSE(loadEffects(nextStart).applyCustomTransform);
        EXPECT_EQ(loadEffects(nextStart).translation.x, 0.0);
        EXPECT_TRUE(loadEffects(nextStart).loadEffectsDontShowMsg);
    }

    // Suppressed: the effects stay loaded without a question.
    store.writeBool("Effects", "ApplyCustomTransform", true);
    {
        WhenShown<QMessageBox> noQuestion([](QMessageBox* box) { box->done(QDialog::Rejected); });
        runStartupEffectsCheck(nullptr, nextStart);
        EXPECT_FALSE(noQuestion.handled());
        EXPECT_TRUE(loadEffects(nextStart).applyCustomTransform);
    }

    // Asked again: "Yes, load effects" keeps them.
    store.writeBool("Effects", "LoadEffectsDontShowMsg", false);
    {
        AnswerMessageBox load("Yes, load effects");
        runStartupEffectsCheck(nullptr, nextStart);
        ASSERT_TRUE(load.answered());
        EXPECT_TRUE(loadEffects(nextStart).applyCustomTransform);
        EXPECT_FALSE(loadEffects(nextStart).loadEffectsDontShowMsg);
    }
}

TEST(OptionsDialog, OverwritePageShowsThePolicyAndChecksTheTemplate)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    {
        // Nothing changed: OK writes nothing at all.
        OptionsDialog dialog(store);
        dialog.show();
        EXPECT_EQ(dialog.windowTitle(), "Morvex Options");
        EXPECT_EQ(dialog.pages()->tabText(0), "Overwrite");
        EXPECT_EQ(dialog.pages()->tabText(1), "General");
        OverwritePage* page = dialog.overwritePage();
        EXPECT_TRUE(page->choiceButton(OverwriteChoice::Prompt)->isChecked());
        EXPECT_EQ(page->formatBox()->text(), "%filename%-%number%");
        EXPECT_FALSE(page->formatBox()->isEnabled());
        EXPECT_FALSE(page->resetButton()->isEnabled());
        EXPECT_EQ(page->exampleText()->text(), "model-1.3dp\nmodel-2.3dp\nmodel-3.3dp\netc.");
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_FALSE(std::filesystem::exists(dir / "Morvex.ini"));
    }

    OptionsDialog dialog(store);
    dialog.show();
    OverwritePage* page = dialog.overwritePage();
    QLineEdit* format = page->formatBox();
    page->choiceButton(OverwriteChoice::Rename)->click();
    EXPECT_TRUE(format->isEnabled());
    EXPECT_FALSE(page->resetButton()->isEnabled());
    format->selectAll();
    QTest::keyClicks(format, "%FILENAME%-%NUMBER%");
    EXPECT_FALSE(page->resetButton()->isEnabled()); // the default, in other letters
    EXPECT_EQ(page->exampleText()->text(), "%FILENAME%-%NUMBER%.3dp\n%FILENAME%-%NUMBER%.3dp\n"
                                           "%FILENAME%-%NUMBER%.3dp\netc.");

    // The markers are case-sensitive: a balloon at the format box, the page stays.
    dialog.pages()->setCurrentIndex(1);
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.pages()->currentWidget(), page);
    EXPECT_TRUE(balloonShows("Invalid Format"));
    EXPECT_TRUE(balloonShows("Format must contain both %filename% and %number%."));
    EXPECT_FALSE(store.valueExists("Overwrite", "EnumerateTEXT"));

    format->selectAll();
    QTest::keyClicks(format, "%filename%:%number%");
    EXPECT_TRUE(page->resetButton()->isEnabled());
    EXPECT_EQ(page->exampleText()->text(), ": is an invalid character");
    {
        AnswerMessageBox ok("OK");
        dialog.accept();
        ASSERT_TRUE(ok.answered());
        EXPECT_EQ(ok.seen().title, "Morvex Mesh Converter");
        EXPECT_EQ(ok.seen().text, "Your file number append format is incorrect, please check the syntax.");
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_FALSE(store.valueExists("Overwrite", "EnumerateTEXT"));
    }

    page->resetButton()->click();
    EXPECT_EQ(format->text(), "%filename%-%number%");
    EXPECT_FALSE(page->resetButton()->isEnabled());
    format->selectAll();
    QTest::keyClicks(format, "%number%_%filename%");
    EXPECT_EQ(page->exampleText()->text(), "1_model.3dp\n2_model.3dp\n3_model.3dp\netc.");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const std::string text = iniText(dir);
    EXPECT_NE(text.find("EnumerateTEXT=%number%_%filename%"), std::string::npos) << text;
    EXPECT_NE(text.find("Enumerate=1"), std::string::npos) << text;
    EXPECT_NE(text.find("AlwaysPrompt=0"), std::string::npos) << text;

    // Reopened: the stored choice and template come back.
    OptionsDialog again(store);
    EXPECT_TRUE(again.overwritePage()->choiceButton(OverwriteChoice::Rename)->isChecked());
    EXPECT_EQ(again.overwritePage()->formatBox()->text(), "%number%_%filename%");
    again.overwritePage()->choiceButton(OverwriteChoice::Skip)->click();
    EXPECT_FALSE(again.overwritePage()->formatBox()->isEnabled());
    again.accept();
    EXPECT_EQ(readSchedulerPolicy(store), policyForChoice(OverwriteChoice::Skip));
}

TEST(OptionsDialog, GeneralPageClearsEffectsWhenApplyEffectsGoesOff)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    EffectSettings effects;
    effects.recalculateNormals = true;
    effects.scale = {2, 2, 2};
    storeEffects(store, effects);

    // Staying off keeps the effects of this session.
    {
        OptionsDialog dialog(store);
        EXPECT_FALSE(dialog.generalPage()->applyEffectsBox()->isChecked());
        EXPECT_EQ(dialog.generalPage()->applyEffectsBox()->text(),
                  "Apply added effects on every conversion until manually cleared.");
        dialog.accept();
        EXPECT_EQ(loadEffects(store), effects);
    }
    WhenShown<OptionsDialog> switchOn([](OptionsDialog* dialog) {
        dialog->generalPage()->applyEffectsBox()->click();
        buttonNamed(dialog, "OK")->click();
    });
    EXPECT_TRUE(showOptionsDialog(nullptr, store));
    EXPECT_NE(iniText(dir).find("ApplyEffects=1"), std::string::npos) << iniText(dir);
    EXPECT_EQ(loadEffects(store), effects);

    // Cancel stores nothing.
    {
        OptionsDialog dialog(store);
        dialog.generalPage()->applyEffectsBox()->click();
        buttonNamed(&dialog, "Cancel")->click();
        EXPECT_TRUE(applyEffectsOption(store));
    }
    OptionsDialog dialog(store);
    dialog.generalPage()->applyEffectsBox()->click();
    dialog.accept();
    EXPECT_FALSE(applyEffectsOption(store));
    EXPECT_EQ(loadEffects(store), EffectSettings{});
}

TEST(Dialogs, HelpButtonsOpenNothingAndLeaveTheDialogOpen)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    EffectsDialog effects(store);
    OffsetDialog offset(store, EffectRow::Rotation);
    OptionsDialog options(store);
    const auto visibleWindows = [] {
        qsizetype count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += widget->isVisible();
        return count;
    };
    for (QDialog* dialog :
         {static_cast<QDialog*>(&effects), static_cast<QDialog*>(&offset), static_cast<QDialog*>(&options)}) {
        dialog->show();
        const qsizetype before = visibleWindows();
        buttonNamed(dialog, "Help")->click();
        EXPECT_TRUE(dialog->isVisible()) << dialog->windowTitle().toStdString();
        EXPECT_EQ(visibleWindows(), before) << dialog->windowTitle().toStdString();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "Morvex.ini"));
}
