#include "patcher/net/mirrors.h"

#include <algorithm>

namespace quillon {

void Mirrors::reset(const std::string& primary) {
    m_places.clear();
    m_slowestSkipped = 0;
    m_places.push_back(Place{primary});
}

void Mirrors::add(const std::string& base) {
    const bool known = std::any_of(m_places.begin(), m_places.end(), [&](const Place& p) { return p.base == base; });
    if (!known) m_places.push_back(Place{base});
}

std::size_t Mirrors::current() const {
    for (std::size_t i = 0; i < m_places.size(); ++i)
        if (!m_places[i].skipped) return i;
    return 0;
}

std::size_t Mirrors::live() const {
    return static_cast<std::size_t>(
        std::count_if(m_places.begin(), m_places.end(), [](const Place& p) { return !p.skipped; }));
}

bool Mirrors::skip(std::size_t i, const std::string& why) {
    if (i >= m_places.size() || m_places[i].skipped || live() < 2) return false;
    m_places[i].skipped = true;
    if (m_onSkip) m_onSkip("skipping " + m_places[i].base + " for this run: " + why);
    return true;
}

HttpStatus Mirrors::fetch(HttpClient& http, const std::string& path, std::string* body, std::uint64_t maxBytes,
                          const Accept& accept, std::size_t* from) {
    for (;;) {
        const std::size_t i = current();
        const HttpStatus status = http.fetch(base(i) + path, body, maxBytes);
        if (from) *from = i;
        if (status == HttpStatus::Ok && (!accept || accept(*body))) return status;
        const std::string why = status == HttpStatus::Ok ? "wrong bytes for " + path
                                                         : std::string(httpStatusText(status)) + " for " + path;
        if (!skip(i, why)) return status;
    }
}

}  // namespace quillon
