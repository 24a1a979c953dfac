#pragma once
// A real HTTP server on the loopback interface for one test: python3's http.server on a free
// port, serving the pages a test writes and a few misbehaviours on demand.
//
// Paths:
//   /page/NAME           the file NAME the test added (addPage); 404 for any other
//   /hang                accepts the request and never answers
//   /headers             the request's headers as the body
//   /redirect/N/NAME     N redirects (302) in a row, then /page/NAME
//   /redirect-away       a redirect to http://example.com/ (plain HTTP off this computer)
//   /big/N               200 with a body of N + 12 bytes that names version 9.9
//   /missing             404

#include "ChildProcess.h"

#include <string>

namespace quillet::test {

class HttpTestServer {
public:
    /// Why this machine cannot run the server ("python3 is not installed"), or "".
    static std::string missingTools();

    /// Starts the server with folder (an empty private folder) for its pages and waits until it
    /// listens.
    explicit HttpTestServer(const std::string &folder);

    bool started() const { return _port != 0; }
    /// When not started: what went wrong, with the server's messages.
    const std::string &failure() const { return _failure; }
    /// "http://127.0.0.1:PORT" + path.
    std::string url(const std::string &path) const;
    /// Serves content as /page/name from now on.
    void addPage(const std::string &name, const std::string &content) const;

private:
    std::string _folder;
    ChildProcess _process;
    int _port = 0;
    std::string _failure;
};

/// An address on this computer where nothing listens (a port just given up).
std::string refusingUrl();

} // namespace quillet::test
