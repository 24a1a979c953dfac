#pragma once
// A label that shows a value (a size, a count, the selection line) keeps a fixed accessible name
// ("Cache size") so that assistive technology finds it; the value itself is then given as its
// accessible description, since a name set by hand hides the label's text from a screen reader.

#include <QLabel>
#include <QString>

namespace quillet::app {

inline void setShownText(QLabel *label, const QString &text) {
    if (label->text() == text && label->accessibleDescription() == text)
        return; // nothing to repaint
    label->setText(text);
    label->setAccessibleDescription(text);
}

} // namespace quillet::app
