// The opening of a run with a key: the game directory's root of trust, the
// roots and the certificate the announcement needs, the announcement, and
// the mirrors it vouches for (see trust_internal.h).
#include <cstdio>
#include <ctime>

#include "patcher/disk/trust_store.h"
#include "patcher/engine/line_prefetch_internal.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

namespace {

constexpr char kOutOfDateCaption[] = "Update Server Out of Date";

// The clock it was judged by goes with it: a clock far ahead looks just
// like a server nobody refreshed.
PatchFailure outOfDate(const std::string& what, std::int64_t when, std::int64_t now) {
    return {"The Update Server is out of date: " + what + " expired on " + utcTimeForPlayer(when) +
                ".\nThe clock of this computer says " + utcTimeForPlayer(now) +
                ": if that is wrong, set it right and try again.\nYour game was not updated - If this problem "
                "persists - please contact the Support!",
            kOutOfDateCaption};
}

PatchFailure rootStoreFailure() {
    return {"The record of the keys this game trusts (data/quillon.root) cannot be read or written.\nNothing was changed - Please check the Disk and the Directory / File Permissions",
            "Error"};
}

// Read, but not a root: the disk and the permissions are not to blame.
PatchFailure damagedRootStore() {
    return {"The record of the keys this game trusts (data/quillon.root) is damaged: it holds no root of trust.\n"
            "Nothing was changed - please contact the Support!",
            "Error"};
}

// No answer at all, or one whose body never arrived as a file: the
// network's or the server's trouble, never a statement about the signature.
bool unreadable(HttpStatus status) {
    return status == HttpStatus::ConnectFailed || status == HttpStatus::ReadError ||
           status == HttpStatus::NoLength || status == HttpStatus::Encoded;
}

// The first line of a box, for the note that skips a place.
std::string firstLine(const PatchFailure& failure) { return failure.text.substr(0, failure.text.find('\n')); }

// A file and its detached signature, both from one place; `status` (when
// given) tells how the first request ended.
bool fetchPair(PatchContext& ctx, std::size_t place, const std::string& path, const std::string& sigPath,
               std::size_t sigSize, std::string* body, std::string* sig, HttpStatus* status = nullptr) {
    // Both at once: a signature never needs to wait for its file.
    LinePrefetch pair(ctx);
    if (place == ctx.mirrors.current()) pair.fetchAhead({path, sigPath}, kMaxTrustFile);
    const std::string base = ctx.mirrors.base(place);
    const HttpStatus first =
        pair.take(path, base, body) ? HttpStatus::Ok : ctx.mirrors.fetchFrom(ctx.http, place, path, body, kMaxTrustFile);
    if (status) *status = first;
    return first == HttpStatus::Ok &&
           (pair.take(sigPath, base, sig) ||
            ctx.mirrors.fetchFrom(ctx.http, place, sigPath, sig, sigSize) == HttpStatus::Ok) &&
           sig->size() == sigSize;
}

}  // namespace

std::optional<PatchFailure> Trust::open() {
    m_keyed = false;
    m_ctx.mirrors.reset(m_ctx.baseUrl);
    m_ctx.mirrors.setOnSkip([this](const std::string& line) { m_ctx.ui.Note(line); });
    if (auto failure = loadRoot()) return failure;
    if (!m_keyed) return std::nullopt;
    // The mirrors of the last run may stand in for the server from the start.
    std::string stored;
    MirrorList known;
    if (readTrustStore(m_ctx.gameDir, kMirrorStoreLeaf, &stored) == StoreRead::kRead &&
        parseMirrorList(stored, &known).empty())
        for (const std::string& url : known.urls) m_ctx.mirrors.add(url);
    // When no place will do, the player hears what the first one did wrong.
    std::optional<PatchFailure> first;
    for (;;) {
        const std::size_t place = m_ctx.mirrors.current();
        std::optional<PatchFailure> failure = openFrom(place);
        if (!failure) break;
        if (!first) first = failure;
        if (!m_ctx.mirrors.skip(place, firstLine(*failure))) return first;
    }
    return takeMirrorList();
}

std::optional<PatchFailure> Trust::loadRoot() {
    std::string stored;
    switch (readTrustStore(m_ctx.gameDir, kRootStoreLeaf, &stored)) {
        case StoreRead::kRead:
            // A damaged record is never "no root": that would trust nothing.
            if (!parseRoot(stored, &m_root).empty()) return damagedRootStore();
            break;
        case StoreRead::kFailed: return rootStoreFailure();
        case StoreRead::kMissing:
            if (!m_ctx.launcherKey) return std::nullopt;
            m_root = RootOfTrust{0, *m_ctx.launcherKey, {}};
            if (!writeTrustStore(m_ctx.gameDir, kRootStoreLeaf, rootText(m_root))) return rootStoreFailure();
            break;
    }
    m_keyed = true;
    return std::nullopt;
}

std::optional<PatchFailure> Trust::openFrom(std::size_t place) {
    std::string text, sig;
    HttpStatus status = HttpStatus::Ok;
    // The run's first request: a server that does not answer, or whose
    // answer cannot be read at all (cut off, stalled, without a length, in an
    // encoding nobody asked for), is down, as the protocol's first request
    // finds it. Only an answer that was read may be called damaged.
    const bool fetched =
        fetchPair(m_ctx, place, kAnnouncePath, kAnnounceSignaturePath, kSignatureSize, &text, &sig, &status);
    if (unreadable(status) || (status == HttpStatus::Ok && looksLikeWebPage(text))) return serverDownFailure();
    if (!fetched || !parseAnnouncement(text, &m_announcement).empty())
        return signatureFailure("The signed announcement of the Update Server is missing or damaged.");
    // An announcement from before a root this game already took is an old one.
    if (m_announcement.rootVersion < m_root.version) {
        char what[256];
        std::snprintf(what, sizeof what, "The announcement of the Update Server is older than the keys this game trusts (root %u).",
                      static_cast<unsigned>(m_root.version));
        return signatureFailure(what);
    }
    if (auto failure = takeRoots(place, m_announcement.rootVersion)) return failure;
    if (auto failure = trustSigner(place, text, sig)) return failure;
    // Only a signed expiry counts, so it is read after the signature.
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    if (now > m_announcement.expires) return outOfDate("its announcement", m_announcement.expires, now);
    // A place behind the installed revision (a mirror nobody copied the
    // last publish to) has nothing for this game; the next may be current.
    // The last place left is judged by its lastrev.txt later, as ever.
    if (m_ctx.mirrors.live() > 1)
        if (auto failure = refuseRollback(m_announcement.revision, m_recorded)) return failure;
    // A mirror caught in the middle of a copy can hold a lastrev.txt of
    // another revision than its announcement. Its announcement would then
    // judge the other places' lastrev.txt, so it is skipped now, while
    // another place is left; the last one is judged later, as ever. (The
    // server's own tree changes at once, so it costs no extra request.)
    if (place > 0 && m_ctx.mirrors.live() > 1) {
        std::string latest;
        if (m_ctx.mirrors.fetchFrom(m_ctx.http, place, "lastrev.txt", &latest) != HttpStatus::Ok ||
            parseLatestRevision(latest) == 0)
            return latestRevisionFailure();
        if (auto failure = checkLatest(parseLatestRevision(latest), m_recorded)) return failure;
    }
    return std::nullopt;
}

// The roots after the game's own up to `upTo`, each kept once taken.
std::optional<PatchFailure> Trust::takeRoots(std::size_t place, std::uint32_t upTo) {
    if (upTo - m_root.version > kMaxRootSteps)
        return signatureFailure("The signed announcement of the Update Server is missing or damaged.");
    for (std::uint32_t v = m_root.version + 1; v <= upTo && v != 0; ++v) {
        std::string text, sig;
        const std::string name = rootPath(v);
        RootOfTrust next;
        const RootStep step = fetchPair(m_ctx, place, name, rootSignaturePath(v), kRootSignatureSize, &text, &sig)
                                  ? takeRoot(m_root, v, text, sig, &next)
                                  : RootStep::kDamaged;
        if (step == RootStep::kDamaged) return signatureFailure("The root of trust " + name + " is missing or damaged.");
        if (step == RootStep::kNotSigned)
            return signatureFailure("The root of trust " + name + " is not signed by the keys this game trusts.");
        if (step == RootStep::kSkipped) continue;
        m_root = next;
        if (!writeTrustStore(m_ctx.gameDir, kRootStoreLeaf, rootText(m_root))) return rootStoreFailure();
    }
    // Roots were named, and none of them names this launcher's key.
    if (m_root.version == 0 && upTo > 0)
        return signatureFailure("No root of trust of the Update Server names the key of this launcher.");
    return std::nullopt;
}

// The announcement is signed by the root key, or by the signing key that
// the root certifies (and has not revoked) until the certificate expires.
std::optional<PatchFailure> Trust::trustSigner(std::size_t place, std::string_view text, std::string_view sig) {
    m_listKeys.assign(1, m_root.key);
    if (verifySignature(m_root.key, text, sig)) return std::nullopt;
    const PatchFailure notSigned =
        signatureFailure("The announcement of the Update Server is not signed by the publisher of this game.");
    std::string certText, certSig;
    if (!fetchPair(m_ctx, place, kSignerPath, kSignerSignaturePath, kSignatureSize, &certText, &certSig))
        return notSigned;
    SignerCertificate cert;
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    switch (checkCertificate(m_root, certText, certSig, now, &cert)) {
        case SignerCheck::kTrusted: break;
        case SignerCheck::kDamaged:
            return signatureFailure("The certificate of the signing key (meta/signer.txt) is missing or damaged.");
        case SignerCheck::kNotSigned: return notSigned;
        case SignerCheck::kRevoked: return signatureFailure("The Update Server signs with a key the publisher has revoked.");
        case SignerCheck::kExpired: return outOfDate("the publisher's signing key", cert.expires, now);
    }
    if (!verifySignature(cert.key, text, sig)) return notSigned;
    m_listKeys.push_back(cert.key);
    return std::nullopt;
}

// The mirrors the announcement vouches for join the base URL for the rest
// of the run, and are kept for the next one.
std::optional<PatchFailure> Trust::takeMirrorList() {
    if (!m_announcement.files.count(kMirrorListPath)) {
        removeTrustStore(m_ctx.gameDir, kMirrorStoreLeaf);
        return std::nullopt;
    }
    std::string body;
    MirrorList list;
    m_ctx.mirrors.fetch(m_ctx.http, kMirrorListPath, &body, kMaxTrustFile,
                        [this](std::string_view b) { return pinned(kMirrorListPath, b); });
    if (!pinned(kMirrorListPath, body) || !parseMirrorList(body, &list).empty())
        return signedDigestMismatch(kMirrorListPath);
    for (const std::string& url : list.urls) m_ctx.mirrors.add(url);
    std::string stored;
    if (readTrustStore(m_ctx.gameDir, kMirrorStoreLeaf, &stored) != StoreRead::kRead || stored != body)
        if (!writeTrustStore(m_ctx.gameDir, kMirrorStoreLeaf, body))
            m_ctx.ui.Note("could not keep the mirror list in data/quillon.mirrors");
    return std::nullopt;
}

// --- What the announcement names ---

bool Trust::announces(const std::string& path) const {
    return !m_keyed || m_announcement.files.count(path) != 0;
}

std::optional<PatchFailure> Trust::checkControlFile(const std::string& path, std::string_view body) const {
    if (!m_keyed || pinned(path, body)) return std::nullopt;
    return signedDigestMismatch(path);
}

std::optional<PatchFailure> Trust::checkLatest(std::uint32_t offered, std::uint32_t recorded) const {
    if (auto failure = refuseRollback(offered, recorded)) return failure;
    if (!m_keyed || offered == m_announcement.revision) return std::nullopt;
    // lastrev.txt is no signed file: a revision beyond the announced one is
    // a fast-forward, one behind it a mix of two states of the server.
    char text[256];
    std::snprintf(text, sizeof text, "The Update Server offers revision %u, but its signed announcement names revision %u.",
                  static_cast<unsigned>(offered), static_cast<unsigned>(m_announcement.revision));
    return signatureFailure(text);
}

}  // namespace quillon
