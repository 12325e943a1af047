// Private to the patcher's HTTP backend: one libcurl transfer as the
// launcher makes it, shared by the one-at-a-time client (http_client.cpp)
// and the batch of parallel downloads (http_batch.cpp). It sets the
// request's options (no proxy, no cookies, our agent, redirects never down
// to http, the stall time, a Range for a resumed download) and judges the
// answer: status, encoding, length and Content-Range before the first body
// byte, the byte count at the end. Only the HTTP backend includes it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "patcher/net/http_client.h"

namespace quillon {
namespace curl_transfer {

struct Transfer {
    std::uint64_t maxBytes = UINT64_MAX;  // of the whole file
    std::uint64_t resumeFrom = 0;         // > 0: the request asked for the rest from here
    const HttpClient::StartFn* onStart = nullptr;
    const HttpClient::SinkFn* sink = nullptr;
    CURL* curl = nullptr;
    long stallSeconds = 60;
    bool started = false;
    std::uint64_t length = 0;    // bytes this answer's body holds
    std::uint64_t received = 0;  // of them
    HttpStatus verdict = HttpStatus::Ok;  // set when a callback stops the transfer
    curl_off_t lastSeen = -1;             // bytes seen at the last progress call
    std::chrono::steady_clock::time_point lastByteAt = std::chrono::steady_clock::now();
    std::string rangeText;  // the Range value, kept alive while curl uses it
};

// libcurl's global set-up, once per process, before the first handle.
void initialiseOnce();

// A share of connections, TLS sessions and names for handles that are
// used on one thread (null when libcurl has none to give).
void* newShare();

// Resets `curl` and sets it up for `t` (whose callbacks and limits are set),
// with the connections of `share` when given.
void prepare(CURL* curl, Transfer& t, const std::string& url, const std::string& caFile, void* share);

// The result once curl_easy_perform (or the multi handle) ended with `rc`.
HttpStatus finish(Transfer& t, CURLcode rc);

}  // namespace curl_transfer
}  // namespace quillon
