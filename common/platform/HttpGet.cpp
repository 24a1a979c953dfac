#include "platform/HttpGet.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <strings.h>

namespace quillet::sys {

namespace {

// libcurl's global set-up is not to be run twice at once; it is made once for the process and
// never torn down (other threads may still be reading).
CURLcode globalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

struct EasyDeleter {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct UrlDeleter {
    void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
struct ListDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
struct CurlText {
    ~CurlText() { curl_free(text); }
    char *text = nullptr;
};

Status refused(int code, const std::string &url, std::string reason) { return Status::refusal(code, url, std::move(reason)); }

/// The parsed address when it may be read: https://, or http:// to this computer. The parse is
/// the one the transfer uses, so what is checked is what is fetched.
Result<std::unique_ptr<CURLU, UrlDeleter>> allowedUrl(const std::string &url) {
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed)
        return refused(ENOMEM, url, "cannot parse the address: out of memory");
    if (CURLUcode rc = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0); rc != CURLUE_OK)
        return refused(EPERM, url, std::string("not an address that can be read: ") + curl_url_strerror(rc));
    CurlText scheme;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme.text, 0) != CURLUE_OK)
        return refused(EPERM, url, "not an address that can be read: no scheme");
    if (::strcasecmp(scheme.text, "https") == 0)
        return parsed;
    // Plain HTTP stays on this computer: the tests' servers. Anything else could be read or
    // altered on the way.
    CurlText host;
    if (::strcasecmp(scheme.text, "http") == 0 && curl_url_get(parsed.get(), CURLUPART_HOST, &host.text, 0) == CURLUE_OK &&
        (::strcasecmp(host.text, "127.0.0.1") == 0 || ::strcasecmp(host.text, "[::1]") == 0 ||
         ::strcasecmp(host.text, "localhost") == 0))
        return parsed;
    return refused(EPERM, url, "only https:// addresses are read (http:// only on this computer)");
}

struct Body {
    std::string bytes;
    size_t maxBytes = 0;
    bool tooLarge = false;
};

size_t appendBody(char *data, size_t size, size_t count, void *user) {
    auto *body = static_cast<Body *>(user);
    const size_t length = size * count;
    if (length > body->maxBytes - body->bytes.size()) {
        body->tooLarge = true;
        return 0; // ends the transfer with CURLE_WRITE_ERROR
    }
    body->bytes.append(data, length);
    return length;
}

// Asked by libcurl about once a second, and at every chunk of data.
int stopRequested(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::stop_token *>(user)->stop_requested() ? 1 : 0;
}

std::string durationText(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0)
        return std::to_string(duration.count() / 1000) + " s";
    return std::to_string(duration.count()) + " ms";
}

} // namespace

Result<std::string> httpGet(const std::string &url, const HttpGetLimits &limits) {
    if (CURLcode rc = globalInit(); rc != CURLE_OK)
        return refused(EIO, url, std::string("cannot set up libcurl: ") + curl_easy_strerror(rc));
    const auto deadline = std::chrono::steady_clock::now() + limits.timeout;
    std::string current = url;

    for (int redirects = 0;; ++redirects) {
        auto parsed = allowedUrl(current);
        if (!parsed && redirects == 0)
            return parsed.status();
        if (!parsed)
            return refused(EPERM, url, "redirected to " + current + ": " + parsed.status().reason());
        if (limits.stop.stop_requested())
            return refused(ECANCELED, url, "cancelled");
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return refused(ETIMEDOUT, url, "no whole answer within " + durationText(limits.timeout));

        std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
        if (!easy)
            return refused(EIO, url, "cannot set up libcurl: out of memory");
        std::unique_ptr<curl_slist, ListDeleter> headers;
        for (const char *header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
            curl_slist *longer = curl_slist_append(headers.get(), header);
            if (!longer)
                return refused(EIO, url, "cannot set up libcurl: out of memory");
            (void)headers.release();
            headers.reset(longer);
        }
        Body body;
        body.maxBytes = limits.maxBytes;
        char errorText[CURL_ERROR_SIZE] = {};
        CURL *handle = easy.get();
        curl_easy_setopt(handle, CURLOPT_CURLU, parsed->get());
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        // Redirects are followed here, each held to the rule the first address met.
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle, CURLOPT_USERAGENT, limits.userAgent.c_str());
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "127.0.0.1,::1,localhost");
        // Signals belong to the program, not to a worker thread's name lookups.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(left.count()));
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
        if (limits.stop.stop_possible()) {
            curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, stopRequested);
            curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<std::stop_token *>(&limits.stop));
            curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        }

        const CURLcode rc = curl_easy_perform(handle);
        const std::string detail = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(rc));
        switch (rc) {
        case CURLE_OK:
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            return refused(ECANCELED, url, "cancelled");
        case CURLE_OPERATION_TIMEDOUT:
            return refused(ETIMEDOUT, url, "no whole answer within " + durationText(limits.timeout));
        case CURLE_COULDNT_CONNECT: {
            long osError = 0;
            curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osError);
            return refused(osError > 0 ? static_cast<int>(osError) : ECONNREFUSED, url, "cannot connect: " + detail);
        }
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return refused(EHOSTUNREACH, url, "cannot find the host: " + detail);
        case CURLE_FILESIZE_EXCEEDED:
            return refused(EFBIG, url, "the page is longer than " + std::to_string(limits.maxBytes) + " bytes");
        case CURLE_WRITE_ERROR:
            if (body.tooLarge)
                return refused(EFBIG, url, "the page is longer than " + std::to_string(limits.maxBytes) + " bytes");
            return refused(EIO, url, detail);
        default:
            return refused(EIO, url, detail);
        }

        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300 && status < 400) {
            char *location = nullptr;
            curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location);
            if (!location || !*location)
                return refused(EPROTO, url, "HTTP status " + std::to_string(status) + " without a Location");
            if (redirects >= limits.maxRedirects)
                return refused(ELOOP, url, "more than " + std::to_string(limits.maxRedirects) + " redirects");
            current = location;
            continue;
        }
        if (status >= 400)
            return refused(EPROTO, url, "HTTP status " + std::to_string(status));
        if (body.bytes.empty())
            return refused(ENODATA, url, "the page is empty");
        return std::move(body.bytes);
    }
}

} // namespace quillet::sys
