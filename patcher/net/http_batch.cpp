#include "patcher/net/http_batch.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include "patcher/net/curl_transfer_internal.h"

namespace quillon {

namespace {

constexpr int kTickMs = 100;

}  // namespace

struct HttpBatch::Slot {
    CURL* easy = nullptr;
    bool busy = false;
    Request request;
    curl_transfer::Transfer transfer;

    ~Slot() {
        if (easy) curl_easy_cleanup(easy);
    }
};

HttpBatch::HttpBatch(const HttpClient& like, unsigned connections)
    : m_stallSeconds(like.stallTimeout()), m_caFile(like.caFile()), m_share(like.share()) {
    curl_transfer::initialiseOnce();
    const long n = std::max(1u, connections);
    m_multi = curl_multi_init();
    if (m_multi) {
        // The connections are kept between files: a new file on a free
        // connection costs no new handshake.
        curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, n);
        curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, n);
        curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, n);
    }
    for (long i = 0; i < n; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->easy = curl_easy_init();
        if (slot->easy) m_slots.push_back(std::move(slot));
    }
    m_limit = m_slots.size();
}

void HttpBatch::limitConnections(unsigned connections) {
    m_limit = std::min<std::size_t>(m_slots.size(), std::max(1u, connections));
}

HttpBatch::~HttpBatch() {
    stop();
    m_slots.clear();
    if (m_multi) curl_multi_cleanup(m_multi);
}

void HttpBatch::add(Request request) {
    if (!m_stopped) m_waiting.push_back(std::move(request));
}

void HttpBatch::stop() {
    m_stopped = true;
    m_waiting.clear();
    for (const auto& slot : m_slots) {
        if (!slot->busy) continue;
        curl_multi_remove_handle(m_multi, slot->easy);
        slot->busy = false;
    }
    m_running = 0;
}

void HttpBatch::startWaiting() {
    for (const auto& slot : m_slots) {
        if (m_waiting.empty() || m_stopped || m_running >= m_limit) return;
        if (slot->busy) continue;
        slot->request = std::move(m_waiting.front());
        m_waiting.pop_front();
        if (slot->request.onBegin) slot->request.onBegin(slot->request.url);
        slot->transfer = curl_transfer::Transfer{};
        curl_transfer::Transfer& t = slot->transfer;
        t.maxBytes = slot->request.maxBytes;
        t.resumeFrom = slot->request.resumeFrom;
        t.onStart = &slot->request.onStart;
        t.sink = &slot->request.sink;
        t.stallSeconds = m_stallSeconds;
        curl_transfer::prepare(slot->easy, t, slot->request.url, m_caFile, m_share);
        curl_easy_setopt(slot->easy, CURLOPT_PRIVATE, slot.get());
        if (curl_multi_add_handle(m_multi, slot->easy) != CURLM_OK) {
            // Judged as a transfer that found no server.
            const auto onDone = std::move(slot->request.onDone);
            if (onDone) onDone(HttpStatus::ConnectFailed);
            continue;
        }
        slot->busy = true;
        ++m_running;
    }
}

void HttpBatch::collectFinished() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Slot* slot = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&slot));
        const CURLcode rc = msg->data.result;
        curl_multi_remove_handle(m_multi, msg->easy_handle);
        if (!slot || !slot->busy) continue;
        slot->busy = false;
        --m_running;
        const HttpStatus status = curl_transfer::finish(slot->transfer, rc);
        const auto onDone = std::move(slot->request.onDone);
        if (onDone) onDone(status);
        if (m_stopped) return;
    }
}

void HttpBatch::run(const std::function<void()>& tick) { pump(tick, false); }

void HttpBatch::runUntilFree(const std::function<void()>& tick) { pump(tick, true); }

void HttpBatch::pump(const std::function<void()>& tick, bool untilFree) {
    using Clock = std::chrono::steady_clock;
    if (!m_multi || m_slots.empty()) {
        // No handles at all: every request fails as one without a server.
        while (!m_waiting.empty() && !m_stopped) {
            Request r = std::move(m_waiting.front());
            m_waiting.pop_front();
            if (r.onDone) r.onDone(HttpStatus::ConnectFailed);
        }
        return;
    }
    while (!m_stopped) {
        startWaiting();
        if (m_running == 0 && m_waiting.empty()) break;
        if (untilFree && m_waiting.empty() && m_running < m_limit) break;
        int active = 0;
        curl_multi_perform(m_multi, &active);
        collectFinished();
        if (m_stopped) break;
        if (tick && Clock::now() - m_lastTick >= std::chrono::milliseconds(kTickMs)) {
            m_lastTick = Clock::now();
            tick();
        }
        // A connection that just came free takes its next request at once,
        // not after the next packet of another transfer.
        const bool free = m_running < m_limit;
        if (free && (untilFree || !m_waiting.empty())) continue;
        if (m_running > 0) curl_multi_poll(m_multi, nullptr, 0, kTickMs, nullptr);
    }
}

}  // namespace quillon
