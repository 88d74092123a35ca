#include "ui/dialogs/options_dialog.h"

#include "app/effects.h"
#include "app/naming.h"
#include "ui/dialogs/dialog_support.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

namespace morvex::ui {
namespace {

struct ChoiceText {
    OverwriteChoice choice;
    const char* text;
};

constexpr ChoiceText choiceTexts[] = {
    {OverwriteChoice::Prompt, "Prompt for what to do"},         {OverwriteChoice::Overwrite, "Overwrite the file"},
    {OverwriteChoice::Skip, "Don't convert the original file"}, {OverwriteChoice::Stop, "Abort conversions"},
    {OverwriteChoice::Rename, "Append number to filename"},
};

} // namespace

OverwritePage::OverwritePage(SettingsStore& store, QWidget* parent) : QWidget(parent), store_(store)
{
    setWindowTitle(QStringLiteral("Overwrite"));
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("Overwrite Options"), this);
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(
        new QLabel(QStringLiteral("When converting, if the destination file already exists..."), group));

    choices_ = new QButtonGroup(this);
    for (const ChoiceText& entry : choiceTexts) {
        auto* button = new QRadioButton(QString::fromLatin1(entry.text), group);
        choices_->addButton(button, static_cast<int>(entry.choice));
        groupLayout->addWidget(button);
    }

    // The template controls sit under the button they belong to.
    auto* templateGrid = new QGridLayout;
    templateGrid->setContentsMargins(style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) + 8, 0, 0, 0);
    formatCaption_ = new QLabel(QStringLiteral("Format:"), group);
    format_ = new QLineEdit(group);
    formatCaption_->setBuddy(format_);
    reset_ = new QPushButton(QStringLiteral("Reset"), group);
    exampleCaption_ = new QLabel(QStringLiteral("Example:"), group);
    example_ = new QLabel(group);
    example_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    example_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Room for the three names and "etc." whatever the example says, so
    // that the page does not jump while the format is typed.
    example_->setMinimumHeight(4 * example_->fontMetrics().lineSpacing());
    templateGrid->addWidget(formatCaption_, 0, 0);
    templateGrid->addWidget(format_, 0, 1);
    templateGrid->addWidget(reset_, 0, 2);
    templateGrid->addWidget(exampleCaption_, 1, 0, Qt::AlignTop);
    templateGrid->addWidget(example_, 1, 1, 1, 2);
    templateGrid->setColumnStretch(1, 1);
    groupLayout->addLayout(templateGrid);
    layout->addWidget(group);
    layout->addStretch(1);

    const OverwriteOptions options = loadOverwriteOptions(store_);
    choices_->button(static_cast<int>(options.choice))->setChecked(true);
    format_->setText(toQString(options.nameTemplate));
    refresh();

    connect(choices_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked)
            markChanged();
    });
    connect(format_, &QLineEdit::textEdited, this, [this] { markChanged(); });
    connect(reset_, &QPushButton::clicked, this, [this] {
        format_->setText(toQString(DefaultNameTemplate));
        markChanged();
    });
}

OverwriteOptionsCommit OverwritePage::commit()
{
    if (!changed_)
        return OverwriteOptionsCommit::Stored;
    return commitOverwriteOptions(store_, editedOptions());
}

void OverwritePage::showProblem(OverwriteOptionsCommit problem)
{
    switch (problem) {
    case OverwriteOptionsCommit::Stored: return;
    case OverwriteOptionsCommit::MissingMarkers:
        format_->setFocus();
        showBalloon(format_, toQString(InvalidFormatTitle), toQString(MissingMarkersText));
        return;
    case OverwriteOptionsCommit::InvalidCharacter:
        QMessageBox::critical(this, toQString(OverwriteQuestionTitle), toQString(InvalidFormatText));
        format_->setFocus();
        return;
    }
}

QAbstractButton* OverwritePage::choiceButton(OverwriteChoice choice) const
{
    return choices_->button(static_cast<int>(choice));
}

OverwriteOptions OverwritePage::editedOptions() const
{
    OverwriteOptions options;
    options.choice = static_cast<OverwriteChoice>(choices_->checkedId());
    options.nameTemplate = format_->text().toStdString();
    return options;
}

void OverwritePage::refresh()
{
    const OverwriteOptions options = editedOptions();
    const bool templateControls = nameTemplateControlsEnabled(options);
    for (QWidget* control : {static_cast<QWidget*>(formatCaption_), static_cast<QWidget*>(format_),
                             static_cast<QWidget*>(exampleCaption_), static_cast<QWidget*>(example_)})
        control->setEnabled(templateControls);
    reset_->setEnabled(resetTemplateEnabled(options));
    example_->setText(toQString(nameTemplateExample(options.nameTemplate)));
}

void OverwritePage::markChanged()
{
    changed_ = true;
    refresh();
}

GeneralPage::GeneralPage(SettingsStore& store, QWidget* parent) : QWidget(parent), store_(store)
{
    setWindowTitle(QStringLiteral("General"));
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("Effects"), this);
    auto* groupLayout = new QVBoxLayout(group);
    applyEffects_ =
        new QCheckBox(QStringLiteral("Apply added effects on every conversion until manually cleared."), group);
    auto* note =
        new QLabel(QStringLiteral("When this is off, effects last only until the program is next started."), group);
    note->setWordWrap(true);
    note->setForegroundRole(QPalette::PlaceholderText);
    note->setContentsMargins(style()->pixelMetric(QStyle::PM_IndicatorWidth) + 8, 0, 0, 0);
    groupLayout->addWidget(applyEffects_);
    groupLayout->addWidget(note);
    layout->addWidget(group);
    layout->addStretch(1);
    loaded_ = applyEffectsOption(store_);
    applyEffects_->setChecked(loaded_);
}

void GeneralPage::commit()
{
    if (applyEffects_->isChecked() != loaded_)
        storeApplyEffectsOption(store_, applyEffects_->isChecked());
}

OptionsDialog::OptionsDialog(SettingsStore& store, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Morvex Options"));
    auto* layout = new QVBoxLayout(this);
    pages_ = new QTabWidget(this);
    overwrite_ = new OverwritePage(store, pages_);
    general_ = new GeneralPage(store, pages_);
    pages_->addTab(overwrite_, overwrite_->windowTitle());
    pages_->addTab(general_, general_->windowTitle());
    layout->addWidget(pages_);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole)->setDefault(true);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    buttons->addButton(QStringLiteral("Help"), QDialogButtonBox::HelpRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
    layout->addWidget(buttons);
}

void OptionsDialog::accept()
{
    const OverwriteOptionsCommit overwrite = overwrite_->commit();
    if (overwrite != OverwriteOptionsCommit::Stored) {
        pages_->setCurrentWidget(overwrite_);
        overwrite_->showProblem(overwrite);
        return;
    }
    general_->commit();
    QDialog::accept();
}

} // namespace morvex::ui
