// The server's small files that a patch run needs next (the latest
// revision with the notice, the metadata and sums of the missing revisions),
// several at once ahead of their turn; the run still takes them one after
// the other. A body that arrived whole from the place the run would ask,
// and that the run accepts, is the answer; anything else (a failure, a place
// skipped since, bytes refused) is fetched again in its turn, as it always
// was, so the texts, boxes and skipped places are those of the
// one-at-a-time fetch. With one connection nothing is fetched ahead.
// Runs on the worker thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "patcher/engine/patch_context.h"

namespace quillon {

class LinePrefetch {
public:
    explicit LinePrefetch(PatchContext& ctx) : m_ctx(ctx) {}

    // Fetches `paths` below the current place at once (one alone gains
    // nothing), each body taken up to `maxBytes`; of what was fetched ahead
    // before, only what `paths` name again stays.
    void fetchAhead(const std::vector<std::string>& paths, std::uint64_t maxBytes = kMaxControlFile);
    // As ctx.mirrors.fetch(ctx.http, path, body, kMaxControlFile, accept),
    // from the body fetched ahead when it will do.
    HttpStatus fetch(const std::string& path, std::string* body, const Mirrors::Accept& accept);
    // The body of `path` when it arrived whole from the place `base`; once.
    // `packed`, when given, tells whether it came out of a revision pack.
    bool take(const std::string& path, const std::string& base, std::string* body, bool* packed = nullptr);

    // The revision packs (patcher/protocol/revision_pack.h) that hold the
    // revisions the walk reaches from `from` on, whole ones up to `latest`
    // and only where it needs most of a pack, a few at once below the
    // current place, when revisions of the next window were not judged
    // yet: their files are what fetchAhead, fetch and take give before
    // asking for a file alone. A pack that is missing or damaged costs its
    // one request. With one connection nothing is fetched.
    void fetchPacks(std::uint32_t from, std::uint32_t latest);

    struct Ahead {
        std::string base;  // the place it came from
        bool ok = false;
        std::string body;
    };

private:
    // A body of `from` (fetched ahead or packed) when it came whole from
    // the place `base`; removed either way.
    static bool takeFrom(std::map<std::string, Ahead>& from, const std::string& path, const std::string& base,
                         std::string* body);
    PatchContext& m_ctx;
    std::map<std::string, Ahead> m_ahead;
    std::map<std::string, Ahead> m_packed;  // out of packs, until taken
    std::string m_packedBase;               // the place packs are judged for
    std::uint32_t m_packedUpTo = 0;         // the last revision judged there
};

// How many revisions are fetched ahead at a time; their bodies together
// stay within kMaxControlFile.
constexpr unsigned kRevisionsAhead = 16;
// How many revision packs are fetched at once, and the bytes their files
// may hold together while the walk takes them.
constexpr std::size_t kPacksAtOnce = 4;
constexpr std::uint64_t kPackBudget = kMaxControlFile;

}  // namespace quillon
