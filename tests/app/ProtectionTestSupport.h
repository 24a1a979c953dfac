#pragma once
// What the tests of the status tab, the emptying and the uninstall share: the real daemons of
// the build seen through the process table and stopped at the end, cached items made in the
// private home's cache folder, items put into the private home's trash with the real trash-put,
// and sizes read off the labels.

#include "AppTestSupport.h"
#include "MainController.h"
#include "MainTabView.h"

#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
#include "control/DaemonControl.h"
#include "platform/Process.h"
#include "platform/ProcessTable.h"
#include "platform/RemoveTree.h"
#include "platform/System.h"
#include "platform/UserPaths.h"

#include <QStandardPaths>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace quillet::apptest {

/// The daemons of this user running now.
inline DaemonCounts runningDaemons() { return DaemonControl(daemonFolder()).countDaemons(); }

/// Process ids of this user's processes running program.
inline std::vector<pid_t> processesOf(const char *program) {
    std::vector<pid_t> pids;
    for (const sys::ProcessEntry &entry : sys::readProcessTable())
        if (sys::matchesProgram(entry.command, program))
            pids.push_back(entry.pid);
    return pids;
}

/// SIGINT to every daemon of this user, then waits for them to end; false when one is left.
inline bool stopAllDaemons() {
    DaemonControl daemons(daemonFolder());
    daemons.killAllDaemons();
    return daemons.waitUntilNoDaemonRuns(std::chrono::seconds(15));
}

/// The private home's cache folder, without its trailing slash.
inline std::string homeCache() { return sys::withoutTrailingSlashes(homeCacheFolder()); }
/// The home trash's "files" folder, without its trailing slash.
inline std::string homeTrashFiles() { return sys::withoutTrailingSlashes(sys::homeTrashFolder()); }

/// A file of that size (sparse: only its length counts for the sizes shown).
inline bool makeFile(const std::string &path, uint64_t size) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(path, size, error);
    return !error && std::filesystem::file_size(path, error) == size;
}

/// The date folder of this moment in the home cache folder (made when missing).
inline std::string dateFolderNow() {
    const std::string folder = homeCache() + "/" + finderCompatibleDateDescription(sys::now());
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder;
}

/// Names of the entries directly inside folder (none when it is missing).
inline std::vector<std::string> entriesOf(const std::string &folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

/// Date folders directly inside the home cache folder.
inline std::vector<std::string> dateFolders() {
    std::vector<std::string> dates;
    for (const std::string &name : entriesOf(homeCache()))
        if (dateFromFinderCompatibleDateDescription(name))
            dates.push_back(name);
    return dates;
}

/// Removes everything inside folder (the folder stays).
inline void emptyFolder(const std::string &folder) {
    for (const std::string &name : entriesOf(folder))
        (void)sys::removeTreeAtPath(folder + "/" + name);
}

/// Empties the home trash and the home cache folder.
inline void clearTrashAndCache() {
    emptyFolder(homeTrashFiles());
    emptyFolder(sys::homeTrashRoot() + "/info");
    emptyFolder(homeCache());
}

/// Puts path into the home trash with the real trash-put; false when it is missing or failed.
inline bool trashPut(const std::string &path) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("trash-put"));
    if (program.isEmpty())
        return false;
    auto child = sys::spawnChild(program.toStdString(), {path});
    if (!child)
        return false;
    auto status = sys::waitChild(*child, 30000);
    return status && *status && sys::exitedCleanly(**status);
}

/// Selects the browser tab once the password lock has had the keyring's answer (a keyring
/// without the password item lets it open); false when it stays closed.
inline bool openBrowserTab(app::MainController &controller) {
    return waitUntil(
        [&] {
            return controller.mainTabView()->currentIdentifier() == QStringLiteral("3") ||
                   controller.mainTabView()->selectTab(QStringLiteral("3"));
        },
        20000);
}

/// A started main window (the build's daemons, no companion) showing its browser tab, once its
/// cache folders are known; nullptr when it does not get there.
inline std::unique_ptr<app::MainController> controllerOnTheBrowserTab() {
    auto controller = std::make_unique<app::MainController>(testOptions());
    if (!controller->init() || !controller->awakeFromNib())
        return nullptr;
    if (!waitUntil([&] { return !controller->trashesCachePath().isEmpty(); }))
        return nullptr;
    if (!openBrowserTab(*controller))
        return nullptr;
    return controller;
}

} // namespace quillet::apptest
