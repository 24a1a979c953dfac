#include "SettingsTab.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quillet::app {

namespace {

QCheckBox *checkBox(QWidget *parent, const QString &text) {
    auto *box = new QCheckBox(text, parent);
    box->setAccessibleName(text);
    return box;
}

// The fields take digits only, within the ranges the settings allow; what a field holds still
// goes through the settings' own check when it is saved.
QLineEdit *numberField(QWidget *parent, const QString &accessibleName, int digits) {
    auto *field = new QLineEdit(parent);
    field->setAccessibleName(accessibleName);
    // Digits only; the range itself is checked at Save, where a message can name it (an int
    // validator would stop the size short of what the settings allow).
    field->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(digits)), field));
    field->setMaximumWidth(110);
    field->setAlignment(Qt::AlignRight);
    return field;
}

QWidget *row(QWidget *parent, QWidget *lead, QWidget *field, const QString &unit) {
    auto *holder = new QWidget(parent);
    auto *layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    if (lead)
        layout->addWidget(lead);
    layout->addWidget(field);
    if (!unit.isEmpty())
        layout->addWidget(new QLabel(unit, holder));
    layout->addStretch();
    return holder;
}

} // namespace

SettingsTab::SettingsTab(QWidget *parent) : QWidget(parent) {
    surveyHomeCB = checkBox(this, tr("Protect the home Trash only"));
    deleteCacheCB = checkBox(this, tr("Keep data for"));
    dayToKeepTF = numberField(this, tr("Days to keep data"), 5);
    fileMaxCB = checkBox(this, tr("Do not keep files larger than"));
    largeFileTF = numberField(this, tr("Largest file kept, in megabytes"), 13);
    percentTF = numberField(this, tr("Minimum free disk space, in percent"), 2);
    modeRadioButton = new QRadioButton(tr("Copy trashed items into the cache"), this);
    modeRadioButton->setAccessibleName(tr("Copy trashed items"));
    moveRadioButton = new QRadioButton(tr("Move trashed items into the cache"), this);
    moveRadioButton->setAccessibleName(tr("Move trashed items"));
    auto *modes = new QButtonGroup(this);
    modes->addButton(modeRadioButton);
    modes->addButton(moveRadioButton);
    modeRadioButton->setChecked(true);

    checkUpdateCB = checkBox(this, tr("Check for updates at launch"));
    checkUpdateButton = new QPushButton(tr("Check Now"), this);
    checkUpdateButton->setAccessibleName(tr("Check for updates now"));
    displayMenuCB = checkBox(this, tr("Show the tray icon"));
    askPasswordCB = checkBox(this, tr("Ask for a password to open the cache browser"));
    saveSettingsButton = new QPushButton(tr("Save"), this);
    saveSettingsButton->setAccessibleName(tr("Save settings"));
    saveSettingsButton->setDefault(true);
    uninstallButton = new QPushButton(tr("Uninstall..."), this);
    uninstallButton->setAccessibleName(tr("Uninstall"));

    auto *protection = new QGroupBox(tr("Protection"), this);
    auto *protectionLayout = new QVBoxLayout(protection);
    protectionLayout->addWidget(surveyHomeCB);
    protectionLayout->addWidget(modeRadioButton);
    protectionLayout->addWidget(moveRadioButton);

    auto *limits = new QGroupBox(tr("Cache limits"), this);
    auto *limitsLayout = new QVBoxLayout(limits);
    limitsLayout->addWidget(row(limits, deleteCacheCB, dayToKeepTF, tr("days")));
    limitsLayout->addWidget(row(limits, fileMaxCB, largeFileTF, tr("MB")));
    auto *percentLabel = new QLabel(tr("Keep at least"), limits);
    percentLabel->setBuddy(percentTF);
    limitsLayout->addWidget(row(limits, percentLabel, percentTF, tr("% of each disk free")));

    auto *application = new QGroupBox(tr("Application"), this);
    auto *applicationLayout = new QVBoxLayout(application);
    applicationLayout->addWidget(row(application, checkUpdateCB, checkUpdateButton, {}));
    applicationLayout->addWidget(displayMenuCB);
    applicationLayout->addWidget(askPasswordCB);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(uninstallButton);
    buttons->addStretch();
    buttons->addWidget(saveSettingsButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(protection);
    layout->addWidget(limits);
    layout->addWidget(application);
    layout->addStretch();
    layout->addLayout(buttons);

    connect(saveSettingsButton, &QPushButton::clicked, this, &SettingsTab::saveClicked);
    connect(checkUpdateButton, &QPushButton::clicked, this, &SettingsTab::checkUpdateClicked);
    connect(uninstallButton, &QPushButton::clicked, this, &SettingsTab::uninstallClicked);
    connect(askPasswordCB, &QCheckBox::clicked, this, &SettingsTab::askPasswordToggled);
}

} // namespace quillet::app
