#include "OwnDaemons.h"

#include "AppTestSupport.h"
#include "ChildProcess.h"

#include "control/DaemonControl.h"
#include "platform/System.h"

#include <cstdlib>

namespace quillet::apptest {

namespace {

bool startedHere(pid_t pid) {
    const char *home = std::getenv("HOME");
    if (!home)
        return false;
    auto environment = sys::readFile("/proc/" + std::to_string(pid) + "/environ", 1024 * 1024);
    if (!environment)
        return false;
    const std::string wanted = std::string("HOME=") + home;
    size_t start = 0;
    const std::string &text = *environment;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, end - start, wanted) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::vector<sys::ProcessEntry> ownProcessTable() {
    std::vector<sys::ProcessEntry> own;
    for (const sys::ProcessEntry &entry : sys::readProcessTable())
        if (startedHere(entry.pid))
            own.push_back(entry);
    return own;
}

std::vector<std::vector<std::string>> ownDaemonArguments(const char *name) {
    std::vector<std::vector<std::string>> lines;
    for (const sys::ProcessEntry &entry : ownProcessTable())
        if (sys::matchesProgram(entry.command, name)) {
            auto line = test::commandLineOf(entry.pid);
            if (line.empty())
                continue; // ended meanwhile
            line.erase(line.begin());
            lines.push_back(line);
        }
    return lines;
}

bool anyOwnDaemonRuns() {
    for (const char *name : {kProtectionDaemonName, kCacheManagerDaemonName, kMountDaemonName})
        if (!ownDaemonArguments(name).empty())
            return true;
    return false;
}

void confineToOwnDaemons(app::ProtectionService &service) {
    service.run([](ProtectionControl &control) { control.daemons().setProcessTableSource(ownProcessTable); });
}

bool stopOwnDaemons() {
    DaemonControl daemons(daemonFolder());
    daemons.setProcessTableSource(ownProcessTable);
    daemons.killAllDaemons();
    return daemons.waitUntilNoDaemonRuns(std::chrono::seconds(10));
}

} // namespace quillet::apptest
