#pragma once
// The two sheets of the password lock: creating a password (typed twice) and asking for it.
// Each is a window-modal dialog on the main window that only holds what the user types and
// reports its buttons through validation(tag); PasswordLock decides what they do and closes
// them. Escape and the window's close button count as Cancel.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace quillet::app {

/// The tag of the OK buttons; Cancel has kPasswordCancelTag.
inline constexpr int kPasswordOkTag = 1;
inline constexpr int kPasswordCancelTag = 0;

class PasswordPanel : public QDialog {
    Q_OBJECT
public:
    /// Closes the sheet without a Cancel.
    void closeSheet();
    /// While the keyring is asked, both buttons wait for its answer.
    void setWaiting(bool waiting);

    QPushButton *okButton;
    QPushButton *cancelButton;

signals:
    /// A button was pressed: kPasswordOkTag or kPasswordCancelTag.
    void validation(int tag);

protected:
    explicit PasswordPanel(QWidget *window);
    /// Adds the OK and Cancel row under the fields.
    void addButtons(QVBoxLayout *layout);
    void reject() override;
};

class PasswordCreationPanel : public PasswordPanel {
    Q_OBJECT
public:
    explicit PasswordCreationPanel(QWidget *window);

    QLineEdit *secureTFSource;
    QLineEdit *secureTFConfirm;
    QLabel *badPasswordCreationTextField;
};

class PasswordAskPanel : public PasswordPanel {
    Q_OBJECT
public:
    explicit PasswordAskPanel(QWidget *window);

    QLineEdit *secureTFAsk;
    QLabel *badPasswordTextField;
};

} // namespace quillet::app
