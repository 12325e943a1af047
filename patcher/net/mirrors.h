// The places one run fetches the server's files from: the patch server's
// base URL first, then the mirrors it names. Every file may come from any of
// them. A place that fails (no answer, an error status, a stall, a body too
// large, or bytes the caller rejects) is skipped for the rest of the run as
// long as another is left; the last one left is never skipped, so with one
// place this is the plain one-server fetch, failures as they come.
//
// Used by the worker thread; the skip notes go to `onSkip`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/net/http_client.h"

namespace quillon {

class Mirrors {
public:
    // Whether a body that arrived whole is the one wanted.
    using Accept = std::function<bool(std::string_view body)>;

    // The base URL alone, nothing skipped.
    void reset(const std::string& primary);
    // A further place, once; those skipped stay skipped.
    void add(const std::string& base);
    void setOnSkip(std::function<void(const std::string& line)> onSkip) { m_onSkip = std::move(onSkip); }

    std::size_t count() const { return m_places.size(); }
    const std::string& base(std::size_t i) const { return m_places[i].base; }
    bool skipped(std::size_t i) const { return m_places[i].skipped; }
    // The first place not skipped.
    std::size_t current() const;
    // How many are not skipped.
    std::size_t live() const;
    // Skips `i`, saying `why`, unless it is the last one left; true when it
    // was skipped (another place is there to ask).
    bool skip(std::size_t i, const std::string& why);

    // The slowest pace (bytes a second) of a place skipped for its pace in
    // this run; 0 when none was. Every download phase of the run sees it.
    std::uint64_t slowestSkippedPace() const { return m_slowestSkipped; }
    void noteSkippedPace(std::uint64_t bytesPerSecond) {
        if (bytesPerSecond == 0) bytesPerSecond = 1;
        if (m_slowestSkipped == 0 || bytesPerSecond < m_slowestSkipped) m_slowestSkipped = bytesPerSecond;
    }

    // `path` below the base URL from the first live place, then from the
    // next while a place fails or `accept` rejects its body. The answer of
    // the last place asked stands as it came: `body` holds it, `from` (when
    // given) names the place.
    HttpStatus fetch(HttpClient& http, const std::string& path, std::string* body,
                     std::uint64_t maxBytes = kMaxControlFile, const Accept& accept = {},
                     std::size_t* from = nullptr);
    // `path` from place `i` alone.
    HttpStatus fetchFrom(HttpClient& http, std::size_t i, const std::string& path, std::string* body,
                         std::uint64_t maxBytes = kMaxControlFile) {
        return http.fetch(base(i) + path, body, maxBytes);
    }

private:
    struct Place {
        std::string base;
        bool skipped = false;
    };
    std::vector<Place> m_places;
    std::uint64_t m_slowestSkipped = 0;
    std::function<void(const std::string&)> m_onSkip;
};

}  // namespace quillon
