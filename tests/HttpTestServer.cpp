#include "HttpTestServer.h"

#include "TestDir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillet::test {

namespace {

constexpr const char *kServerScript = R"PY(
import http.server, os, sys, time

folder = sys.argv[1]

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, code, body, headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path.split("?")[0]
        if path == "/hang":
            time.sleep(120)
            return
        if path == "/headers":
            return self.send(200, str(self.headers).encode())
        if path.startswith("/redirect/"):
            count, name = path.split("/")[2:4]
            count = int(count)
            target = "/page/" + name if count <= 1 else "/redirect/%d/%s" % (count - 1, name)
            return self.send(302, b"", [("Location", target)])
        if path == "/redirect-away":
            return self.send(302, b"", [("Location", "http://example.com/")])
        if path.startswith("/big/"):
            return self.send(200, b"Quillet 9.9 " + b"x" * int(path[5:]))
        if path.startswith("/page/"):
            file = os.path.join(folder, "pages", os.path.basename(path[6:]))
            if os.path.isfile(file):
                with open(file, "rb") as page:
                    return self.send(200, page.read())
        return self.send(404, b"<h1>Not found</h1>")

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(os.path.join(folder, "port.part"), "w") as out:
    out.write(str(server.server_address[1]))
os.rename(os.path.join(folder, "port.part"), os.path.join(folder, "port"))
server.serve_forever()
)PY";

// The system's python3 first: a shim of a version manager may need an environment the server
// is not given.
std::string python() {
    if (isExecutable("/usr/bin/python3"))
        return "/usr/bin/python3";
    const char *path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && isExecutable(folder + "/python3"))
            return folder + "/python3";
    return {};
}

} // namespace

std::string HttpTestServer::missingTools() { return python().empty() ? "python3 is not installed" : ""; }

HttpTestServer::HttpTestServer(const std::string &folder) : _folder(folder) {
    if (!makeFolder(_folder + "/pages", 0700)) {
        _failure = "cannot make " + _folder + "/pages";
        return;
    }
    const std::string script = _folder + "/server.py";
    std::ofstream(script) << kServerScript;
    const std::string log = _folder + "/server.log";
    if (!_process.start(python(), {script, _folder}, {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"}, log)) {
        _failure = "cannot start " + python();
        return;
    }
    const std::string portFile = _folder + "/port";
    waitFor([&] { return exists(portFile) || !_process.running(); }, std::chrono::seconds(30));
    const int port = std::atoi(readFileText(portFile).c_str());
    if (port <= 0 || port > 65535) {
        _failure = "the HTTP server did not start; its messages:\n" + readFileText(log);
        return;
    }
    _port = port;
}

std::string HttpTestServer::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(_port) + path;
}

void HttpTestServer::addPage(const std::string &name, const std::string &content) const {
    std::ofstream(_folder + "/pages/" + name, std::ios::binary) << content;
}

std::string refusingUrl() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return "http://127.0.0.1:" + std::to_string(port) + "/page/any";
}

} // namespace quillet::test
