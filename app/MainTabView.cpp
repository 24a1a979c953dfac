#include "MainTabView.h"

#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTabBar>
#include <QVBoxLayout>

namespace quillet::app {

MainTabView::MainTabView(QWidget *parent) : QWidget(parent), _bar(new QTabBar(this)), _stack(new QStackedWidget(this)) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_bar);
    layout->addWidget(_stack, 1);
    _bar->setAccessibleName(tr("Tabs"));
    _bar->setExpanding(false);
    _bar->setDrawBase(true);
    connect(_bar, &QTabBar::currentChanged, this, &MainTabView::barChanged);
}

void MainTabView::addTab(QWidget *page, const QString &label, const QString &identifier) {
    QSignalBlocker block(_bar);
    int index = _bar->addTab(label);
    _bar->setTabData(index, identifier);
    _stack->addWidget(page);
    if (_shown < 0) {
        // The first tab is there from the start, without a switch.
        _shown = index;
        _bar->setCurrentIndex(index);
        _stack->setCurrentIndex(index);
    } else {
        _bar->setCurrentIndex(_shown);
    }
}

int MainTabView::count() const { return _bar->count(); }
int MainTabView::currentIndex() const { return _shown; }
QString MainTabView::currentIdentifier() const { return identifierAt(_shown); }

QString MainTabView::identifierAt(int index) const {
    if (index < 0 || index >= _bar->count())
        return {};
    return _bar->tabData(index).toString();
}

int MainTabView::indexOf(const QString &identifier) const {
    for (int i = 0; i < _bar->count(); ++i)
        if (identifierAt(i) == identifier)
            return i;
    return -1;
}

QWidget *MainTabView::page(const QString &identifier) const {
    int index = indexOf(identifier);
    return index < 0 ? nullptr : _stack->widget(index);
}

bool MainTabView::selectTab(const QString &identifier) { return selectTabAtIndex(indexOf(identifier)); }

bool MainTabView::selectTabAtIndex(int index) {
    if (index < 0 || index >= _bar->count())
        return false;
    if (index == _shown)
        return true;
    if (_switching)
        return false;
    const QString identifier = identifierAt(index);
    if (shouldSelect && !shouldSelect(identifier)) {
        QSignalBlocker block(_bar);
        _bar->setCurrentIndex(_shown);
        return false;
    }
    show(index);
    return true;
}

void MainTabView::barChanged(int index) {
    if (index == _shown)
        return;
    // The bar has moved already (a click, a key): it goes back unless the switch is allowed.
    {
        QSignalBlocker block(_bar);
        _bar->setCurrentIndex(_shown);
    }
    selectTabAtIndex(index);
}

void MainTabView::show(int index) {
    _switching = true;
    const QString identifier = identifierAt(index);
    emit willSelect(identifier);
    _shown = index;
    {
        QSignalBlocker block(_bar);
        _bar->setCurrentIndex(index);
    }
    _stack->setCurrentIndex(index);
    _switching = false;
    emit didSelect(identifier);
}

} // namespace quillet::app
