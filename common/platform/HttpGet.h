#pragma once
// Reading a web page (the maker's download page of the update check), with libcurl. Only the
// programs that check for updates link this (library quillethttp): the daemons never load
// libcurl.

#include "platform/System.h"

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>

namespace quillet::sys {

struct HttpGetLimits {
    /// For the whole exchange, redirects included.
    std::chrono::milliseconds timeout{10000};
    /// A longer body is refused (EFBIG), not cut.
    size_t maxBytes = size_t{4} << 20;
    /// Redirects followed; one more is refused (ELOOP).
    int maxRedirects = 5;
    /// The User-Agent header.
    std::string userAgent = "Quillet";
    /// Once stop is requested the transfer ends within about a second (ECANCELED).
    std::stop_token stop;
};

/// The body of a GET of url. Only https:// addresses are read, and http:// ones whose host is
/// this computer (127.0.0.1, [::1], localhost), for tests; every redirect is held to the same
/// rule. No cached copy is taken: the request says "Cache-Control: no-cache" and
/// "Pragma: no-cache". Proxies from the environment apply, except to this computer.
///
/// A failure is a refusal naming url (Status::message() is "url: reason"), its code telling
/// what happened:
///   ETIMEDOUT      no whole answer within the time-out
///   ECONNREFUSED   nothing listens there
///   EHOSTUNREACH   the host is unknown or cannot be reached
///   EPROTO         an HTTP status of 400 or more, or a redirect without a Location
///   ENODATA        the body is empty
///   EFBIG          the body is longer than limits.maxBytes
///   EPERM          the address (or a redirect's) is not one that may be read
///   ELOOP          more than limits.maxRedirects redirects
///   ECANCELED      limits.stop was requested
///   EIO            any other failure, with libcurl's words
/// Safe to call from several threads at once; blocks the calling thread.
Result<std::string> httpGet(const std::string &url, const HttpGetLimits &limits = {});

} // namespace quillet::sys
