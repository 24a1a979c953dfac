// A file manager's drop target, as small as the drag-out tests need: a window at a given place
// that accepts drops into a folder, in one of two ways.
//   uri: copies what the URLs of the drop ("text/uri-list") name into the folder, as a file
//        manager copies from the list it is given (a file, or a folder with all it holds, links
//        as links); names already there are not replaced.
//   xds: acts as Dolphin does with X Direct Save: on the drop it reads the proposed name from
//        the XdndDirectSave0 property of the drag's source window, sets the property to
//        file://<folder>/<name>, asks for the data "XdndDirectSave0" and records the answer.
// What it did goes to a log file, a line per fact, flushed at once:
//   ready                      the window is up
//   url <url>                  (uri) each URL received, then "copied <name>" or "failed <name>"
//   proposed <name>            (xds) the name the source proposed
//   answer <bytes>             (xds) the source's answer
//   dropped                    the drop is handled
// Usage: dropTarget uri|xds <folder> <log> <x> <y> <width> <height>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {

xcb_atom_t atom(xcb_connection_t *connection, const char *name) {
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    if (!reply)
        return XCB_NONE;
    const xcb_atom_t found = reply->atom;
    std::free(reply);
    return found;
}

class Target : public QWidget {
public:
    Target(bool directSave, QString folder, std::FILE *log)
        : _directSave(directSave), _folder(std::move(folder)), _log(log) {
        setAcceptDrops(true);
        setWindowTitle(QStringLiteral("Drop target"));
    }

    void note(const QByteArray &line) {
        std::fprintf(_log, "%s\n", line.constData());
        std::fflush(_log);
    }

protected:
    void paintEvent(QPaintEvent *) override {
        // Painted means mapped: drops can reach it from now on.
        if (!_ready) {
            _ready = true;
            note("ready");
        }
    }
    void dragEnterEvent(QDragEnterEvent *event) override {
        if (wanted(event->mimeData()))
            event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent *event) override {
        if (wanted(event->mimeData()))
            event->acceptProposedAction();
    }
    void dropEvent(QDropEvent *event) override {
        if (_directSave)
            directSave(event->mimeData());
        else
            copyUrls(event->mimeData());
        event->setDropAction(Qt::CopyAction);
        event->accept();
        note("dropped");
    }

private:
    bool wanted(const QMimeData *offered) const {
        return _directSave ? offered->hasFormat(QStringLiteral("XdndDirectSave0")) : offered->hasUrls();
    }

    void copyUrls(const QMimeData *offered) {
        for (const QUrl &url : offered->urls()) {
            note("url " + url.toEncoded());
            const std::filesystem::path source = QFile::encodeName(url.toLocalFile()).toStdString();
            const std::filesystem::path target =
                std::filesystem::path(QFile::encodeName(_folder).toStdString()) / source.filename();
            std::error_code error;
            if (std::filesystem::exists(std::filesystem::symlink_status(target)))
                error = std::make_error_code(std::errc::file_exists);
            else
                std::filesystem::copy(source, target,
                                      std::filesystem::copy_options::recursive |
                                          std::filesystem::copy_options::copy_symlinks,
                                      error);
            note((error ? "failed " : "copied ") + QByteArray::fromStdString(source.filename().string()));
        }
    }

    void directSave(const QMimeData *offered) {
        auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!x11) {
            note("answer (not on X)");
            return;
        }
        xcb_connection_t *connection = x11->connection();
        const xcb_atom_t property = atom(connection, "XdndDirectSave0");
        const xcb_atom_t textPlain = atom(connection, "text/plain");
        xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom(connection, "XdndSelection")), nullptr);
        const xcb_window_t source = owner ? owner->owner : XCB_NONE;
        std::free(owner);
        QByteArray proposed;
        if (xcb_get_property_reply_t *reply = xcb_get_property_reply(
                connection, xcb_get_property(connection, 0, source, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096),
                nullptr)) {
            proposed = QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                                  xcb_get_property_value_length(reply));
            std::free(reply);
        }
        note("proposed " + proposed);
        const QByteArray uri =
            QUrl::fromLocalFile(_folder + QLatin1Char('/') + QString::fromUtf8(proposed)).toEncoded();
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, source, property, textPlain, 8,
                            static_cast<uint32_t>(uri.size()), uri.constData());
        xcb_flush(connection);
        note("answer " + offered->data(QStringLiteral("XdndDirectSave0")));
    }

    bool _directSave;
    bool _ready = false;
    QString _folder;
    std::FILE *_log;
};

} // namespace

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    if (argc != 8 || (std::strcmp(argv[1], "uri") != 0 && std::strcmp(argv[1], "xds") != 0)) {
        std::fprintf(stderr, "usage: dropTarget uri|xds <folder> <log> <x> <y> <width> <height>\n");
        return 2;
    }
    std::FILE *log = std::fopen(argv[3], "a");
    if (!log) {
        std::perror(argv[3]);
        return 1;
    }
    Target target(std::strcmp(argv[1], "xds") == 0, QFile::decodeName(argv[2]), log);
    target.setGeometry(std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]), std::atoi(argv[7]));
    target.show();
    return application.exec();
}
