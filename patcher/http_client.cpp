#include "patcher/http_client.h"

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>

#ifndef QUILLON_BASE_URL
#define QUILLON_BASE_URL "http://127.0.0.1:8080/"
#endif

namespace quillon {

constexpr long kReceiveBlockBytes = 64 * 1024;

namespace {

constexpr long kConnectTimeoutSeconds = 15;

struct Transfer {
    std::uint64_t maxBytes;
    const HttpClient::LengthFn* onLength;
    const HttpClient::SinkFn* sink;
    CURL* curl;
    long stallSeconds;
    bool started = false;
    std::uint64_t length = 0;
    std::uint64_t received = 0;
    HttpStatus verdict = HttpStatus::Ok;  // set when a callback stops the transfer
    curl_off_t lastSeen = -1;             // bytes seen at the last progress call
    std::chrono::steady_clock::time_point lastByteAt = std::chrono::steady_clock::now();
};

bool isSuccess(long code) { return code >= 200 && code <= 299; }

// We send no Accept-Encoding, so any coding but identity is a body we could
// only misread (gzip bytes shown as the notice).
bool unrequestedEncoding(CURL* curl) {
    struct curl_header* header = nullptr;
    if (curl_easy_header(curl, "Content-Encoding", 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header)
        return false;
    std::string value = header->value ? header->value : "";
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !value.empty() && value != "identity";
}

bool isHttps(const std::string& url) {
    if (url.size() < 8) return false;
    std::string scheme = url.substr(0, 8);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "https://";
}

// Status and length are known once the final answer's headers are in,
// which is before its first body byte.
HttpStatus checkAnswer(Transfer& t) {
    long code = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &code);
    if (!isSuccess(code)) return HttpStatus::HttpError;
    if (unrequestedEncoding(t.curl)) return HttpStatus::Encoded;
    curl_off_t length = -1;
    curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0) return HttpStatus::NoLength;
    if (static_cast<std::uint64_t>(length) > t.maxBytes) return HttpStatus::TooLarge;
    t.length = static_cast<std::uint64_t>(length);
    if (!(*t.onLength)(t.length)) return HttpStatus::Aborted;
    return HttpStatus::Ok;
}

std::size_t onBody(char* data, std::size_t one, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t size = one * count;
    if (!t.started) {
        t.started = true;
        t.verdict = checkAnswer(t);
        if (t.verdict != HttpStatus::Ok) return 0;
    }
    if (size > t.length - t.received) {  // more than announced
        t.verdict = HttpStatus::ReadError;
        return 0;
    }
    t.received += size;
    if (!(*t.sink)(reinterpret_cast<const std::uint8_t*>(data), size)) {
        t.verdict = HttpStatus::Aborted;
        return 0;
    }
    return size;
}

// "No byte for the stall time" measured from the last byte that arrived
// (the connection's set-up counts as the first wait).
int onProgress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(user);
    const auto clockNow = std::chrono::steady_clock::now();
    if (now != t.lastSeen) {
        t.lastSeen = now;
        t.lastByteAt = clockNow;
        return 0;
    }
    if (clockNow - t.lastByteAt < std::chrono::seconds(t.stallSeconds)) return 0;
    t.verdict = HttpStatus::ReadError;
    return 1;
}

std::once_flag g_curlInit;

}  // namespace

const char* httpStatusText(HttpStatus status) {
    switch (status) {
        case HttpStatus::Ok: return "ok";
        case HttpStatus::ConnectFailed: return "no connection";
        case HttpStatus::HttpError: return "error status";
        case HttpStatus::NoLength: return "no content length";
        case HttpStatus::TooLarge: return "too large";
        case HttpStatus::ReadError: return "read error";
        case HttpStatus::Aborted: return "aborted";
        case HttpStatus::Encoded: return "unrequested content encoding";
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

std::string patchBaseUrl() {
    const char* env = std::getenv("QUILLON_BASE_URL");
    std::string url = env && *env ? env : QUILLON_BASE_URL;
    if (url.back() != '/') url += '/';
    return url;
}

HttpClient::HttpClient() {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_curl = curl_easy_init();
}

HttpClient::~HttpClient() {
    if (m_curl) curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

HttpStatus HttpClient::download(const std::string& url, std::uint64_t maxBytes,
                                const LengthFn& onLength, const SinkFn& sink) {
    CURL* curl = static_cast<CURL*>(m_curl);
    if (!curl) return HttpStatus::ConnectFailed;
    curl_easy_reset(curl);
    Transfer t{maxBytes, &onLength, &sink, curl, m_stallSeconds};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "QuaskPatch/1.0");
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // What started encrypted stays encrypted: no redirect down to http.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, isHttps(url) ? "https" : "http,https");
    if (!m_caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, m_caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // Bodies arrive in blocks of up to 64 KiB: memory stays flat whatever the
    // file size, and a 2 KiB block (one write and flush each) would cost
    // more than half the throughput of a local mirror.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBlockBytes);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    const CURLcode rc = curl_easy_perform(curl);

    if (t.verdict != HttpStatus::Ok) return t.verdict;
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    // A redirect we do not follow (down to http, or too many) is an answer
    // we do not take, not a broken transfer.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL || rc == CURLE_TOO_MANY_REDIRECTS) return HttpStatus::HttpError;
    if (rc != CURLE_OK) return code == 0 ? HttpStatus::ConnectFailed : HttpStatus::ReadError;
    if (!t.started) {  // an empty body never reaches the callback
        const HttpStatus answer = checkAnswer(t);
        if (answer != HttpStatus::Ok) return answer;
    }
    return t.received == t.length ? HttpStatus::Ok : HttpStatus::ReadError;
}

HttpStatus HttpClient::fetch(const std::string& url, std::string* body, std::uint64_t maxBytes) {
    body->clear();
    // A control or line file is never empty: a length of 0 cannot be one.
    bool empty = false;
    const HttpStatus status = download(
        url, maxBytes,
        [body, &empty](std::uint64_t length) {
            empty = length == 0;
            body->reserve(static_cast<std::size_t>(length));
            return !empty;
        },
        [body](const std::uint8_t* data, std::size_t size) {
            body->append(reinterpret_cast<const char*>(data), size);
            return true;
        });
    return empty ? HttpStatus::NoLength : status;
}

}  // namespace quillon
