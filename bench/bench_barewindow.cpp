// The reference of the application benchmarks: the smallest Qt Widgets program with a window of
// the application's size: a label in a main window. It reports its first paint as Quillet
// does ("first paint" on standard output) and then idles like it. With --tick-every-second it
// also runs an empty one-second timer: the least that a refresh on the event loop costs.

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <QMainWindow>
#include <QMetaObject>

#include <cstdio>
#include <cstring>

namespace {

class FirstPaint : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && !_reported) {
            _reported = true;
            QMetaObject::invokeMethod(
                this, [] { std::printf("first paint\n"), std::fflush(stdout); }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool _reported = false;
};

} // namespace

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("Hello"), &window));
    window.resize(620, 560);
    FirstPaint reporter;
    window.installEventFilter(&reporter);
    window.show();
    QTimer tick;
    if (argc > 1 && std::strcmp(argv[1], "--tick-every-second") == 0) {
        QObject::connect(&tick, &QTimer::timeout, [] {});
        tick.start(1000);
    }
    return QApplication::exec();
}
