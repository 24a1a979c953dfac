#include "BrowserTab.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace quillet::app {

BrowserTab::BrowserTab(QWidget *parent) : QWidget(parent) {
    outlineView = new QTreeView(this);
    outlineView->setAccessibleName(tr("Cached items"));
    outlineView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    outlineView->setSelectionBehavior(QAbstractItemView::SelectRows);
    outlineView->setUniformRowHeights(true);
    outlineView->setAlternatingRowColors(true);

    outlineListStatsTF = new QLabel(this);
    outlineListStatsTF->setAccessibleName(tr("Selection"));

    emptySelectionButton = new QPushButton(tr("Delete Selection..."), this);
    emptySelectionButton->setAccessibleName(tr("Delete the selected items"));
    emptySelectionButton->setProperty("tag", kEmptySelectionTag);
    emptyAllButton = new QPushButton(tr("Empty Cache..."), this);
    emptyAllButton->setAccessibleName(tr("Empty the cache"));
    emptyAllButton->setProperty("tag", kEmptyAllTag);
    recoverButton = new QPushButton(tr("Recover..."), this);
    recoverButton->setAccessibleName(tr("Recover the selected items"));
    emptySelectionButton->setEnabled(false);
    recoverButton->setEnabled(false);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(outlineListStatsTF, 1);
    buttons->addWidget(emptyAllButton);
    buttons->addWidget(emptySelectionButton);
    buttons->addWidget(recoverButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(outlineView, 1);
    layout->addLayout(buttons);

    connect(emptySelectionButton, &QPushButton::clicked, this, [this] { emit emptyClicked(kEmptySelectionTag); });
    connect(emptyAllButton, &QPushButton::clicked, this, [this] { emit emptyClicked(kEmptyAllTag); });
    connect(recoverButton, &QPushButton::clicked, this, &BrowserTab::recoverClicked);
}

} // namespace quillet::app
