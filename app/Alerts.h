#pragma once
// The alerts of the application: sheets (window-modal message boxes that answer through a
// callback, so the event loop goes on) and modal alerts (for the refusals at start-up, which
// quit). The first button answers kAlertFirstButtonReturn, the second kAlertSecondButtonReturn.
// Every button's accessible name is its text.

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

namespace quillet::app {

inline constexpr int kAlertFirstButtonReturn = 1000;
inline constexpr int kAlertSecondButtonReturn = 1001;

enum class AlertStyle { Informational, Warning, Critical };

/// Shows a sheet on window with up to two buttons (the first is the default); end is called with
/// the return code of the button chosen once the sheet is gone. The sheet deletes itself.
QMessageBox *showSheet(QWidget *window, AlertStyle style, const QString &message, const QString &informative,
                       const QStringList &buttons, std::function<void(int)> end);
/// Runs a modal alert and answers the return code of the button chosen.
int runModalAlert(QWidget *parent, AlertStyle style, const QString &message, const QString &informative,
                  const QStringList &buttons);
/// The sheet (a window-modal dialog: an alert or a password panel) attached to window now, if any.
QDialog *attachedSheet(QWidget *window);

} // namespace quillet::app
