#include "TrashSurvey.h"

#include "archive/CacheLayout.h"
#include "TestDir.h"
#include "platform/Log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quillet;
using namespace quillet::daemon;
using quillet::test::TestDir;

namespace {

/// Collects what is logged while it lives.
class CapturedLog {
public:
    CapturedLog() {
        sys::setLogSink([this](std::string_view line) {
            std::lock_guard lock(_mutex);
            _lines.emplace_back(line);
        });
    }
    ~CapturedLog() { sys::setLogSink({}); }
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(_mutex);
        return _lines;
    }

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;
};

enum class When { AtStart, WhileRunning };
enum class Change { Removed, ReplacedByLink };

struct EndingCase {
    const char *label;
    When when;
    Change change;
    int exitStatus;
    const char *reason;
};

/// True once the cache holds a date folder: the survey archived something, so it is polling.
bool somethingArchived(const std::string &cache) {
    for (const std::string &name : quillet::test::listNames(cache))
        if (dateFromFinderCompatibleDateDescription(name))
            return true;
    return false;
}

} // namespace

TEST(TrashSurvey, endsWithItsExitStatusWhenTheTrashFolderGoesOrIsNoLongerTrusted) {
    const EndingCase cases[] = {
        {"removed at start", When::AtStart, Change::Removed, 0, "No such file or directory"},
        {"link at start", When::AtStart, Change::ReplacedByLink, 1, "a symbolic link, not a folder"},
        {"removed while running", When::WhileRunning, Change::Removed, 0, "No such file or directory"},
        {"link while running", When::WhileRunning, Change::ReplacedByLink, 1, "a symbolic link, not a folder"},
    };
    for (const EndingCase &c : cases) {
        SCOPED_TRACE(c.label);
        TestDir dir;
        ASSERT_TRUE(quillet::test::makeFolder(dir / "Trash/files"));
        ASSERT_TRUE(quillet::test::makeFolder(dir / ".TrashCacheFolder", 0700));
        dir.writeFile("Trash/files/first.txt", "first");
        DaemonArguments arguments;
        arguments.trashFolder = dir / "Trash/files/";
        arguments.cacheBase = dir.path() + "/";
        arguments.trashCacheFolder = dir / ".TrashCacheFolder/";

        // Each change is made at once: the survey never sees a state in between.
        const std::string trash = dir / "Trash/files";
        const std::string aside = dir / "Trash/aside";
        auto change = [&] {
            if (c.change == Change::Removed) {
                ASSERT_EQ(::rename(trash.c_str(), aside.c_str()), 0);
                return;
            }
            ASSERT_TRUE(quillet::test::makeFolder(dir / "elsewhere"));
            ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), aside.c_str()), 0);
            ASSERT_EQ(::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, trash.c_str(), RENAME_EXCHANGE), 0);
        };
        if (c.when == When::AtStart)
            change();

        CapturedLog log;
        // Changes the trash folder once the survey has archived the first file, and asks the
        // survey to stop should it go on polling long after that.
        std::atomic<bool> ended = false;
        std::thread changer;
        if (c.when == When::WhileRunning) {
            changer = std::thread([&] {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!somethingArchived(arguments.trashCacheFolder) && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                change();
                const auto stopAt = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!ended && std::chrono::steady_clock::now() < stopAt)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (!ended)
                    ::kill(::getpid(), SIGINT); // to the process: the survey's thread takes it
            });
        }

        TrashSurvey survey(arguments);
        const int status = survey.run();
        ended = true;
        if (changer.joinable())
            changer.join();

        EXPECT_EQ(status, c.exitStatus);
        const std::vector<std::string> lines = log.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), std::string("quilletd: Daemon will die (") + c.reason + ")(" + arguments.trashFolder + ")");
        if (c.when == When::WhileRunning) {
            EXPECT_TRUE(somethingArchived(arguments.trashCacheFolder)) << "the survey never polled";
        }
    }
}
