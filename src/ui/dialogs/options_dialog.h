#pragma once

#include "app/overwrite.h"
#include "support/settings/settings_store.h"

#include <QDialog>
#include <QWidget>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace morvex::ui {

// The options page "Overwrite": what a conversion does when its output file
// exists, and the template of numbered names.
class OverwritePage : public QWidget {
    Q_OBJECT

public:
    explicit OverwritePage(SettingsStore& store, QWidget* parent = nullptr);

    // Stores the page when anything on it was changed. A template that is
    // refused keeps the page open: the caller shows the page, then
    // showProblem().
    OverwriteOptionsCommit commit();
    void showProblem(OverwriteOptionsCommit problem);

    QAbstractButton* choiceButton(OverwriteChoice choice) const;
    QLineEdit* formatBox() const { return format_; }
    QLabel* exampleText() const { return example_; }
    QPushButton* resetButton() const { return reset_; }

private:
    OverwriteOptions editedOptions() const;
    void refresh();
    void markChanged();

    SettingsStore& store_;
    QButtonGroup* choices_ = nullptr;
    QLabel* formatCaption_ = nullptr;
    QLineEdit* format_ = nullptr;
    QPushButton* reset_ = nullptr;
    QLabel* exampleCaption_ = nullptr;
    QLabel* example_ = nullptr;
    bool changed_ = false;
};

// The options page "General": whether effects survive a restart.
class GeneralPage : public QWidget {
    Q_OBJECT

public:
    explicit GeneralPage(SettingsStore& store, QWidget* parent = nullptr);

    // Stores the option when it was changed; switching it off clears every
    // effect at once. Effects set in this session are kept when the option
    // merely stays off.
    void commit();

    QCheckBox* applyEffectsBox() const { return applyEffects_; }

private:
    SettingsStore& store_;
    QCheckBox* applyEffects_ = nullptr;
    bool loaded_ = false;
};

// "Morvex Options": the "Overwrite" and "General" pages. OK stores both
// pages, unless the Overwrite page refuses its template.
class OptionsDialog : public QDialog {
    Q_OBJECT

public:
    explicit OptionsDialog(SettingsStore& store, QWidget* parent = nullptr);

    void accept() override;

    QTabWidget* pages() const { return pages_; }
    OverwritePage* overwritePage() const { return overwrite_; }
    GeneralPage* generalPage() const { return general_; }

private:
    QTabWidget* pages_ = nullptr;
    OverwritePage* overwrite_ = nullptr;
    GeneralPage* general_ = nullptr;
};

} // namespace morvex::ui
