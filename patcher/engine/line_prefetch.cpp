#include "patcher/engine/line_prefetch_internal.h"

#include <algorithm>

#include "patcher/net/http_batch.h"

namespace quillon {

void LinePrefetch::fetchAhead(const std::vector<std::string>& paths, std::uint64_t maxBytes) {
    const unsigned connections = downloadConnections();
    const std::string base = m_ctx.mirrors.base(m_ctx.mirrors.current());
    // What is still wanted and came from this place stays; nothing else.
    std::map<std::string, Ahead> kept;
    std::vector<std::string> wanted;
    for (const std::string& path : paths) {
        const auto it = m_ahead.find(path);
        if (it != m_ahead.end() && it->second.base == base) kept.insert(m_ahead.extract(it));
        else if (std::find(wanted.begin(), wanted.end(), path) == wanted.end()) wanted.push_back(path);
    }
    m_ahead = std::move(kept);
    if (connections <= 1 || wanted.size() < 2) return;
    // A server that answers with huge bodies gets no more memory than one
    // control file: what does not fit is fetched again when its turn comes.
    std::uint64_t budget = kMaxControlFile;
    for (const auto& [path, a] : m_ahead) budget -= std::min<std::uint64_t>(budget, a.body.size());
    HttpBatch batch(m_ctx.http, connections);
    for (const std::string& path : wanted) {
        Ahead& a = m_ahead[path];
        a.base = base;
        HttpBatch::Request r;
        r.url = base + path;
        r.maxBytes = maxBytes;
        r.onStart = [&a, &budget](std::uint64_t, std::uint64_t total) {
            if (total == 0 || total > budget) return false;
            budget -= total;
            a.body.reserve(static_cast<std::size_t>(total));
            return true;
        };
        r.sink = [&a](const std::uint8_t* data, std::size_t size) {
            a.body.append(reinterpret_cast<const char*>(data), size);
            return true;
        };
        r.onDone = [&a](HttpStatus status) { a.ok = status == HttpStatus::Ok; };
        batch.add(std::move(r));
    }
    batch.run({});
}

bool LinePrefetch::take(const std::string& path, const std::string& base, std::string* body) {
    const auto it = m_ahead.find(path);
    if (it == m_ahead.end()) return false;
    Ahead a = std::move(it->second);
    m_ahead.erase(it);
    if (!a.ok || a.base != base) return false;
    *body = std::move(a.body);
    return true;
}

HttpStatus LinePrefetch::fetch(const std::string& path, std::string* body, const Mirrors::Accept& accept) {
    const auto it = m_ahead.find(path);
    if (it != m_ahead.end()) {
        Ahead a = std::move(it->second);
        m_ahead.erase(it);
        if (a.ok && a.base == m_ctx.mirrors.base(m_ctx.mirrors.current()) && (!accept || accept(a.body))) {
            *body = std::move(a.body);
            return HttpStatus::Ok;
        }
    }
    return m_ctx.mirrors.fetch(m_ctx.http, path, body, kMaxControlFile, accept);
}

}  // namespace quillon
