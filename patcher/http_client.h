// HTTP for the patcher: one GET at a time from the static patch server.
//
// A body is only taken from a final 2xx answer that announces its length
// (Content-Length) before the body arrives, in no content encoding (we ask
// for none); anything else is a failed request. Redirects are followed, but
// never from https to http; no proxy, no cookies, no headers of our own. A server that accepts no connection or stops sending for the stall
// time is a read error, not a frozen launcher. Used by the worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillon {

enum class HttpStatus {
    Ok,
    ConnectFailed,  // no answer at all
    HttpError,      // final status not 2xx
    NoLength,       // no Content-Length (or 0 for a control file)
    TooLarge,       // above the caller's limit
    ReadError,      // stalled, cut short or longer than announced
    Aborted,        // the sink asked to stop
    Encoded,        // a content encoding (gzip, ...) nobody asked for
};

const char* httpStatusText(HttpStatus status);

// Control and line files are small; a larger answer is not one of them.
constexpr std::uint64_t kMaxControlFile = 64ull << 20;

// A content name ("/data/a b.txt") as the path of a URL: every byte but
// letters, digits, "-._~" and the slashes between components is
// percent-encoded, so a space, '#', '%' or '?' reaches the server as part
// of the name and never as a fragment or a query.
std::string encodeUrlPath(std::string_view name);

// The patch server: QUILLON_BASE_URL from the environment when set, else the
// one built in. Always ends in a slash.
std::string patchBaseUrl();
// The one built in (the build setting QUILLON_BASE_URL), for the help text.
const char* builtInPatchBaseUrl();

class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    void setStallTimeout(long seconds) { m_stallSeconds = seconds; }
    // Trusts the certificates in `path` instead of the system's (tests).
    void setCaFile(std::string path) { m_caFile = std::move(path); }

    // The whole body of a control or line file; an empty one is NoLength.
    HttpStatus fetch(const std::string& url, std::string* body,
                     std::uint64_t maxBytes = kMaxControlFile);

    // Streams a body: `onLength` learns its length (0 is a valid, empty
    // file) before any byte, then `sink` gets it in blocks; either returning
    // false aborts the transfer.
    using LengthFn = std::function<bool(std::uint64_t length)>;
    using SinkFn = std::function<bool(const std::uint8_t* data, std::size_t size)>;
    HttpStatus download(const std::string& url, std::uint64_t maxBytes, const LengthFn& onLength,
                        const SinkFn& sink);

private:
    void* m_curl = nullptr;
    long m_stallSeconds = 60;
    std::string m_caFile;
};

}  // namespace quillon
