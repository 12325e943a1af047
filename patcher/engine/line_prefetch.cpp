#include "patcher/engine/line_prefetch_internal.h"

#include <algorithm>
#include <iterator>

#include "patcher/net/http_batch.h"
#include "patcher/protocol/revision_pack.h"

namespace quillon {

namespace {

// A request whose body goes into `a` while `budget`, shared by a batch,
// holds its announced length; a.ok tells whether it arrived whole.
HttpBatch::Request budgeted(std::string url, std::uint64_t maxBytes, LinePrefetch::Ahead& a, std::uint64_t& budget) {
    HttpBatch::Request r;
    r.url = std::move(url);
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
    return r;
}

// What of `budget` the bodies `held` leave.
std::uint64_t leftBy(const std::map<std::string, LinePrefetch::Ahead>& held, std::uint64_t budget) {
    for (const auto& [path, a] : held) budget -= std::min<std::uint64_t>(budget, a.body.size());
    return budget;
}

}  // namespace

void LinePrefetch::fetchAhead(const std::vector<std::string>& paths, std::uint64_t maxBytes) {
    const unsigned connections = downloadConnections();
    const std::string base = m_ctx.mirrors.base(m_ctx.mirrors.current());
    // What is still wanted and came from this place stays; nothing else.
    std::map<std::string, Ahead> kept;
    std::vector<std::string> wanted;
    for (const std::string& path : paths) {
        const auto it = m_ahead.find(path);
        const auto packed = m_packed.find(path);
        if (it != m_ahead.end() && it->second.base == base) kept.insert(m_ahead.extract(it));
        else if (packed != m_packed.end() && packed->second.base == base) continue;  // a pack brought it
        else if (std::find(wanted.begin(), wanted.end(), path) == wanted.end()) wanted.push_back(path);
    }
    m_ahead = std::move(kept);
    if (connections <= 1 || wanted.size() < 2) return;
    // A server that answers with huge bodies gets no more memory than one
    // control file: what does not fit is fetched again when its turn comes.
    std::uint64_t budget = leftBy(m_ahead, kMaxControlFile);
    HttpBatch batch(m_ctx.http, connections);
    for (const std::string& path : wanted) {
        Ahead& a = m_ahead[path];
        a.base = base;
        batch.add(budgeted(base + path, maxBytes, a, budget));
    }
    batch.run({});
}

bool LinePrefetch::takeFrom(std::map<std::string, Ahead>& from, const std::string& path, const std::string& base,
                            std::string* body) {
    const auto it = from.find(path);
    if (it == from.end()) return false;
    Ahead a = std::move(it->second);
    from.erase(it);
    if (!a.ok || a.base != base) return false;
    *body = std::move(a.body);
    return true;
}

// A file fetched ahead is the answer, or none: its copy out of a pack is no
// second chance for bytes refused, and goes with it.
bool LinePrefetch::take(const std::string& path, const std::string& base, std::string* body, bool* packed) {
    if (packed) *packed = false;
    if (m_ahead.count(path)) {
        m_packed.erase(path);
        return takeFrom(m_ahead, path, base, body);
    }
    if (!takeFrom(m_packed, path, base, body)) return false;
    if (packed) *packed = true;
    return true;
}

HttpStatus LinePrefetch::fetch(const std::string& path, std::string* body, const Mirrors::Accept& accept) {
    std::string held;
    if (take(path, m_ctx.mirrors.base(m_ctx.mirrors.current()), &held) && (!accept || accept(held))) {
        *body = std::move(held);
        return HttpStatus::Ok;
    }
    return m_ctx.mirrors.fetch(m_ctx.http, path, body, kMaxControlFile, accept);
}

void LinePrefetch::fetchPacks(std::uint32_t from, std::uint32_t latest) {
    const std::string base = m_ctx.mirrors.base(m_ctx.mirrors.current());
    // Packs of a place skipped since are of no use; the next place's are.
    if (base != m_packedBase) {
        m_packedBase = base;
        m_packedUpTo = 0;
        m_packed.clear();
    }
    // The revisions the walk fetches ahead next: judged once.
    const std::uint64_t window = std::min<std::uint64_t>(latest, std::uint64_t{from} + kRevisionsAhead - 1);
    if (window <= m_packedUpTo) return;
    const std::uint64_t start = std::max<std::uint64_t>(from, std::uint64_t{m_packedUpTo} + 1);
    // The walk is past what is left of the packs before.
    for (auto it = m_packed.begin(); it != m_packed.end();)
        it = packedRevisionOf(it->first).value_or(0) < from ? m_packed.erase(it) : std::next(it);
    std::uint64_t budget = leftBy(m_packed, kPackBudget);
    // Whole packs only, each while the budget holds one as large as a pack
    // may be, and only for a game far behind: a pack of which the walk
    // needs few revisions costs more bytes than their requests.
    std::vector<std::uint32_t> firsts;
    std::uint64_t judged = window;
    const bool several = downloadConnections() > 1;
    for (std::uint64_t first = packFirstOf(static_cast<std::uint32_t>(start));
         several && budget >= kMaxPackBytes && firsts.size() < kPacksAtOnce && first + kRevisionsPerPack - 1 <= latest;
         first += kRevisionsPerPack) {
        judged = std::max(judged, first + kRevisionsPerPack - 1);
        if (first + kRevisionsPerPack - std::max(first, start) < kRevisionsPerPack / 2) continue;
        firsts.push_back(static_cast<std::uint32_t>(first));
        budget -= kMaxPackBytes;
    }
    m_packedUpTo = static_cast<std::uint32_t>(several ? judged : latest);
    if (firsts.empty()) return;
    budget = leftBy(m_packed, kPackBudget);
    std::vector<Ahead> packs(firsts.size());
    HttpBatch batch(m_ctx.http, downloadConnections());
    for (std::size_t i = 0; i < firsts.size(); ++i)
        batch.add(budgeted(base + revisionPackPath(firsts[i]), kMaxPackBytes, packs[i], budget));
    batch.run({});
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        std::vector<PackedFile> files;
        if (!packs[i].ok || !parseRevisionPack(packs[i].body, firsts[i], &files).empty()) continue;
        std::string().swap(packs[i].body);
        for (PackedFile& f : files)
            if (packedRevisionOf(f.path).value_or(0) >= from) m_packed[f.path] = Ahead{base, true, std::move(f.body)};
    }
}

}  // namespace quillon
