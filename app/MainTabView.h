#pragma once
// The main window's three tabs, each with its identifier ("1" status, "2" settings, "3" the
// cache browser). Unlike QTabWidget, a switch can be refused or postponed: before a tab is
// selected, shouldSelect is asked (the unsaved-settings sheet and the password gate answer no),
// then willSelect and didSelect are emitted around the switch.

#include <QString>
#include <QWidget>

#include <functional>

class QStackedWidget;
class QTabBar;

namespace quillet::app {

class MainTabView : public QWidget {
    Q_OBJECT
public:
    explicit MainTabView(QWidget *parent = nullptr);

    void addTab(QWidget *page, const QString &label, const QString &identifier);
    int count() const;
    /// Identifier of the selected tab, empty when there is none.
    QString currentIdentifier() const;
    int currentIndex() const;
    int indexOf(const QString &identifier) const;
    QString identifierAt(int index) const;
    QWidget *page(const QString &identifier) const;
    QTabBar *tabBar() const { return _bar; }

    /// Asks shouldSelect, then selects the tab; false when the switch was refused.
    bool selectTab(const QString &identifier);
    bool selectTabAtIndex(int index);

    /// Asked before every switch, with the identifier of the tab to select; none: allowed.
    std::function<bool(const QString &)> shouldSelect;

signals:
    void willSelect(const QString &identifier);
    void didSelect(const QString &identifier);

private:
    void barChanged(int index);
    void show(int index);

    QTabBar *_bar;
    QStackedWidget *_stack;
    int _shown = -1;
    bool _switching = false;
};

} // namespace quillet::app
