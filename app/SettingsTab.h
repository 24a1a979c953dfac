#pragma once
// The second tab: the protection settings. The controls only hold what the user types; the
// settings controller (SettingsController) fills them from the mirror, notices edits, and saves.

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quillet::app {

class SettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit SettingsTab(QWidget *parent = nullptr);

    QCheckBox *surveyHomeCB;
    QCheckBox *deleteCacheCB;
    QLineEdit *dayToKeepTF;
    QCheckBox *fileMaxCB;
    QLineEdit *largeFileTF;
    QLineEdit *percentTF;
    /// On: copy mode (0); off: move mode (1). moveRadioButton is its partner in the group.
    QRadioButton *modeRadioButton;
    QRadioButton *moveRadioButton;
    QCheckBox *checkUpdateCB;
    QPushButton *checkUpdateButton;
    QCheckBox *displayMenuCB;
    QCheckBox *askPasswordCB;
    QPushButton *saveSettingsButton;
    QPushButton *uninstallButton;

signals:
    void saveClicked();
    void checkUpdateClicked();
    void uninstallClicked();
    /// The password check box was toggled by the user (not by the program).
    void askPasswordToggled(bool on);
};

} // namespace quillet::app
