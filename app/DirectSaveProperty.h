#pragma once
// The window property of X Direct Save ("XdndDirectSave0"), by which a file manager lets the
// source of a drag save into the folder the drop landed in: the source puts the proposed file
// name into the property of its XDND source window (type text/plain) when the drag starts; on
// the drop the target replaces it with the file:// URI of the file to make and asks the source
// for the data "XdndDirectSave0", to which the source answers "S" (saved), "F" (send the data
// instead) or "E" (error). Behind an interface so that what the answer depends on can be
// tried without an X server.

#include <QByteArray>

#include <memory>
#include <optional>

namespace quillet::app {

class DirectSaveProperty {
public:
    virtual ~DirectSaveProperty() = default;
    /// Sets the property on the source window of the drag running now; false when there is
    /// none or the server refused.
    virtual bool write(const QByteArray &proposedName) = 0;
    /// The property's value now (8-bit data), or nothing when it is missing or not text.
    virtual std::optional<QByteArray> read() = 0;
};

/// The property on the X server the application is connected to; nullptr when the application
/// does not run on X (xcb), or was built without xcb.
std::unique_ptr<DirectSaveProperty> makeXcbDirectSaveProperty();

} // namespace quillet::app
