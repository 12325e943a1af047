#include "patcher/protocol/trust_files.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/lines_internal.h"

namespace quillon {

namespace {

constexpr std::string_view kRootHeader = "QUASK-ROOT:1";
constexpr std::string_view kCertHeader = "QUASK-CERT:1";
constexpr std::string_view kAnnounceHeader = "QUASK-ANNOUNCE:1";
constexpr std::string_view kMirrorsHeader = "QUASK-MIRRORS:1";

// The lines of a body after its header; `read` gets each and returns why it
// is wrong, or nothing.
template <typename ReadLine>
std::string walkLines(std::string_view body, std::string_view header, ReadLine read) {
    if (body.empty() || body.back() != '\n') return "not ended by a line feed";
    LineWalk lines(body);
    std::string_view line;
    bool first = true;
    while (lines.next(&line)) {
        if (line.empty()) return "blank line";
        if (first) {
            if (line != header) return "wrong header";
            first = false;
            continue;
        }
        std::string problem = read(line);
        if (!problem.empty()) return problem;
    }
    return {};
}

bool readKeyField(std::string_view text, PublicKey* key) {
    const std::optional<PublicKey> parsed = parsePublicKey(text);
    if (!parsed) return false;
    *key = *parsed;
    return true;
}

// A field that may stand once: `seen` tells whether it did.
bool once(bool* seen) {
    if (*seen) return false;
    *seen = true;
    return true;
}

bool readTimeField(std::string_view text, bool* seen, std::int64_t* out) {
    return once(seen) && parseUtcTime(text, out);
}

bool readUint32Field(std::string_view text, bool* seen, std::uint32_t* out) {
    std::uint64_t v = 0;
    if (!once(seen) || !parseListDecimal(text, UINT32_MAX, &v)) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

bool isBaseUrl(std::string_view url) {
    std::size_t host = 0;
    if (startsWith(url, "http://")) host = 7;
    else if (startsWith(url, "https://")) host = 8;
    else return false;
    if (url.size() > 2048 || url.size() <= host + 1 || url.back() != '/' || url[host] == '/') return false;
    return std::none_of(url.begin(), url.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u >= 0x7F;
    });
}

bool keyLess(const PublicKey& a, const PublicKey& b) { return publicKeyText(a) < publicKeyText(b); }

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    // Howard Hinnant's days_from_civil: no time zone, no table.
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool digits(std::string_view text, std::size_t at, std::size_t count, unsigned* value) {
    *value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        *value = *value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

}  // namespace

std::string rootPath(std::uint32_t version) { return "meta/root_" + std::to_string(version) + ".txt"; }
std::string rootSignaturePath(std::uint32_t version) { return "meta/root_" + std::to_string(version) + ".sig"; }

// --- Times ---

std::string utcTimeText(std::int64_t seconds) {
    // A time before the earliest the format holds has passed: it must not
    // read as the latest, or an expiry counted from a clock set before 1970
    // would never come.
    if (seconds < 0) return "1970-01-01T00:00:00Z";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!::gmtime_r(&t, &tm) || tm.tm_year + 1900 > 9999) return "9999-12-31T23:59:59Z";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool parseUtcTime(std::string_view text, std::int64_t* seconds) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z')
        return false;
    unsigned y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, &y) || !digits(text, 5, 2, &mo) || !digits(text, 8, 2, &d) || !digits(text, 11, 2, &h) ||
        !digits(text, 14, 2, &mi) || !digits(text, 17, 2, &s))
        return false;
    static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) || h > 23 ||
        mi > 59 || s > 59)
        return false;
    *seconds = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

std::string utcTimeForPlayer(std::int64_t seconds) {
    // What a clock says is shown as it is, in any year: cut to what an
    // expiry can hold, a clock set far off would not show what is wrong.
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!::gmtime_r(&t, &tm)) return std::to_string(seconds) + " seconds since 1970 UTC";
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d UTC", static_cast<long long>(tm.tm_year) + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

// --- Root of trust ---

std::string parseRoot(std::string_view body, RootOfTrust* root) {
    *root = RootOfTrust{};
    bool sawVersion = false, sawKey = false;
    const std::string problem = walkLines(body, kRootHeader, [&](std::string_view line) -> std::string {
        PublicKey key;
        if (startsWith(line, "VERSION:")) {
            if (!readUint32Field(line.substr(8), &sawVersion, &root->version)) return "bad VERSION line";
        } else if (startsWith(line, "KEY:")) {
            if (!once(&sawKey) || !readKeyField(line.substr(4), &root->key)) return "bad KEY line";
        } else if (startsWith(line, "REVOKE:")) {
            if (!readKeyField(line.substr(7), &key)) return "bad REVOKE line";
            if (!root->revoked.empty() && !keyLess(root->revoked.back(), key)) return "REVOKE lines out of order";
            root->revoked.push_back(key);
        }
        return {};
    });
    if (!problem.empty()) return problem;
    if (!sawVersion || !sawKey) return "no VERSION or KEY line";
    return {};
}

std::string rootText(const RootOfTrust& root) {
    std::vector<PublicKey> revoked = root.revoked;
    std::sort(revoked.begin(), revoked.end(), keyLess);
    revoked.erase(std::unique(revoked.begin(), revoked.end(), sameKey), revoked.end());
    std::string text(kRootHeader);
    text += "\nVERSION:" + std::to_string(root.version) + "\nKEY:" + publicKeyText(root.key) + "\n";
    for (const PublicKey& key : revoked) text += "REVOKE:" + publicKeyText(key) + "\n";
    return text;
}

// --- Certificate ---

std::string parseCertificate(std::string_view body, SignerCertificate* cert) {
    *cert = SignerCertificate{};
    bool sawKey = false, sawExpiry = false;
    const std::string problem = walkLines(body, kCertHeader, [&](std::string_view line) -> std::string {
        if (startsWith(line, "KEY:")) {
            if (!once(&sawKey) || !readKeyField(line.substr(4), &cert->key)) return "bad KEY line";
        } else if (startsWith(line, "EXPIRES:")) {
            if (!readTimeField(line.substr(8), &sawExpiry, &cert->expires)) return "bad EXPIRES line";
        }
        return {};
    });
    if (!problem.empty()) return problem;
    if (!sawKey || !sawExpiry) return "no KEY or EXPIRES line";
    return {};
}

std::string certificateText(const SignerCertificate& cert) {
    return std::string(kCertHeader) + "\nKEY:" + publicKeyText(cert.key) + "\nEXPIRES:" + utcTimeText(cert.expires) +
           "\n";
}

// --- Announcement ---

std::string parseAnnouncement(std::string_view body, Announcement* a) {
    *a = Announcement{};
    bool sawRev = false, sawRoot = false, sawExpiry = false;
    const std::string problem = walkLines(body, kAnnounceHeader, [&](std::string_view line) -> std::string {
        if (startsWith(line, "REV:")) {
            if (!readUint32Field(line.substr(4), &sawRev, &a->revision) || a->revision == 0) return "bad REV line";
        } else if (startsWith(line, "ROOT:")) {
            if (!readUint32Field(line.substr(5), &sawRoot, &a->rootVersion)) return "bad ROOT line";
        } else if (startsWith(line, "EXPIRES:")) {
            if (!readTimeField(line.substr(8), &sawExpiry, &a->expires)) return "bad EXPIRES line";
        } else if (startsWith(line, "LIST:")) {
            const std::string_view rest = line.substr(5);
            SignedDigest digest;
            const std::size_t colon = rest.size() > 65 ? rest.find(':', 65) : std::string_view::npos;
            if (rest.size() < 67 || rest[64] != ':' || colon == std::string_view::npos ||
                !parseListSha256(rest.substr(0, 64), &digest.sha256) ||
                !parseListDecimal(rest.substr(65, colon - 65), UINT64_MAX, &digest.size))
                return "bad LIST line";
            const std::string path(rest.substr(colon + 1));
            if (!isSafeContentName("/" + path) || !a->files.emplace(path, digest).second) return "bad LIST line";
        }
        return {};
    });
    if (!problem.empty()) return problem;
    if (!sawRev || !sawRoot || !sawExpiry) return "no REV, ROOT or EXPIRES line";
    return {};
}

std::string announcementText(const Announcement& a) {
    std::string text(kAnnounceHeader);
    text += "\nREV:" + std::to_string(a.revision) + "\nROOT:" + std::to_string(a.rootVersion) +
            "\nEXPIRES:" + utcTimeText(a.expires) + "\n";
    for (const auto& [path, d] : a.files)
        text += "LIST:" + sha256Hex(d.sha256) + ":" + std::to_string(d.size) + ":" + path + "\n";
    return text;
}

// --- Mirror list ---

std::string parseMirrorList(std::string_view body, MirrorList* mirrors) {
    *mirrors = MirrorList{};
    return walkLines(body, kMirrorsHeader, [&](std::string_view line) -> std::string {
        if (!startsWith(line, "URL:")) return {};
        const std::string_view url = line.substr(4);
        if (!isBaseUrl(url)) return "bad URL line";
        if (std::find(mirrors->urls.begin(), mirrors->urls.end(), url) != mirrors->urls.end())
            return "URL named twice";
        mirrors->urls.emplace_back(url);
        return {};
    });
}

std::string mirrorListText(const MirrorList& mirrors) {
    std::string text(kMirrorsHeader);
    text += "\n";
    for (const std::string& url : mirrors.urls) text += "URL:" + url + "\n";
    return text;
}

// --- Checks ---

bool sameKey(const PublicKey& a, const PublicKey& b) { return a.bytes == b.bytes; }

bool isRevoked(const RootOfTrust& root, const PublicKey& key) {
    return std::any_of(root.revoked.begin(), root.revoked.end(), [&](const PublicKey& k) { return sameKey(k, key); });
}

RootStep takeRoot(const RootOfTrust& current, std::uint32_t version, std::string_view text, std::string_view sig,
                  RootOfTrust* next) {
    if (!parseRoot(text, next).empty() || next->version != version || version <= current.version ||
        sig.size() != kRootSignatureSize)
        return RootStep::kDamaged;
    if (!verifySignature(next->key, text, sig.substr(kSignatureSize))) return RootStep::kNotSigned;
    if (verifySignature(current.key, text, sig.substr(0, kSignatureSize))) return RootStep::kTaken;
    if (current.version != 0) return RootStep::kNotSigned;
    return sameKey(next->key, current.key) ? RootStep::kTaken : RootStep::kSkipped;
}

SignerCheck checkCertificate(const RootOfTrust& root, std::string_view text, std::string_view sig, std::int64_t now,
                             SignerCertificate* cert) {
    if (!parseCertificate(text, cert).empty() || sig.size() != kSignatureSize) return SignerCheck::kDamaged;
    if (!verifySignature(root.key, text, sig)) return SignerCheck::kNotSigned;
    if (isRevoked(root, cert->key)) return SignerCheck::kRevoked;
    if (now > cert->expires) return SignerCheck::kExpired;
    return SignerCheck::kTrusted;
}

}  // namespace quillon
