#include "Alerts.h"

#include <QAbstractButton>
#include <QPushButton>

namespace quillet::app {

namespace {

QMessageBox *makeAlert(QWidget *parent, AlertStyle style, const QString &message, const QString &informative,
                       const QStringList &buttons) {
    auto *box = new QMessageBox(parent);
    box->setIcon(style == AlertStyle::Critical  ? QMessageBox::Critical
                 : style == AlertStyle::Warning ? QMessageBox::Warning
                                                : QMessageBox::Information);
    box->setText(message);
    box->setInformativeText(informative);
    box->setAccessibleName(message);
    box->setAccessibleDescription(informative);
    for (int i = 0; i < buttons.size(); ++i) {
        // Both answer with AcceptRole so the return code is told by the button, not its role.
        QPushButton *button = box->addButton(buttons[i], QMessageBox::AcceptRole);
        button->setAccessibleName(buttons[i]);
        button->setProperty("quilletReturnCode", kAlertFirstButtonReturn + i);
        if (i == 0)
            box->setDefaultButton(button);
    }
    if (buttons.size() > 1)
        box->setEscapeButton(box->buttons().first());
    return box;
}

int returnCodeOf(QMessageBox *box) {
    QAbstractButton *clicked = box->clickedButton();
    if (!clicked)
        return 0;
    return clicked->property("quilletReturnCode").toInt();
}

} // namespace

QMessageBox *showSheet(QWidget *window, AlertStyle style, const QString &message, const QString &informative,
                       const QStringList &buttons, std::function<void(int)> end) {
    QMessageBox *box = makeAlert(window, style, message, informative, buttons);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, end = std::move(end)](int) {
        if (end)
            end(returnCodeOf(box));
    });
    box->open();
    return box;
}

int runModalAlert(QWidget *parent, AlertStyle style, const QString &message, const QString &informative,
                  const QStringList &buttons) {
    QMessageBox *box = makeAlert(parent, style, message, informative, buttons);
    box->exec();
    int code = returnCodeOf(box);
    delete box;
    return code;
}

QDialog *attachedSheet(QWidget *window) {
    if (!window)
        return nullptr;
    for (QDialog *dialog : window->findChildren<QDialog *>(Qt::FindDirectChildrenOnly))
        if (dialog->isVisible() && dialog->windowModality() == Qt::WindowModal)
            return dialog;
    return nullptr;
}

} // namespace quillet::app
