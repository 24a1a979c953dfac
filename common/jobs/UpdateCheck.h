#pragma once
// The update check (PLXUpdateChecker's check): reads the maker's download page on a job's
// thread, finds the version named after the product's title and compares it with the running
// one. Linked by the programs that check (library quilletupdate, which brings libcurl), never by
// the daemons.
//
// A front end creates the job, observes it (finished(), on the job's thread) or listens for
// kVersionCheckedNotification, and reads result() once it has ended. Nothing of the check is
// shown to the user but a newer version: a page that cannot be read or names no version only
// means that no newer version is known (failure says why, for the log).

#include "jobs/Job.h"
#include "support/BuildInfo.h"
#include "support/NotificationCenter.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace quillet {

/// Posted by the job on its thread when the check is over (also when it was cancelled), with
/// the job's JobId as object; result() is then final.
inline constexpr char kVersionCheckedNotification[] = "PLXVersionCheckedNotification";

/// The product title the download page names before the version (with its trailing blank).
inline constexpr char kUpdateTitle[] = "Quillet ";

/// Whether the caller wants to hear "up to date" too (the companion's check), or only news of
/// a newer version (the main application's).
enum class ConfirmAnyway { No, Yes };

struct UpdateCheckResult {
    /// The page names a version newer than the running one.
    bool newVersionAvailable = false;
    /// The page was read but no version follows the title.
    bool versionNotFound = false;
    /// The page could not be read, or its body was empty (or the check was cancelled).
    bool urlNotFound = false;
    /// The version found when it is newer; otherwise the running version.
    std::string newVersionString;
    /// As the request asked.
    bool versionConfirmAnyway = false;
    /// Why no version could be compared, for the log ("https://…: HTTP status 404",
    /// "https://…: no version follows \"Quillet \" on the page"); "" when one was compared.
    std::string failure;
};

class UpdateCheck : public Job {
public:
    struct Request {
        /// The download page; https://, or http:// on this computer (HttpGet.h).
        std::string pageUrl = defaultUpdatePageUrl();
        std::string title = kUpdateTitle;
        /// The running version.
        std::string currentVersion = applicationVersion();
        ConfirmAnyway confirmAnyway = ConfirmAnyway::No;
        /// For reading the whole page.
        std::chrono::milliseconds timeout{10000};
        /// Where kVersionCheckedNotification is posted; none when null. Must outlive the job.
        NotificationCenter *center = nullptr;
    };

    /// A check of request (checkLatestVersionAt), not started yet: startThread() runs it.
    static std::shared_ptr<UpdateCheck> checkLatestVersionAt(Request request);

    /// The outcome once the job has ended (before that: all flags clear, the running version
    /// as newVersionString, the failure "not checked yet").
    UpdateCheckResult result() const;

protected:
    JobEnd run() override;

private:
    explicit UpdateCheck(Request request);
    /// The check itself (checkUpdateThread).
    UpdateCheckResult checkUpdateThread();

    const Request _request;
    mutable std::mutex _mutex;
    UpdateCheckResult _result;
};

} // namespace quillet
