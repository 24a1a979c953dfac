#include "PasswordPanels.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillet::app {

namespace {

QLineEdit *secureField(QWidget *parent, const QString &accessibleName) {
    auto *field = new QLineEdit(parent);
    field->setAccessibleName(accessibleName);
    field->setEchoMode(QLineEdit::Password);
    // Never offered to the input method's memory or the clipboard.
    field->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    field->setContextMenuPolicy(Qt::NoContextMenu);
    field->setMinimumWidth(220);
    return field;
}

QLabel *messageField(QWidget *parent, const QString &accessibleName) {
    auto *label = new QLabel(parent);
    label->setAccessibleName(accessibleName);
    label->setStyleSheet(QStringLiteral("color: #b00000;"));
    label->setWordWrap(true);
    return label;
}

} // namespace

PasswordPanel::PasswordPanel(QWidget *window) : QDialog(window) {
    setWindowModality(Qt::WindowModal);
    setModal(true);
    okButton = new QPushButton(tr("OK"), this);
    okButton->setAccessibleName(tr("OK"));
    okButton->setProperty("tag", kPasswordOkTag);
    okButton->setDefault(true);
    okButton->setAutoDefault(true);
    cancelButton = new QPushButton(tr("Cancel"), this);
    cancelButton->setAccessibleName(tr("Cancel"));
    cancelButton->setProperty("tag", kPasswordCancelTag);
    cancelButton->setAutoDefault(false);
    connect(okButton, &QPushButton::clicked, this, [this] { emit validation(kPasswordOkTag); });
    connect(cancelButton, &QPushButton::clicked, this, [this] { emit validation(kPasswordCancelTag); });
}

void PasswordPanel::addButtons(QVBoxLayout *layout) {
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    buttons->addWidget(okButton);
    layout->addLayout(buttons);
}

void PasswordPanel::closeSheet() { done(QDialog::Rejected); }

void PasswordPanel::setWaiting(bool waiting) {
    // The answer decides whether the sheet stays: neither button may close it meanwhile.
    okButton->setEnabled(!waiting);
    cancelButton->setEnabled(!waiting);
}

void PasswordPanel::reject() {
    // Escape and the close button are the Cancel button; the lock closes the sheet itself.
    if (cancelButton->isEnabled())
        emit validation(kPasswordCancelTag);
}

PasswordCreationPanel::PasswordCreationPanel(QWidget *window) : PasswordPanel(window) {
    setWindowTitle(tr("Password"));
    setAccessibleName(tr("Choose a password for the cache browser"));
    auto *intro = new QLabel(tr("Choose the password that opening the cache browser will ask for:"), this);
    intro->setWordWrap(true);
    secureTFSource = secureField(this, tr("New password"));
    secureTFConfirm = secureField(this, tr("Confirm the password"));
    badPasswordCreationTextField = messageField(this, tr("Password creation message"));
    auto *fields = new QFormLayout;
    fields->addRow(tr("Password:"), secureTFSource);
    fields->addRow(tr("Confirm:"), secureTFConfirm);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(fields);
    layout->addWidget(badPasswordCreationTextField);
    addButtons(layout);
}

PasswordAskPanel::PasswordAskPanel(QWidget *window) : PasswordPanel(window) {
    setWindowTitle(tr("Password"));
    setAccessibleName(tr("Enter the password of the cache browser"));
    auto *intro = new QLabel(tr("Enter the password of the cache browser:"), this);
    intro->setWordWrap(true);
    secureTFAsk = secureField(this, tr("Password"));
    badPasswordTextField = messageField(this, tr("Password message"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(secureTFAsk);
    layout->addWidget(badPasswordTextField);
    addButtons(layout);
}

} // namespace quillet::app
