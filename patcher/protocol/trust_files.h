// The files that keep a launcher's trust current without new launchers: the
// root of trust, the certificate of the online signing key, the expiring
// announcement of the latest revision and the list of mirrors. Launchers
// that trust no key, in a game directory without a root, never ask for them.
//
// Every layout is text, every line ended by a line feed, no blank line, the
// header line first; lines of other kinds are skipped (a later version may
// add some), every known kind is read exactly as the writer spells it. Keys
// are base64 as signature.h reads them, times UTC as YYYY-MM-DDTHH:MM:SSZ.
//
// Root of trust, meta/root_<n>.txt for n = 1, 2, ... (a game directory keeps
// the newest one it took in data/quillon.root; there version 0 is the
// launcher's own key, taken before the server named any root):
//   QUASK-ROOT:1
//   VERSION:<n>
//   KEY:<key>          signs the next root, certificates, and may sign lists
//   REVOKE:<key>       a signing key no certificate may name any more (any
//                      number of these, in ascending order of their text)
// meta/root_<n>.sig holds 128 bytes: the signature by the previous root's key
// (for root 1: the key the launchers are built with), then the one by its own.
//
// Certificate, meta/signer.txt with 64 signature bytes by the root key in
// meta/signer.sig:
//   QUASK-CERT:1
//   KEY:<key>          the online signing key
//   EXPIRES:<time>
//
// Announcement, meta/announce.txt with 64 signature bytes by the signing key
// (or the root key) in meta/announce.sig:
//   QUASK-ANNOUNCE:1
//   REV:<revision>     the latest revision
//   ROOT:<n>           the root it is signed under
//   EXPIRES:<time>
//   LIST:<sha256>:<size>:<path>   the exact bytes of a file below the base
//                      URL: allow.txt, notice.txt, notice_close.txt,
//                      meta/files_<REV>.txt, meta/files_full.txt and
//                      meta/mirrors.txt as far as the server has them
//
// Mirror list, meta/mirrors.txt, vouched for by the announcement (a game
// directory keeps the last one in data/quillon.mirrors):
//   QUASK-MIRRORS:1
//   URL:<base URL>     http:// or https://, ending in a slash (any number)
//
// Parsers take the body as received and refuse anything they cannot read
// exactly; writers give the one spelling the parsers accept. Pure functions;
// any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/protocol/line_files.h"
#include "patcher/protocol/signature.h"

namespace quillon {

struct RootOfTrust {
    std::uint32_t version = 0;
    PublicKey key;
    std::vector<PublicKey> revoked;
};

struct SignerCertificate {
    PublicKey key;
    std::int64_t expires = 0;  // UTC seconds
};

struct Announcement {
    std::uint32_t revision = 0;
    std::uint32_t rootVersion = 0;
    std::int64_t expires = 0;
    std::map<std::string, SignedDigest> files;  // "allow.txt" -> its digest
};

struct MirrorList {
    std::vector<std::string> urls;
};

// Where they lie below the base URL.
std::string rootPath(std::uint32_t version);           // meta/root_<n>.txt
std::string rootSignaturePath(std::uint32_t version);  // meta/root_<n>.sig
constexpr char kSignerPath[] = "meta/signer.txt";
constexpr char kSignerSignaturePath[] = "meta/signer.sig";
constexpr char kAnnouncePath[] = "meta/announce.txt";
constexpr char kAnnounceSignaturePath[] = "meta/announce.sig";
constexpr char kMirrorListPath[] = "meta/mirrors.txt";
constexpr std::size_t kRootSignatureSize = 2 * kSignatureSize;
// None of these files is larger than this.
constexpr std::uint64_t kMaxTrustFile = 64 * 1024;
// How many roots one run may take.
constexpr std::uint32_t kMaxRootSteps = 1000;

// Each parser: empty on success, else why the body is not that file.
std::string parseRoot(std::string_view body, RootOfTrust* root);
std::string rootText(const RootOfTrust& root);
std::string parseCertificate(std::string_view body, SignerCertificate* cert);
std::string certificateText(const SignerCertificate& cert);
std::string parseAnnouncement(std::string_view body, Announcement* announcement);
std::string announcementText(const Announcement& announcement);
std::string parseMirrorList(std::string_view body, MirrorList* mirrors);
std::string mirrorListText(const MirrorList& mirrors);

// UTC seconds as "YYYY-MM-DDTHH:MM:SSZ" and back (false for anything else).
std::string utcTimeText(std::int64_t seconds);
bool parseUtcTime(std::string_view text, std::int64_t* seconds);
// The same time as "YYYY-MM-DD HH:MM:SS UTC", for the player; in any year.
std::string utcTimeForPlayer(std::int64_t seconds);

// The checks that launcher and publisher make alike.

bool sameKey(const PublicKey& a, const PublicKey& b);
bool isRevoked(const RootOfTrust& root, const PublicKey& key);

// Whether root `version`, with `text` and its 128 signature bytes `sig`, may
// follow `current`: it must be that version, above the current one, signed
// by its own key, and by the current key. A current root of version 0 (the
// launcher's own key, never confirmed by the server) takes instead the
// first root that names that key, which the roots before it never could.
enum class RootStep { kTaken, kSkipped, kDamaged, kNotSigned };
RootStep takeRoot(const RootOfTrust& current, std::uint32_t version, std::string_view text, std::string_view sig,
                  RootOfTrust* next);

// Whether the certificate `text` with signature `sig` names a signing key
// that `root` trusts at `now`.
enum class SignerCheck { kTrusted, kDamaged, kNotSigned, kRevoked, kExpired };
SignerCheck checkCertificate(const RootOfTrust& root, std::string_view text, std::string_view sig,
                             std::int64_t now, SignerCertificate* cert);

}  // namespace quillon
