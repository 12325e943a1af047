#include "patcher/net/http_client.h"

#include <curl/curl.h>
#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

#include "patcher/net/curl_transfer_internal.h"

#ifndef QUILLON_BASE_URL
#define QUILLON_BASE_URL "http://127.0.0.1:8080/"
#endif
#ifndef QUILLON_CONNECTIONS
#define QUILLON_CONNECTIONS 6
#endif

namespace quillon {

namespace {

constexpr std::uint64_t kReserveBytes = 1u << 20;
// The built-in server where patchpub finds it in the program file.
[[gnu::used]] const char kUrlMark[] = "QUASK-LAUNCHER-URL:[" QUILLON_BASE_URL "]";

}  // namespace

const char* httpStatusText(HttpStatus status) {
    switch (status) {
        case HttpStatus::Ok: return "ok";
        case HttpStatus::ConnectFailed: return "no connection";
        case HttpStatus::HttpError: return "error status";
        case HttpStatus::Busy: return "server busy";
        case HttpStatus::NoLength: return "no content length";
        case HttpStatus::TooLarge: return "too large";
        case HttpStatus::ReadError: return "read error";
        case HttpStatus::Aborted: return "aborted";
        case HttpStatus::Encoded: return "unrequested content encoding";
        case HttpStatus::BadRange: return "unusable range";
    }
    return "unknown";
}

const char* builtInPatchBaseUrl() { return QUILLON_BASE_URL; }

std::string encodeUrlPath(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                           c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

bool parseContentRange(std::string_view value, std::uint64_t* first, std::uint64_t* last,
                       std::uint64_t* total) {
    constexpr std::string_view kUnit = "bytes ";
    if (value.substr(0, kUnit.size()) != kUnit) return false;
    value.remove_prefix(kUnit.size());
    std::uint64_t* fields[] = {first, last, total};
    const char ends[] = {'-', '/', '\0'};
    for (int f = 0; f < 3; ++f) {
        std::uint64_t v = 0;
        std::size_t digits = 0;
        for (; digits < value.size() && value[digits] >= '0' && value[digits] <= '9'; ++digits) {
            const auto d = static_cast<std::uint64_t>(value[digits] - '0');
            if (v > (UINT64_MAX - d) / 10) return false;
            v = v * 10 + d;
        }
        if (digits == 0) return false;
        value.remove_prefix(digits);
        if (ends[f] != '\0') {
            if (value.empty() || value[0] != ends[f]) return false;
            value.remove_prefix(1);
        } else if (!value.empty()) {
            return false;
        }
        *fields[f] = v;
    }
    return *first <= *last && *last < *total;
}

long transferStallSeconds() {
    const char* env = std::getenv("QUILLON_STALL_SECONDS");
    if (env && *env) {
        char* end = nullptr;
        const long n = std::strtol(env, &end, 10);
        if (*end == '\0' && n >= 1 && n <= 600) return n;
    }
    return 60;
}

unsigned wantedConnections() {
    const char* env = std::getenv("QUILLON_CONNECTIONS");
    if (env && *env) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(env, &end, 10);
        if (*end == '\0' && n >= 1 && n <= kMaxConnections) return static_cast<unsigned>(n);
    }
    const unsigned built = QUILLON_CONNECTIONS;
    return built >= 1 && built <= kMaxConnections ? built : 1;
}

unsigned connectionsWithin(unsigned wanted, std::uint64_t descriptorLimit, std::uint64_t descriptorsOpen) {
    const std::uint64_t needed = descriptorsOpen + kDescriptorsReserved;
    const std::uint64_t spare = descriptorLimit > needed ? descriptorLimit - needed : 0;
    const std::uint64_t fit = spare / kDescriptorsPerConnection;
    return static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(wanted, fit)));
}

unsigned downloadConnections() {
    const unsigned wanted = wantedConnections();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
    // Counted now, as the transfers start: the lock, the record and the
    // front end's own are open already.
    std::uint64_t open = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++open;
        ::closedir(d);
        open = open > 2 ? open - 2 : 0;  // "." and ".."
    }
    return connectionsWithin(wanted, limit.rlim_cur, open);
}

std::string patchBaseUrl() {
    const char* env = std::getenv("QUILLON_BASE_URL");
    std::string url = env && *env ? env : QUILLON_BASE_URL;
    if (url.back() != '/') url += '/';
    return url;
}

HttpClient::HttpClient() {
    curl_transfer::initialiseOnce();
    m_curl = curl_easy_init();
    m_share = curl_transfer::newShare();
}

HttpClient::~HttpClient() {
    if (m_curl) curl_easy_cleanup(static_cast<CURL*>(m_curl));
    if (m_share) curl_share_cleanup(static_cast<CURLSH*>(m_share));
}

HttpStatus HttpClient::download(const std::string& url, std::uint64_t maxBytes, const StartFn& onStart,
                                const SinkFn& sink, std::uint64_t resumeFrom) {
    CURL* curl = static_cast<CURL*>(m_curl);
    if (!curl) return HttpStatus::ConnectFailed;
    curl_transfer::Transfer t;
    t.maxBytes = maxBytes;
    t.resumeFrom = resumeFrom;
    t.onStart = &onStart;
    t.sink = &sink;
    t.stallSeconds = m_stallSeconds;
    curl_transfer::prepare(curl, t, url, m_caFile, m_share);
    return curl_transfer::finish(t, curl_easy_perform(curl));
}

HttpStatus HttpClient::fetch(const std::string& url, std::string* body, std::uint64_t maxBytes) {
    body->clear();
    // A control or line file is never empty: a length of 0 cannot be one.
    bool empty = false;
    const HttpStatus status = download(
        url, maxBytes,
        [body, &empty](std::uint64_t, std::uint64_t length) {
            empty = length == 0;
            // The length is the server's word: room for it is taken only up
            // to a bound, the rest as the bytes arrive.
            body->reserve(static_cast<std::size_t>(std::min<std::uint64_t>(length, kReserveBytes)));
            return !empty;
        },
        [body](const std::uint8_t* data, std::size_t size) {
            body->append(reinterpret_cast<const char*>(data), size);
            return true;
        });
    return empty ? HttpStatus::NoLength : status;
}

}  // namespace quillon
