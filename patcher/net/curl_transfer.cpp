#include "patcher/net/curl_transfer_internal.h"

#include <exception>
#include <mutex>

namespace quillon {
namespace curl_transfer {

namespace {

constexpr long kConnectTimeoutSeconds = 15;
// Bodies arrive in blocks of up to 64 KiB: memory stays flat whatever the
// file size, and a 2 KiB block (one write and flush each) would cost more
// than half the throughput of a local mirror.
constexpr long kReceiveBlockBytes = 64 * 1024;

bool isSuccess(long code) { return code >= 200 && code <= 299; }

std::string headerValue(CURL* curl, const char* name) {
    struct curl_header* header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK || !header || !header->value)
        return {};
    return header->value;
}

// Protocol words fold in ASCII: std::tolower follows the LC_CTYPE that GTK
// takes up, and a Turkish one lowers "I" to no "i".
std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// We send no Accept-Encoding, so any coding but identity is a body we could
// only misread (gzip bytes shown as the notice).
bool unrequestedEncoding(CURL* curl) {
    const std::string value = asciiLower(headerValue(curl, "Content-Encoding"));
    return !value.empty() && value != "identity";
}

bool isHttps(const std::string& url) {
    if (url.size() < 8) return false;
    return asciiLower(url.substr(0, 8)) == "https://";
}

// Where the body starts in the file and how long the file is. A resumed
// request takes exactly the range it asked for, to the file's end, or the
// whole file from a server that ignores ranges.
HttpStatus placeBody(Transfer& t, long code, std::uint64_t length, std::uint64_t* offset,
                     std::uint64_t* total) {
    *offset = 0;
    *total = length;
    if (code != 206) return t.resumeFrom == 0 || code == 200 ? HttpStatus::Ok : HttpStatus::BadRange;
    // A part we did not ask for (a slicing cache) says itself that it is not
    // the file: taken whole, a cut-off lastrev.txt or metadata would be
    // believed. Only the whole file in a 206 will do then.
    std::uint64_t first = 0, last = 0;
    const bool ranged = parseContentRange(headerValue(t.curl, "Content-Range"), &first, &last, total);
    if (t.resumeFrom == 0)
        return ranged && first == 0 && last + 1 == *total && length == *total ? HttpStatus::Ok : HttpStatus::HttpError;
    if (!ranged || first != t.resumeFrom || last + 1 != *total || length != *total - first) {
        return HttpStatus::BadRange;
    }
    *offset = first;
    return HttpStatus::Ok;
}

// Status and length are known once the final answer's headers are in,
// which is before its first body byte.
HttpStatus checkAnswer(Transfer& t) {
    long code = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &code);
    // 416: the staging file is as long as the file or longer.
    if (t.resumeFrom > 0 && code == 416) return HttpStatus::BadRange;
    // A server that limits the connections of one address (nginx's
    // limit_conn) answers the ones past its limit with 503.
    if (code == 503 || code == 429) return HttpStatus::Busy;
    if (!isSuccess(code)) return HttpStatus::HttpError;
    if (unrequestedEncoding(t.curl)) return HttpStatus::Encoded;
    curl_off_t length = -1;
    curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0) return HttpStatus::NoLength;
    std::uint64_t offset = 0, total = 0;
    const HttpStatus placed = placeBody(t, code, static_cast<std::uint64_t>(length), &offset, &total);
    if (placed != HttpStatus::Ok) return placed;
    if (total > t.maxBytes) return HttpStatus::TooLarge;
    t.length = static_cast<std::uint64_t>(length);
    if (!(*t.onStart)(offset, total)) return HttpStatus::Aborted;
    return HttpStatus::Ok;
}

std::size_t takeBody(Transfer& t, char* data, std::size_t size) {
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

std::size_t onBody(char* data, std::size_t one, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    // Nothing may unwind through libcurl: a caller's buffer that cannot
    // grow (a length a server made up) ends the transfer instead.
    try {
        return takeBody(t, data, one * count);
    } catch (const std::exception&) {
        t.verdict = HttpStatus::Aborted;
        return 0;
    }
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

void initialiseOnce() {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void* newShare() {
    CURLSH* share = curl_share_init();
    if (!share) return nullptr;
    for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS}) {
        if (curl_share_setopt(share, CURLSHOPT_SHARE, data) != CURLSHE_OK) {
            curl_share_cleanup(share);
            return nullptr;
        }
    }
    return share;
}

void prepare(CURL* curl, Transfer& t, const std::string& url, const std::string& caFile, void* share) {
    curl_easy_reset(curl);
    if (share) curl_easy_setopt(curl, CURLOPT_SHARE, static_cast<CURLSH*>(share));
    t.curl = curl;
    t.lastByteAt = std::chrono::steady_clock::now();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "QuaskPatch/1.0");
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // What started encrypted stays encrypted: no redirect down to http.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, isHttps(url) ? "https" : "http,https");
    if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBlockBytes);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    // A trickle that never quite stalls is as good as a stall.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, t.stallSeconds);
    if (t.resumeFrom > 0) {
        // A plain range, not CURLOPT_RESUME_FROM: a server that ignores it
        // answers 200 with the whole file, which is a fresh download.
        t.rangeText = std::to_string(t.resumeFrom) + "-";
        curl_easy_setopt(curl, CURLOPT_RANGE, t.rangeText.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
}

HttpStatus finish(Transfer& t, CURLcode rc) {
    if (t.verdict != HttpStatus::Ok) return t.verdict;
    long code = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &code);
    // A redirect we do not follow (down to http, or too many) is an answer
    // we do not take, not a broken transfer. A server URL that is no http
    // (ftp://) got no answer at all.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && code == 0) return HttpStatus::ConnectFailed;
    if (rc == CURLE_UNSUPPORTED_PROTOCOL || rc == CURLE_TOO_MANY_REDIRECTS) return HttpStatus::HttpError;
    if (rc != CURLE_OK) return code == 0 ? HttpStatus::ConnectFailed : HttpStatus::ReadError;
    if (!t.started) {  // an empty body never reaches the callback
        t.started = true;
        HttpStatus answer = HttpStatus::Aborted;
        try {
            answer = checkAnswer(t);
        } catch (const std::exception&) {
        }
        if (answer != HttpStatus::Ok) return answer;
    }
    return t.received == t.length ? HttpStatus::Ok : HttpStatus::ReadError;
}

}  // namespace curl_transfer
}  // namespace quillon
