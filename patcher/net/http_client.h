// HTTP for the patcher: GETs from the static patch server, one at a time
// here (see http_batch.h for several at once).
//
// A body is only taken from a final 2xx answer that announces its length
// (Content-Length) before the body arrives, in no content encoding (we ask
// for none); anything else is a failed request. Redirects are followed, but
// never from https to http; no proxy, no cookies, no headers of our own but
// the Range of a resumed download. A server that accepts no connection, stops
// sending, or trickles fewer than kLowSpeedBytes a second, for the stall time
// is a read error, not a frozen launcher.
// Used by the worker thread.
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
    Busy,           // 503 or 429: the server takes no more requests from us now
    NoLength,       // no Content-Length (or 0 for a control file)
    TooLarge,       // above the caller's limit
    ReadError,      // stalled, cut short or longer than announced
    Aborted,        // the sink asked to stop
    Encoded,        // a content encoding (gzip, ...) nobody asked for
    BadRange,       // a resumed download got a range it cannot continue with
};

const char* httpStatusText(HttpStatus status);

// Control and line files are small; a larger answer is not one of them.
constexpr std::uint64_t kMaxControlFile = 64ull << 20;

// A content name ("/data/a b.txt") as the path of a URL: every byte but
// letters, digits, "-._~" and the slashes between components is
// percent-encoded, so a space, '#', '%' or '?' reaches the server as part
// of the name and never as a fragment or a query.
std::string encodeUrlPath(std::string_view name);

// A Content-Range value "bytes <first>-<last>/<total>" (a known total, first
// <= last < total); false for anything else.
bool parseContentRange(std::string_view value, std::uint64_t* first, std::uint64_t* last,
                       std::uint64_t* total);

// The stall time: QUILLON_STALL_SECONDS from the environment when it is a
// number from 1 to 600 (tests shorten it), else 60 seconds.
long transferStallSeconds();
constexpr long kLowSpeedBytes = 256;

// How many downloads the player asks for: QUILLON_CONNECTIONS from the
// environment when it is a number from 1 to kMaxConnections, else the build
// setting of the same name.
unsigned wantedConnections();
constexpr unsigned kMaxConnections = 16;
// How many downloads run at once: as many as wanted, but no more than the
// process's descriptor limit leaves room for (a desktop or container may
// set it low), and always one, so that a run goes on with fewer.
unsigned downloadConnections();
// Descriptors one download holds: its socket, its staging file and the
// directory it is written in.
constexpr unsigned kDescriptorsPerConnection = 3;
// Kept free beside the downloads: the syncs and read-backs of finished
// files, the record's writes, libcurl's own.
constexpr unsigned kDescriptorsReserved = 16;
unsigned connectionsWithin(unsigned wanted, std::uint64_t descriptorLimit, std::uint64_t descriptorsOpen);

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
    long stallTimeout() const { return m_stallSeconds; }
    // Trusts the certificates in `path` instead of the system's (tests).
    void setCaFile(std::string path) { m_caFile = std::move(path); }
    const std::string& caFile() const { return m_caFile; }
    // The connections (and TLS sessions) this client keeps, which the
    // batches made like it use too: a batch starts on the kept-alive
    // connection, and what it opened stays for the next. Used on the
    // client's thread only.
    void* share() const { return m_share; }

    // The whole body of a control or line file; an empty one is NoLength.
    HttpStatus fetch(const std::string& url, std::string* body,
                     std::uint64_t maxBytes = kMaxControlFile);

    // Streams a body: `onStart` learns, before any byte, that the body holds
    // the file's bytes from `offset` to its end and how long the whole file
    // is (0 is a valid, empty file), then `sink` gets them in blocks; either
    // returning false aborts the transfer. A file longer than `maxBytes` is
    // TooLarge. With `resumeFrom` > 0 the rest of the file from there is
    // asked for: a server that sends exactly that range starts at `offset`
    // = resumeFrom, one that ignores the range sends the whole file from 0,
    // and any other range is BadRange before a byte reaches the sink.
    using StartFn = std::function<bool(std::uint64_t offset, std::uint64_t total)>;
    using SinkFn = std::function<bool(const std::uint8_t* data, std::size_t size)>;
    HttpStatus download(const std::string& url, std::uint64_t maxBytes, const StartFn& onStart,
                        const SinkFn& sink, std::uint64_t resumeFrom = 0);

private:
    void* m_curl = nullptr;
    void* m_share = nullptr;
    long m_stallSeconds = transferStallSeconds();
    std::string m_caFile;
};

}  // namespace quillon
