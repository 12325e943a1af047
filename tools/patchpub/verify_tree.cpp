#include "tools/patchpub/verify_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <optional>
#include <vector>

#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/revision_pack.h"
#include "patcher/protocol/trust_files.h"
#include "tools/patchpub/revision_packs.h"
#include "tools/patchpub/tree_files.h"
#include "tools/patchpub/trust_tree.h"

namespace patchpub {

namespace {

constexpr char kRefresh[] = "run: patchpub refresh SERVER_DIR --sign KEYFILE";
constexpr char kResign[] = "run: patchpub refresh SERVER_DIR --sign KEYFILE --resign";
constexpr char kRestore[] =
    "put back the file patchpub published below data/ (a file changed in place is changed in every tree of "
    "SERVER_DIR.trees/, which share it), or change that file in the content and publish a new revision";
// A fresh SERVER_DIR starts again at revision 1 and root 1: players of a
// signed tree would refuse it as older, so putting back comes first.
constexpr char kHandMade[] =
    "the tree was changed by hand: put back what was changed (SERVER_DIR.trees/ holds the earlier revisions "
    "whole); publishing into a fresh SERVER_DIR starts again at revision 1, which players of a signed tree "
    "refuse until it passes theirs";
constexpr char kLauncherKey[] =
    "ship a launcher built with cmake -DQUILLON_PUBLIC_KEY=<the root key>, or make the launcher's key the next "
    "root: patchpub rotate SERVER_DIR --root ROOTKEY --new-root LAUNCHERKEY --sign KEYFILE";
constexpr char kAnnouncementRefused[] = "the announcement is damaged or not signed by the root or its signing key";

class Checker {
public:
    Checker(const std::string& tree, const VerifyOptions& options, VerifyReport* report)
        : m_tree(tree), m_options(options), m_report(*report) {
        m_now = options.now >= 0 ? options.now : static_cast<std::int64_t>(std::time(nullptr));
    }

    void run() {
        checkLinks();
        std::string body;
        if (!read("lastrev.txt", &body) || (m_report.revision = quillon::parseLatestRevision(body)) == 0)
            return problem("lastrev.txt holds no revision", kHandMade);
        const std::uint32_t latest = m_report.revision;
        m_report.signedTree = present(quillon::revisionSignaturePath(latest)) || present(quillon::kAnnouncePath);
        if (m_report.signedTree && !checkAnnouncement(latest)) return;
        for (const char* control : {"allow.txt", "notice.txt", "notice_close.txt"}) checkPinned(control);
        quillon::UpdateList entries;
        quillon::MetadataScan scan;
        for (std::uint32_t rev = 1; rev <= latest && rev != 0; ++rev)
            if (!checkRevision(rev, entries, scan)) return;
        checkFetchedFiles(entries);
        checkFullList();
        for (std::uint64_t first = 1; m_options.checkPacks && first <= latest; first += quillon::kRevisionsPerPack)
            checkPack(static_cast<std::uint32_t>(first), latest);
    }

private:
    // Once each: a data file is named by its revision and by the full list.
    void problem(const std::string& what, const char* repair) {
        if (std::find(m_report.problems.begin(), m_report.problems.end(), what) == m_report.problems.end())
            m_report.problems.push_back(what);
        if (std::find(m_report.repairs.begin(), m_report.repairs.end(), repair) == m_report.repairs.end())
            m_report.repairs.push_back(repair);
    }

    bool present(const std::string& path) { return ::access((m_tree + "/" + path).c_str(), F_OK) == 0; }

    bool read(const std::string& path, std::string* body) {
        if (readWholeFile(m_tree + "/" + path, body)) return true;
        problem("cannot read " + path + errnoReason(), kHandMade);
        return false;
    }

    // patchpub writes no link into a tree: one planted there serves what
    // lies outside it, and the next tree would be written through it.
    void checkLinks() {
        std::vector<std::string> links;
        std::string error;
        if (!findLinks(m_tree, &links, &error)) return problem(error, kHandMade);
        for (const std::string& link : links)
            problem("the tree holds a link patchpub did not write: " + link, kHandMade);
    }

    bool signedByTrusted(std::string_view text, std::string_view sig) const {
        return std::any_of(m_keys.begin(), m_keys.end(),
                           [&](const quillon::PublicKey& k) { return quillon::verifySignature(k, text, sig); });
    }

    // The keys of the lists, as a launcher finds them: an announcement the
    // root key signed needs no certificate (the lists then need the root
    // key too); any other needs the signing key the root certifies.
    bool trustSigner(const quillon::RootOfTrust& root, std::string_view text, std::string_view sig) {
        m_keys.assign(1, root.key);
        if (quillon::verifySignature(root.key, text, sig)) return true;
        std::string certText, certSig;
        quillon::SignerCertificate cert;
        quillon::SignerCheck check = quillon::SignerCheck::kNotSigned;
        if (present(quillon::kSignerPath)) {
            if (!read(quillon::kSignerPath, &certText) || !read(quillon::kSignerSignaturePath, &certSig)) return false;
            check = quillon::checkCertificate(root, certText, certSig, m_now, &cert);
        }
        if (check == quillon::SignerCheck::kExpired) {
            problem("the signing key's certificate expired on " + quillon::utcTimeForPlayer(cert.expires),
                    "run: patchpub rotate SERVER_DIR --root ROOTKEY --sign KEYFILE");
            return false;
        }
        if (check == quillon::SignerCheck::kDamaged || check == quillon::SignerCheck::kRevoked) {
            problem("the signing key's certificate is damaged, revoked or not signed by the root", kHandMade);
            return false;
        }
        if (check == quillon::SignerCheck::kTrusted && quillon::verifySignature(cert.key, text, sig)) {
            m_keys.push_back(cert.key);
            return true;
        }
        problem(kAnnouncementRefused, kRefresh);
        return false;
    }

    // A new game directory starts from its launcher's key and takes the
    // first root that names it or that it signed: the launcher the tree
    // ships must find one, or its players take no update.
    void checkShippedLauncher(const std::vector<quillon::RootOfTrust>& chain) {
        std::string program, first, sig;
        const ReadResult read = readIfPresent(m_tree + "/data/quillon", &program);
        if (read == ReadResult::kFailed) return problem("cannot read data/quillon", kHandMade);
        const quillon::LauncherMarks marks = quillon::readLauncherMarks(program);
        const std::optional<quillon::PublicKey> key = quillon::parsePublicKey(marks.key);
        if (read != ReadResult::kRead || !key) return;
        for (const quillon::RootOfTrust& root : chain)
            if (quillon::sameKey(root.key, *key)) return;
        if (readWholeFile(m_tree + "/" + quillon::rootPath(1), &first) &&
            readWholeFile(m_tree + "/" + quillon::rootSignaturePath(1), &sig) &&
            quillon::verifySignature(*key, first, std::string_view(sig).substr(0, quillon::kSignatureSize)))
            return;
        problem("data/quillon trusts the key " + marks.key +
                    ", which no root of trust of the server names: a new game directory it starts takes no update",
                kLauncherKey);
    }

    bool checkAnnouncement(std::uint32_t latest) {
        std::vector<quillon::RootOfTrust> chain;
        std::string error, text, sig;
        if (!loadRootChain(m_tree, &chain, &error)) {
            problem(error, kHandMade);
            return false;
        }
        if (chain.empty()) {
            problem("no root of trust (meta/root_1.txt)", kRefresh);
            return false;
        }
        checkShippedLauncher(chain);
        const quillon::RootOfTrust& root = chain.back();
        if (!read(quillon::kAnnouncePath, &text) || !read(quillon::kAnnounceSignaturePath, &sig)) return false;
        if (!quillon::parseAnnouncement(text, &m_announcement).empty()) {
            problem(kAnnouncementRefused, kRefresh);
            return false;
        }
        if (!trustSigner(root, text, sig)) return false;
        m_report.expires = m_announcement.expires;
        if (m_announcement.revision != latest || m_announcement.rootVersion != root.version)
            problem("the announcement names revision " + std::to_string(m_announcement.revision) + " and root " +
                        std::to_string(m_announcement.rootVersion) + ", the tree has " + std::to_string(latest) +
                        " and " + std::to_string(root.version),
                    kRefresh);
        if (m_now > m_announcement.expires)
            problem("the announcement expired on " + quillon::utcTimeForPlayer(m_announcement.expires), kRefresh);
        for (const std::string& path : {std::string("allow.txt"), quillon::revisionListPath(latest),
                                        std::string(quillon::kFullListPath)})
            if (!m_announcement.files.count(path)) problem("the announcement does not name " + path, kRefresh);
        checkPinned(quillon::kMirrorListPath);
        return true;
    }

    // A file the announcement names must be exactly those bytes; one it
    // does not name a launcher with a key never asks for.
    void checkPinned(const std::string& path) {
        if (!m_report.signedTree) return;
        const auto it = m_announcement.files.find(path);
        std::string body;
        const ReadResult read = readIfPresent(m_tree + "/" + path, &body);
        if (read == ReadResult::kFailed) return problem("cannot read " + path, kHandMade);
        if (it == m_announcement.files.end()) {
            if (read == ReadResult::kRead) problem(path + " is not named by the announcement", kRefresh);
            return;
        }
        if (read != ReadResult::kRead || !quillon::sameDigest(it->second, quillon::signedDigestOf(body)))
            problem(path + " is not what the announcement names", kRefresh);
    }

    // The signed list of `path` with signature `sig`, when the tree is signed.
    std::optional<quillon::FileList> signedList(const std::string& path, const std::string& sigPath,
                                                quillon::FileList::Kind kind, std::uint32_t rev) {
        if (!m_report.signedTree) return quillon::FileList{};
        std::string text, sig;
        quillon::FileList list;
        if (!read(path, &text) || !read(sigPath, &sig)) return std::nullopt;
        if (!signedByTrusted(text, sig) || !quillon::parseFileList(text, &list).empty() || list.kind != kind ||
            (kind == quillon::FileList::kRevision && list.revision != rev)) {
            problem(path + " is not signed by the root or its signing key, or damaged", kResign);
            return std::nullopt;
        }
        const auto pin = m_announcement.files.find(path);
        if (pin != m_announcement.files.end() && !quillon::sameDigest(pin->second, quillon::signedDigestOf(text)))
            problem(path + " is not what the announcement names", kRefresh);
        return list;
    }

    bool listed(const quillon::FileList& list, const std::string& path, const std::string& body) {
        if (!m_report.signedTree) return true;
        const auto it = list.lists.find(path);
        if (it != list.lists.end() && quillon::sameDigest(it->second, quillon::signedDigestOf(body))) return true;
        problem(path + " is not what its signed list names", kResign);
        return false;
    }

    bool checkRevision(std::uint32_t rev, quillon::UpdateList& entries, quillon::MetadataScan& scan) {
        const std::string metaPath = "meta/" + std::to_string(rev) + ".txt";
        const std::string sumsPath = "meta/sum_" + std::to_string(rev) + ".txt";
        const std::optional<quillon::FileList> list =
            signedList(quillon::revisionListPath(rev), quillon::revisionSignaturePath(rev),
                       quillon::FileList::kRevision, rev);
        std::string meta, sums;
        bool hasFiles = false;
        if (!list || !read(metaPath, &meta) || !listed(*list, metaPath, meta)) return false;
        if (auto failure = quillon::parseRevisionMetadata(meta, rev, entries, scan, &hasFiles)) {
            problem(metaPath + ": " + failure->text, kHandMade);
            return false;
        }
        if (hasFiles) {
            if (!read(sumsPath, &sums) || !listed(*list, sumsPath, sums)) return false;
            if (auto failure = quillon::parseRevisionSums(sums, rev, entries)) {
                problem(sumsPath + ": " + failure->text, kHandMade);
                return false;
            }
        }
        for (const auto& [name, digest] : list->files) {
            quillon::UpdateFileEntry* e = entries.find(name);
            if (!e || e->type != quillon::UpdateFileEntry::kFile || e->action != quillon::UpdateFileEntry::kFetch ||
                e->signedDigest) {
                problem(quillon::revisionListPath(rev) + " signs '" + name + "', which the revision does not fetch",
                        kResign);
                continue;
            }
            e->signedDigest = digest;
        }
        return true;
    }

    // One data file against its MD5 digest and, signed, its SHA-256 digest;
    // each file is read once, however many lists name it.
    void checkData(const std::string& name, const quillon::Digest& md5, const quillon::SignedDigest* want) {
        const std::string path = m_tree + "/data" + name;
        if (!m_options.hashData) {
            if (::access(path.c_str(), R_OK) != 0) problem("data" + name + " is missing", kRestore);
            return;
        }
        auto it = m_hashed.find(name);
        if (it == m_hashed.end()) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            quillon::FileDigests got;
            const bool ok = fd >= 0 && quillon::digestsOfFd(fd, true, true, &got);
            if (fd >= 0) ::close(fd);
            it = m_hashed.emplace(name, ok ? std::optional<quillon::FileDigests>(got) : std::nullopt).first;
        }
        if (!it->second) return problem("cannot read data" + name, kRestore);
        if (it->second->md5 != md5 || (want && !quillon::sameDigest(it->second->signedDigest, *want)))
            problem("data" + name + " is not the file its revision published", kRestore);
    }

    void checkFetchedFiles(const quillon::UpdateList& entries) {
        for (const quillon::UpdateFileEntry& e : entries.newestFirst()) {
            if (e.type != quillon::UpdateFileEntry::kFile || e.action != quillon::UpdateFileEntry::kFetch) continue;
            if (m_report.signedTree && !e.signedDigest) {
                problem("'" + e.name + "' has no signed digest", kResign);
                continue;
            }
            checkData(e.name, e.digest, e.signedDigest ? &*e.signedDigest : nullptr);
        }
    }

    void checkFullList() {
        const std::optional<quillon::FileList> list =
            signedList(quillon::kFullListPath, quillon::kFullSignaturePath, quillon::FileList::kFull, 0);
        std::string body;
        std::uint32_t rev = 0;
        std::vector<quillon::FullSumEntry> sums;
        if (!list || !read("meta/sum_full.txt", &body) || !listed(*list, "meta/sum_full.txt", body)) return;
        if (auto failure = quillon::parseFullSums(body, &rev, &sums)) return problem(failure->text, kHandMade);
        if (m_report.signedTree && list->files.size() != sums.size())
            problem("the full list and its signature name different files", kResign);
        for (const quillon::FullSumEntry& sum : sums) {
            const auto it = list->files.find(sum.name);
            if (m_report.signedTree && it == list->files.end()) {
                problem("'" + sum.name + "' has no signed digest in the full list", kResign);
                continue;
            }
            checkData(sum.name, sum.digest, m_report.signedTree ? &it->second : nullptr);
        }
    }

    // A launcher takes from a pack what it would fetch of these revisions,
    // so it must be exactly their files. None is fine: launchers then fetch
    // them one by one (a tree of an older patchpub has none).
    void checkPack(std::uint32_t first, std::uint32_t latest) {
        const std::string path = quillon::revisionPackPath(first);
        const std::uint64_t last = std::uint64_t{first} + quillon::kRevisionsPerPack - 1;
        const std::string revisions = "revisions " + std::to_string(first) + " to " + std::to_string(last);
        std::string body, want, error;
        const ReadResult read = readIfPresent(m_tree + "/" + path, &body);
        if (read == ReadResult::kMissing) return;
        if (read == ReadResult::kFailed) return problem("cannot read " + path, kHandMade);
        std::vector<quillon::PackedFile> files;
        if (const std::string why = quillon::parseRevisionPack(body, first, &files); !why.empty())
            return problem(path + ": " + why, kHandMade);
        for (const quillon::PackedFile& file : files)
            if (!present(file.path)) return problem(path + " holds " + file.path + ", which the tree lacks", kHandMade);
        if (last > latest) return problem(path + " packs " + revisions + ", not all published yet", kHandMade);
        if (!packOfTree(m_tree, first, &want, &error)) return problem(error, kHandMade);
        if (body != want) problem(path + " is not what the files of " + revisions + " hold", kHandMade);
    }

    const std::string& m_tree;
    const VerifyOptions& m_options;
    VerifyReport& m_report;
    std::int64_t m_now = 0;
    std::vector<quillon::PublicKey> m_keys;
    quillon::Announcement m_announcement;
    std::map<std::string, std::optional<quillon::FileDigests>> m_hashed;
};

}  // namespace

bool verifyTree(const std::string& treeDir, const VerifyOptions& options, VerifyReport* report) {
    *report = VerifyReport{};
    Checker(treeDir, options, report).run();
    return report->problems.empty();
}

}  // namespace patchpub
