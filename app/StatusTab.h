#pragma once
// The first tab: whether protection runs, the daemons, the sizes of the caches and the trash,
// the start/stop button, and the program's version, copyright and web link. It only shows what
// it is given and reports its button through a signal.

#include <QIcon>
#include <QWidget>

class QLabel;
class QPushButton;

namespace quillet::app {

class StatusTab : public QWidget {
    Q_OBJECT
public:
    /// The tag the start/stop controls carry: a stop they ask for is confirmed first.
    static constexpr int kStartStopTag = 666;

    explicit StatusTab(QWidget *parent = nullptr);

    /// Running: the "activated" texts shown, the button titled "Stop" with its image; stopped:
    /// the reverse.
    void setStatusDisplay(bool running);
    bool statusDisplayRunning() const { return _running; }

    QPushButton *startStopButton;
    QLabel *activatedTF;
    QLabel *BigActivatedTF;
    QLabel *stoppedTF;
    QLabel *BigStoppedTF;
    QLabel *nbDaemonsManaged;
    QLabel *fullCacheSizeTF;
    QLabel *totalTrashSizeTF;
    QLabel *percentageStatCacheTF;
    QLabel *copyrightTF;
    QLabel *versionTF;
    QPushButton *urlLinkText;

signals:
    void startStopClicked();
    void urlLinkClicked();

private:
    bool _running = false;
    bool _displayed = false;
    QIcon _startImage;
    QIcon _stopImage;
};

} // namespace quillet::app
