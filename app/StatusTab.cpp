#include "StatusTab.h"

#include "Resources.h"

#include <QFont>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillet::app {

namespace {

QLabel *namedLabel(QWidget *parent, const QString &accessibleName) {
    auto *label = new QLabel(parent);
    label->setAccessibleName(accessibleName);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

StatusTab::StatusTab(QWidget *parent) : QWidget(parent) {
    BigActivatedTF = namedLabel(this, tr("Protection is on"));
    BigActivatedTF->setText(tr("Protection is ON"));
    BigStoppedTF = namedLabel(this, tr("Protection is off"));
    BigStoppedTF->setText(tr("Protection is OFF"));
    for (QLabel *big : {BigActivatedTF, BigStoppedTF}) {
        QFont font = big->font();
        font.setPointSizeF(font.pointSizeF() * 1.8);
        font.setBold(true);
        big->setFont(font);
        big->setAlignment(Qt::AlignCenter);
    }
    activatedTF = namedLabel(this, tr("Protection status, on"));
    activatedTF->setText(tr("Everything you put in the Trash is kept in the cache."));
    stoppedTF = namedLabel(this, tr("Protection status, off"));
    stoppedTF->setText(tr("What you put in the Trash is not kept: start the protection."));
    for (QLabel *line : {activatedTF, stoppedTF}) {
        line->setAlignment(Qt::AlignCenter);
        line->setWordWrap(true);
    }

    startStopButton = new QPushButton(tr("Start"), this);
    startStopButton->setProperty("tag", kStartStopTag);
    startStopButton->setAccessibleName(tr("Start or stop protection"));
    startStopButton->setIconSize(QSize(48, 48));
    startStopButton->setMinimumHeight(64);
    startStopButton->setMinimumWidth(160);
    connect(startStopButton, &QPushButton::clicked, this, &StatusTab::startStopClicked);

    nbDaemonsManaged = namedLabel(this, tr("Protection daemons"));
    fullCacheSizeTF = namedLabel(this, tr("Cache size"));
    totalTrashSizeTF = namedLabel(this, tr("Trash size"));
    percentageStatCacheTF = namedLabel(this, tr("Cache share"));
    percentageStatCacheTF->hide();
    for (QLabel *figure : {nbDaemonsManaged, fullCacheSizeTF, totalTrashSizeTF})
        figure->setText(QStringLiteral("-"));

    auto *figures = new QFormLayout;
    figures->setLabelAlignment(Qt::AlignRight);
    figures->addRow(tr("Protection daemons:"), nbDaemonsManaged);
    figures->addRow(tr("Size of the cache:"), fullCacheSizeTF);
    figures->addRow(tr("Size of the Trash:"), totalTrashSizeTF);

    copyrightTF = namedLabel(this, tr("Copyright"));
    versionTF = namedLabel(this, tr("Version"));
    urlLinkText = new QPushButton(this);
    urlLinkText->setFlat(true);
    urlLinkText->setAccessibleName(tr("Web site"));
    urlLinkText->setCursor(Qt::PointingHandCursor);
    connect(urlLinkText, &QPushButton::clicked, this, &StatusTab::urlLinkClicked);
    for (QLabel *small : {copyrightTF, versionTF})
        small->setAlignment(Qt::AlignCenter);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(startStopButton);
    buttonRow->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->addSpacing(12);
    layout->addWidget(BigActivatedTF);
    layout->addWidget(BigStoppedTF);
    layout->addWidget(activatedTF);
    layout->addWidget(stoppedTF);
    layout->addSpacing(16);
    layout->addLayout(buttonRow);
    layout->addSpacing(16);
    auto *figureRow = new QHBoxLayout;
    figureRow->addStretch();
    figureRow->addLayout(figures);
    figureRow->addStretch();
    layout->addLayout(figureRow);
    layout->addWidget(percentageStatCacheTF);
    layout->addStretch();
    layout->addWidget(urlLinkText, 0, Qt::AlignHCenter);
    layout->addWidget(versionTF);
    layout->addWidget(copyrightTF);
    setStatusDisplay(false);
}

void StatusTab::setStatusDisplay(bool running) {
    // Called at every refresh: an unchanged display is left alone, so nothing is repainted
    // (and no image read) while protection simply goes on.
    if (_displayed && _running == running)
        return;
    _displayed = true;
    _running = running;
    stoppedTF->setVisible(!running);
    BigStoppedTF->setVisible(!running);
    activatedTF->setVisible(running);
    BigActivatedTF->setVisible(running);
    const QString title = running ? tr("Stop") : tr("Start");
    startStopButton->setText(title);
    QIcon &icon = running ? _stopImage : _startImage;
    if (icon.isNull())
        icon = imageResource(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    startStopButton->setIcon(icon);
}

} // namespace quillet::app
