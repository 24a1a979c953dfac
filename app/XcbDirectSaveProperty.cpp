#include "DirectSaveProperty.h"

#ifdef QUILLET_HAVE_XCB

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace quillet::app {

namespace {

/// Longest value read back, in 32-bit units: a URI of a few paths' length.
constexpr uint32_t kMaxPropertyLongs = 16384;

class XcbDirectSaveProperty final : public DirectSaveProperty {
public:
    explicit XcbDirectSaveProperty(xcb_connection_t *connection) : _connection(connection) {}

    bool write(const QByteArray &proposedName) override {
        const xcb_window_t window = sourceWindow();
        const xcb_atom_t property = atom("XdndDirectSave0");
        const xcb_atom_t type = atom("text/plain");
        if (window == XCB_NONE || property == XCB_NONE || type == XCB_NONE)
            return false;
        xcb_void_cookie_t cookie =
            xcb_change_property_checked(_connection, XCB_PROP_MODE_REPLACE, window, property, type, 8,
                                        static_cast<uint32_t>(proposedName.size()), proposedName.constData());
        if (xcb_generic_error_t *error = xcb_request_check(_connection, cookie)) {
            std::free(error);
            return false;
        }
        return true;
    }

    std::optional<QByteArray> read() override {
        const xcb_window_t window = sourceWindow();
        const xcb_atom_t property = atom("XdndDirectSave0");
        if (window == XCB_NONE || property == XCB_NONE)
            return std::nullopt;
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            _connection,
            xcb_get_property(_connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxPropertyLongs),
            nullptr);
        if (!reply)
            return std::nullopt;
        std::optional<QByteArray> value;
        // A value cut short (bytes_after) is no URI to trust.
        if (reply->type != XCB_NONE && reply->format == 8 && reply->bytes_after == 0)
            value = QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply));
        std::free(reply);
        return value;
    }

private:
    xcb_atom_t atom(const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            _connection, xcb_intern_atom(_connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        if (!reply)
            return XCB_NONE;
        const xcb_atom_t found = reply->atom;
        std::free(reply);
        return found;
    }

    /// The XDND source window: the owner of the selection the drag's data is offered through.
    xcb_window_t sourceWindow() {
        const xcb_atom_t selection = atom("XdndSelection");
        if (selection == XCB_NONE)
            return XCB_NONE;
        xcb_get_selection_owner_reply_t *reply =
            xcb_get_selection_owner_reply(_connection, xcb_get_selection_owner(_connection, selection), nullptr);
        if (!reply)
            return XCB_NONE;
        const xcb_window_t owner = reply->owner;
        std::free(reply);
        return owner;
    }

    xcb_connection_t *_connection;
};

} // namespace

std::unique_ptr<DirectSaveProperty> makeXcbDirectSaveProperty() {
    auto *application = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!application)
        return nullptr;
    auto *x11 = application->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return nullptr;
    return std::make_unique<XcbDirectSaveProperty>(x11->connection());
}

} // namespace quillet::app

#else

namespace quillet::app {

std::unique_ptr<DirectSaveProperty> makeXcbDirectSaveProperty() { return nullptr; }

} // namespace quillet::app

#endif
