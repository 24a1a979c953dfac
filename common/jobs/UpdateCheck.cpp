#include "jobs/UpdateCheck.h"

#include "platform/HttpGet.h"
#include "support/VersionTools.h"

namespace quillet {

std::shared_ptr<UpdateCheck> UpdateCheck::checkLatestVersionAt(Request request) {
    return std::shared_ptr<UpdateCheck>(new UpdateCheck(std::move(request)), Job::Joiner());
}

UpdateCheck::UpdateCheck(Request request) : _request(std::move(request)) {
    _result.newVersionString = _request.currentVersion;
    _result.versionConfirmAnyway = _request.confirmAnyway == ConfirmAnyway::Yes;
    _result.failure = "not checked yet";
}

UpdateCheckResult UpdateCheck::result() const {
    std::lock_guard lock(_mutex);
    return _result;
}

UpdateCheckResult UpdateCheck::checkUpdateThread() {
    UpdateCheckResult result;
    result.newVersionString = _request.currentVersion;
    result.versionConfirmAnyway = _request.confirmAnyway == ConfirmAnyway::Yes;

    sys::HttpGetLimits limits;
    limits.timeout = _request.timeout;
    limits.userAgent = "Quillet/" + applicationVersion();
    // A cancelled check (the program quitting) ends its transfer instead of waiting it out.
    limits.stop = stopToken();
    auto page = sys::httpGet(_request.pageUrl, limits);
    if (!page) {
        result.urlNotFound = true;
        result.failure = page.status().message();
        return result;
    }
    const std::optional<std::string> found = searchVersion(_request.title, *page);
    if (!found || found->empty()) {
        result.versionNotFound = true;
        result.failure = _request.pageUrl + ": no version follows \"" + _request.title + "\" on the page";
        return result;
    }
    result.newVersionAvailable = isThisVersionNewerThan(*found, _request.currentVersion);
    if (result.newVersionAvailable)
        result.newVersionString = *found;
    return result;
}

JobEnd UpdateCheck::run() {
    UpdateCheckResult result;
    if (!cancelledAfterPause())
        result = checkUpdateThread();
    const bool cancelled = cancelRequested();
    if (cancelled) {
        result = UpdateCheckResult{};
        result.newVersionString = _request.currentVersion;
        result.versionConfirmAnyway = _request.confirmAnyway == ConfirmAnyway::Yes;
        result.urlNotFound = true;
        result.failure = _request.pageUrl + ": the check was cancelled";
    }
    {
        std::lock_guard lock(_mutex);
        _result = std::move(result);
    }
    setProgress(100.0);
    if (_request.center)
        _request.center->post(kVersionCheckedNotification, id());
    return cancelled ? JobEnd::Cancelled : JobEnd::Finished;
}

} // namespace quillet
