#include "control/DaemonControl.h"

#include "archive/CacheFolders.h"
#include "platform/Process.h"
#include "platform/TrustedFolder.h"
#include "platform/UserPaths.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace quillet {
namespace {

constexpr int kAnomalyPauseSeconds = 10;

bool isOneOfTheDaemons(const sys::ProcessEntry &entry) {
    for (const char *name : {kProtectionDaemonName, kCacheManagerDaemonName, kMountDaemonName})
        if (sys::matchesProgram(entry.command, name))
            return true;
    return false;
}

} // namespace

DaemonControl::DaemonControl(std::string daemonFolder, DaemonControlHooks hooks)
    : _daemonFolder(std::move(daemonFolder)), _hooks(std::move(hooks)) {}

std::string DaemonControl::defaultDaemonFolder() {
    // bin/Quillet and bin/quilletctl find the daemons in ../libexec/quillet; the daemons find
    // each other beside themselves.
    auto sibling = sys::siblingExecutable(kProtectionDaemonName);
    if (!sibling)
        return {};
    std::string folder = sys::parentPath(*sibling);
    if (sys::lastPathComponent(folder) == "bin")
        return sys::joinPath(sys::parentPath(folder), "libexec/quillet");
    return folder;
}

std::vector<sys::ProcessEntry> DaemonControl::processTable() const {
    return _processTable ? _processTable() : sys::readProcessTable();
}

bool DaemonControl::isDaemonRunning(ReportProblems report) {
    bool running = false;
    bool protectionSeen = false;
    int balance = 0;
    for (const sys::ProcessEntry &entry : processTable()) {
        if (sys::matchesProgram(entry.command, kProtectionDaemonName)) {
            running = true;
            if (!protectionSeen) {
                protectionSeen = true;
                --balance;
            }
        } else if (sys::matchesProgram(entry.command, kCacheManagerDaemonName)) {
            running = true;
            ++balance;
        } else if (sys::matchesProgram(entry.command, kMountDaemonName)) {
            running = true;
        }
    }
    if (!running || balance == 0)
        return running;

    if (report == ReportProblems::No) {
        // A launch or a stop may be under way: look again a little later, and only then tell.
        if (_hooks.pause)
            _hooks.pause(kAnomalyPauseSeconds);
        (void)isDaemonRunning(ReportProblems::Yes);
        return running;
    }
    ProtectionProblemChoice choice =
        _hooks.protectionProblem ? _hooks.protectionProblem() : ProtectionProblemChoice::ContinueAnyway;
    if (choice == ProtectionProblemChoice::StopAndRelaunch) {
        cleanConfigFiles(mountedCachesPaths());
        if (_hooks.scheduleRestart)
            _hooks.scheduleRestart();
        return false;
    }
    return running;
}

int DaemonControl::countDaemonsRunning() { return countDaemons().protection; }

DaemonCounts DaemonControl::countDaemons() {
    DaemonCounts counts;
    for (const sys::ProcessEntry &entry : processTable()) {
        if (sys::matchesProgram(entry.command, kProtectionDaemonName))
            ++counts.protection;
        else if (sys::matchesProgram(entry.command, kCacheManagerDaemonName))
            ++counts.cacheManager;
        else if (sys::matchesProgram(entry.command, kMountDaemonName))
            ++counts.mountWatcher;
    }
    return counts;
}

void DaemonControl::killAllDaemons() {
    for (const sys::ProcessEntry &entry : processTable())
        if (isOneOfTheDaemons(entry))
            (void)sys::sendSignal(entry.pid, SIGINT);
}

bool DaemonControl::waitUntilNoDaemonRuns(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto table = processTable();
        if (std::none_of(table.begin(), table.end(), isOneOfTheDaemons))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sys::sleepFor(50);
    }
}

void DaemonControl::cleanConfigFiles(const std::vector<std::string> &cacheFolders) {
    killAllDaemons();
    for (const std::string &cache : cacheFolders) {
        // Never in a folder reached through a link or belonging to another account.
        auto folder = sys::openOwnedFolder(cache);
        if (!folder)
            continue;
        std::vector<std::string> plainFiles;
        (void)sys::forEachEntry(*folder, [&](std::string_view entry, unsigned char) {
            std::string name(entry);
            auto st = sys::statAt(*folder, name, sys::FollowLinks::No);
            if (st && !S_ISDIR(st->st_mode))
                plainFiles.push_back(std::move(name));
            return true;
        });
        for (const std::string &name : plainFiles)
            (void)sys::unlinkAt(*folder, name);
    }
}

std::string DaemonControl::logPath() { return sys::daemonLogPath(); }

sys::Result<std::string> DaemonControl::logTail(size_t maxLines) {
    // The log is kept near a megabyte; its tail is what tells why a daemon ended.
    constexpr uint64_t kTailBytes = 256 * 1024;
    const std::string path = logPath();
    auto st = sys::stat(path, sys::FollowLinks::No);
    if (!st)
        return st.code() == ENOENT ? sys::Result<std::string>(std::string()) : sys::Result<std::string>(st.status());
    const uint64_t size = static_cast<uint64_t>(st->st_size);
    const uint64_t from = size > kTailBytes ? size - kTailBytes : 0;
    auto text = sys::readFileFrom(path, from, kTailBytes);
    if (!text)
        return text;
    std::string_view tail = *text;
    if (from > 0 && tail.find('\n') != std::string_view::npos)
        tail.remove_prefix(tail.find('\n') + 1); // a line cut by the start of the read
    size_t start = tail.size();
    for (size_t lines = 0; start > 0; --start) {
        if (tail[start - 1] == '\n' && start != tail.size() && ++lines == maxLines)
            break;
    }
    return std::string(tail.substr(start));
}

sys::Result<pid_t> DaemonControl::launch(const std::string &daemonName, const std::vector<std::string> &arguments,
                                         const std::string &logPath) {
    return sys::launchDetached(sys::joinPath(_daemonFolder, daemonName), arguments, logPath);
}

} // namespace quillet
