// Several downloads at once from the patch server, over a few kept-alive
// connections (libcurl's multi interface). Each request is judged exactly
// as HttpClient::download judges one (length first, limits, ranges, the
// stall time), so a batch of one behaves as the one-at-a-time client.
//
// Requests start in the order they were added, each as soon as one of the
// batch's connections is free; a callback of the batch may add more.
// Everything, the callbacks included, runs on the thread that calls run().
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "patcher/net/http_client.h"

namespace quillon {

class HttpBatch {
public:
    struct Request {
        std::string url;
        std::uint64_t maxBytes = UINT64_MAX;
        std::uint64_t resumeFrom = 0;  // as for HttpClient::download
        // When it takes a connection, before it is sent: it may still
        // change its URL (the place it was meant for is gone meanwhile).
        std::function<void(std::string& url)> onBegin;
        HttpClient::StartFn onStart;
        HttpClient::SinkFn sink;
        std::function<void(HttpStatus)> onDone;  // once, when it has ended
    };

    // At most `connections` transfers at once (at least one), with the
    // stall time, certificates and kept-alive connections of `like`, on
    // `like`'s thread.
    HttpBatch(const HttpClient& like, unsigned connections);
    ~HttpBatch();
    HttpBatch(const HttpBatch&) = delete;
    HttpBatch& operator=(const HttpBatch&) = delete;

    void add(Request request);
    // Runs until every request has ended, or until stop(); `tick` is called
    // every 100 ms or so while transfers run.
    void run(const std::function<void()>& tick);
    // Runs only until a connection is free for one more request (every
    // added request has started and fewer than `connections` run), or
    // until stop(). With one connection: until the last request has ended.
    void runUntilFree(const std::function<void()>& tick);
    // From now on at most `connections` transfers at once (at least one,
    // never more than the batch was made with); those running go on.
    void limitConnections(unsigned connections);
    // Ends the running transfers at once and drops the waiting ones, none
    // of them calling its onDone; run() then returns. Called from onDone or
    // the tick, never from a transfer's onStart or sink.
    void stop();

private:
    struct Slot;
    void startWaiting();
    void collectFinished();
    void pump(const std::function<void()>& tick, bool untilFree);

    void* m_multi = nullptr;
    long m_stallSeconds;
    std::string m_caFile;
    void* m_share;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::deque<Request> m_waiting;
    unsigned m_running = 0;
    std::size_t m_limit = 0;  // transfers at once, at most m_slots.size()
    bool m_stopped = false;
    std::chrono::steady_clock::time_point m_lastTick = std::chrono::steady_clock::now();
};

}  // namespace quillon
