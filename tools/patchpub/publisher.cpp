#include "tools/patchpub/publisher.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "patcher/protocol/delta_list.h"
#include "patcher/protocol/delta_patch.h"
#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/line_files.h"
#include "shared/name_case.h"
#include "shared/patch_file.h"
#include "shared/posix_io.h"
#include "tools/patchpub/content_names.h"
#include "tools/patchpub/content_scan.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/server_tree.h"
#include "tools/patchpub/signing.h"
#include "tools/patchpub/tree_files.h"
#include "tools/patchpub/trust_tree.h"
#include "tools/patchpub/verify_tree.h"

namespace fs = std::filesystem;

namespace patchpub {

namespace {

std::string leafOf(const std::string& name) { return name.substr(name.rfind('/') + 1); }

bool wantsCompression(const PublishOptions& options, const std::string& name) {
    // A plain file named with a trailing underscore would be unpacked by the
    // client, so it can only travel packed.
    if (name.back() == '_') return true;
    for (const std::string& pattern : options.compress)
        if (::fnmatch(pattern.c_str(), name.c_str() + 1, 0) == 0) return true;
    return false;
}

// The bytes below data/ for one content file: packed when asked for and
// smaller, else the file itself. `content` is the digest of what was read:
// a file rewritten since it was first hashed must not be recorded as its
// older bytes, or the next run would take them for published.
bool preparePublished(const PublishOptions& options, const std::string& name, std::string* bytes,
                      quillon::Digest* content, bool* compressed, std::string* error) {
    if (!readWholeFile(options.contentDir + name, bytes)) {
        *error = "cannot read " + options.contentDir + name + errnoReason();
        return false;
    }
    *content = quillon::md5OfBytes(bytes->data(), bytes->size());
    *compressed = false;
    if (!wantsCompression(options, name)) return true;
    std::vector<std::uint8_t> image;
    const quask::PatchStatus status = quask::patchCompress(
        reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size(), name.back(), &image);
    if (status == quask::PatchStatus::Ok && image.size() < bytes->size()) {
        bytes->assign(image.begin(), image.end());
        *compressed = true;
        return true;
    }
    if (name.back() == '_') {
        *error = "'" + name + "' ends in an underscore and does not compress (" +
                 quask::patchStatusText(status) + ")";
        return false;
    }
    return true;
}

std::string dateLine(std::int64_t now) {
    const std::time_t t = now >= 0 ? static_cast<std::time_t>(now) : std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "DATE:%Y-%m-%d %H:%M:%S\n", &tm);
    return text;
}

}  // namespace

// --- Publishing ---

namespace {

struct Plan {
    std::string dataLines;
    std::string sumLines;
    std::vector<std::string> staleData;  // published names to remove below data/
    // stale name -> the published name that differs from it only in case
    std::map<std::string, std::string> caseTwins;
    std::vector<std::string> deletes;    // names for delete lines, in their order
    quillon::DeltaList deltas;
};

quillon::ByteView viewOf(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// A patch from the published file `oldPath` to `bytes` when it pays: the
// player fetches it instead of the file, so it must be well under half.
bool addDelta(const std::string& root, const std::string& oldPath, const std::string& name,
              const std::string& bytes, Plan* plan, std::string* error) {
    // The patch is named after its file with a suffix; a name that leaves no
    // room for it is published whole only, as launchers that know no patches
    // fetch it anyway.
    const std::string patchPath = quillon::deltaPatchPath(plan->deltas.revision, name);
    if (leafOf(patchPath).size() > kLongestName) return true;
    std::string base, patch;
    const ReadResult read = readIfPresent(oldPath, &base);
    if (read == ReadResult::kMissing) return true;  // nothing to patch from
    if (read == ReadResult::kFailed) {
        *error = "cannot read " + oldPath + errnoReason();
        return false;
    }
    if (!quillon::makeDeltaPatch(viewOf(base), viewOf(bytes), &patch)) {
        *error = "cannot make a delta patch for " + name;
        return false;
    }
    if (patch.size() * 2 >= bytes.size()) return true;
    const std::string path = root + "/" + patchPath;
    if (!writeReplacing(path, patch)) {
        *error = "cannot write " + path + errnoReason();
        return false;
    }
    plan->deltas.entries.push_back(
        {name, quillon::signedDigestOf(base), quillon::signedDigestOf(bytes), patch.size()});
    return true;
}

// A file whose other form (packed or plain) is still in some client's list
// gets a delete for that form after its fetch: the client then removes the
// other form first and never lets an older download win.
void addFetch(Plan& plan, const std::set<std::string>& listed, const std::string& name,
              const ManifestFile& file, bool isNew) {
    const std::string published = file.compressed ? quask::patchPackedPath(name) : name;
    const std::string other = file.compressed ? name : quask::patchPackedPath(name);
    plan.dataLines += std::string("DATA:file:") + (isNew ? "A:" : "M:") + published + "\n";
    if (other != published && listed.count(other)) plan.deletes.push_back(other);
    plan.sumLines += "SUM:" + quillon::digestHex(file.published) + ":" + published + "\n";
}

bool buildPlan(const PublishOptions& options, const std::string& root, const Manifest& old,
               const ContentTree& tree, const std::set<std::string>& listed, Manifest* next, Plan* plan,
               PublishResult* result, std::string* error) {
    for (const std::string& dir : tree.directories) {
        if (old.directories.count(dir)) continue;
        plan->dataLines += "DATA:dir:A:" + dir + "\n";
        ++result->directories;
    }
    next->directories = tree.directories;
    std::map<std::string, std::string> publishedNames;  // published name -> content name
    std::map<std::string, std::string> foldedNames;     // the same, as drives that ignore case see them
    PublishProgress progress;
    progress.phase = PublishProgress::Publishing;
    progress.total = tree.files.size();
    for (const auto& [name, digest] : tree.files) {
        if (options.progress) {
            ++progress.files;
            options.progress(progress);
        }
        const auto before = old.files.find(name);
        if (before != old.files.end() && before->second.content == digest) {
            next->files[name] = before->second;
        } else {
            std::string bytes;
            ManifestFile file;
            if (!preparePublished(options, name, &bytes, &file.content, &file.compressed, error)) return false;
            file.published = quillon::md5OfBytes(bytes.data(), bytes.size());
            const std::string published = file.compressed ? quask::patchPackedPath(name) : name;
            // Read before the new file replaces it in this tree.
            const bool patchable = options.delta && before != old.files.end() && !before->second.compressed &&
                                   !file.compressed;
            if (patchable && !addDelta(root, root + "/data" + name, name, bytes, plan, error)) return false;
            if (!writeReplacing(root + "/data" + published, bytes)) {
                *error = "cannot write " + root + "/data" + published + errnoReason();
                return false;
            }
            if (before != old.files.end() && before->second.compressed != file.compressed)
                plan->staleData.push_back(file.compressed ? name : quask::patchPackedPath(name));
            addFetch(*plan, listed, name, file, before == old.files.end());
            ++(before == old.files.end() ? result->added : result->modified);
            next->files[name] = file;
        }
        const ManifestFile& kept = next->files[name];
        const std::string published = kept.compressed ? quask::patchPackedPath(name) : name;
        publishedNames.emplace(published, name);
        if (const auto [at, added] = foldedNames.emplace(quask::foldedCase(published), name); !added) {
            *error = "'" + shownName(name) + "' would be published under a name that another file uses ('" +
                     shownName(at->second) + "')";
            return false;
        }
    }
    for (const auto& [name, file] : old.files) {
        if (tree.files.count(name)) continue;
        const std::string packed = quask::patchPackedPath(name);
        if (isClientsOwn(name)) {
            // Published by an older tool: it leaves the full list, so that a
            // full check leaves players their own, and gets no delete line.
            // The earlier revisions still list it for a fresh install, so
            // the tree keeps serving it.
            continue;
        }
        plan->deletes.push_back(name);
        if (packed != name && listed.count(packed)) plan->deletes.push_back(packed);
        plan->staleData.push_back(file.compressed ? packed : name);
        ++result->deleted;
    }
    // A name one file gave up may be what another file is published as now
    // ("a.ma_" of a packed "a.map" and a file named "a.ma_"): a delete line
    // would win over that file's fetch, and its bytes would leave the tree.
    for (const std::string& name : plan->deletes)
        if (!publishedNames.count(name)) plan->dataLines += "DATA:file:D:" + name + "\n";
    plan->staleData.erase(std::remove_if(plan->staleData.begin(), plan->staleData.end(),
                                         [&](const std::string& n) { return publishedNames.count(n) > 0; }),
                          plan->staleData.end());
    for (const std::string& stale : plan->staleData)
        if (const auto twin = foldedNames.find(quask::foldedCase(stale)); twin != foldedNames.end()) {
            const ManifestFile& file = next->files[twin->second];
            plan->caseTwins[stale] = file.compressed ? quask::patchPackedPath(twin->second) : twin->second;
        }
    return true;
}

// Whether the tree below `dataDir` holds two names that fold alike as files
// of their own: the folder above the first part in which they differ lists
// both parts. A folder renamed by case ("/Maps/a" to "/maps/a") leaves the
// leaves alike, so the leaves' folder cannot tell.
bool heldApart(const std::string& dataDir, const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    if (i == 0 || i == a.size() || i == b.size()) return true;
    const std::size_t at = a.rfind('/', i - 1), endA = std::min(a.find('/', i), a.size());
    const std::string partA = a.substr(at + 1, endA - at - 1), partB = b.substr(at + 1, b.find('/', i) - at - 1);
    std::error_code ec;
    bool seenA = false, seenB = false;
    for (fs::directory_iterator it(dataDir + a.substr(0, at), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string leaf = it->path().filename().string();
        seenA = seenA || leaf == partA;
        seenB = seenB || leaf == partB;
    }
    return seenA && seenB;
}

bool writeIfMissing(const std::string& path, const std::string& text) {
    if (::access(path.c_str(), F_OK) == 0) return true;
    return writeReplacing(path, text);
}

bool anythingChanged(const Manifest& old, const ContentTree& tree) {
    if (tree.files.size() != old.files.size()) return true;
    for (const std::string& dir : tree.directories)
        if (!old.directories.count(dir)) return true;
    for (const auto& [name, digest] : tree.files) {
        const auto before = old.files.find(name);
        if (before == old.files.end() || before->second.content != digest) return true;
    }
    return false;
}

// A content directory without the data/ folder that the live revision has
// files in (an empty folder, a mount that is missing, data/ itself given)
// is no game directory: publishing it would delete the game for every
// player. An empty data/ folder is a game whose files all went.
bool refuseGameless(const PublishOptions& options, const Manifest& old, std::string* error) {
    const auto held = static_cast<std::size_t>(std::count_if(
        old.files.begin(), old.files.end(), [](const auto& f) { return f.first.rfind("/data/", 0) == 0; }));
    std::error_code ec;
    if (held == 0 || fs::is_directory(fs::path(options.contentDir) / "data", ec)) return true;
    *error = options.contentDir + " holds no data/ folder, and revision " + std::to_string(old.revision) + " has " +
             std::to_string(held) + " files in one: it is not the game directory, and publishing it would delete " +
             "them for every player";
    return false;
}

// The revision's files in the tree at `root`, lastrev.txt among them.
bool writeRevision(const PublishOptions& options, const std::string& root, const Manifest& old,
                   const ContentTree& tree, const std::set<std::string>& listed, PublishResult* result,
                   std::string* error) {
    Manifest next;
    next.revision = old.revision + 1;
    Plan plan;
    plan.deltas.revision = next.revision;
    if (!buildPlan(options, root, old, tree, listed, &next, &plan, result, error)) return false;
    const std::string rev = std::to_string(next.revision);
    std::string meta = "REV:" + rev + "\n" + dateLine(options.now) + plan.dataLines;
    if (!plan.deltas.entries.empty()) {
        // Its line comes before the message, where every launcher's scan ends.
        const std::string deltaList = quillon::deltaListText(plan.deltas);
        if (!writeReplacing(root + "/" + quillon::deltaListPath(next.revision), deltaList)) {
            *error = "cannot write the delta list below " + root + errnoReason();
            return false;
        }
        meta += quillon::deltaMarkerLine(quillon::signedDigestOf(deltaList));
        result->deltas = static_cast<unsigned>(plan.deltas.entries.size());
    }
    if (!options.message.empty())
        meta += "MSG:" + std::to_string(options.message.size()) + ":" + options.message;
    std::string full = "REV:" + rev + "\n";
    for (const auto& [name, file] : next.files)
        full += "SUM:" + quillon::digestHex(file.published) + ":" +
                (file.compressed ? quask::patchPackedPath(name) : name) + "\n";
    const std::string metaDir = root + "/meta/";
    std::string failed;  // the file that could not be written
    const auto put = [&failed](bool (*write)(const std::string&, const std::string&), const std::string& path,
                               const std::string& text) {
        if (write(path, text)) return true;
        failed = path;
        return false;
    };
    const bool written = put(writeReplacing, metaDir + rev + ".txt", meta) &&
                         put(writeReplacing, metaDir + "sum_" + rev + ".txt", "REV:" + rev + "\n" + plan.sumLines) &&
                         put(writeReplacing, metaDir + "sum_full.txt", full) &&
                         put(writeReplacing, metaDir + "manifest.txt", manifestText(next)) &&
                         put(writeIfMissing, root + "/allow.txt", "allow") &&
                         put(writeIfMissing, root + "/notice.txt", "No news.\n") &&
                         put(writeIfMissing, root + "/notice_close.txt",
                             "The game is under maintenance. Please try again later.\n") &&
                         put(writeReplacing, root + "/lastrev.txt", "REV:" + rev + "\n");
    if (!written) {
        *error = "cannot write " + failed + errnoReason();
        return false;
    }
    // Not served yet: older forms can go at once. One that stays would be
    // served, and mirrored, for good: no later run knows it is there.
    for (const std::string& stale : plan.staleData) {
        const std::string path = root + "/data" + stale;
        // A server tree that ignores case holds a renamed file under its old
        // name too: removing that name would remove the new file.
        // Inode numbers do not tell (FUSE drives number each name apart);
        // the directory does: it holds one entry for both names.
        if (const auto twin = plan.caseTwins.find(stale);
            twin != plan.caseTwins.end() && !heldApart(root + "/data", stale, twin->second))
            continue;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = "cannot remove " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// Nothing changed in the content: that is success only when players can
// take what is served, as a publish with changes would find out when it
// signs. A file changed by hand below data/ must not pass unseen.
bool liveTreeServes(const PublishOptions& options, const Manifest& old, std::string* error) {
    if (old.revision == 0) return true;
    VerifyReport report;
    if (verifyTree(options.serverDir, VerifyOptions{options.clock >= 0 ? options.clock : -1}, &report)) return true;
    *error = "nothing changed in the content, but launchers refuse the live tree of revision " +
             std::to_string(old.revision) + ": " + report.problems[0];
    for (std::size_t i = 1; i < report.problems.size() && i < 5; ++i) *error += "; " + report.problems[i];
    if (!report.repairs.empty()) *error += "\nto mend: " + report.repairs[0];
    return false;
}

// Everything that can be checked before a byte is written.
bool checkFirst(const PublishOptions& options, const Manifest& old, SigningKey* key, std::string* error) {
    if (options.message.size() > 99999) {
        *error = "the message is longer than 99999 bytes";
        return false;
    }
    if (options.validDays < 1 || options.validDays > 3660) {
        *error = "--valid takes days from 1 to 3660";
        return false;
    }
    if (!options.signKey.empty()) return key->load(options.signKey, error);
    // Launchers with the key would refuse the next revision, and the full
    // list's signature would no longer match.
    struct stat st;
    if (old.revision > 0 &&
        ::stat((options.serverDir + "/" + quillon::revisionSignaturePath(old.revision)).c_str(), &st) == 0) {
        *error = "revision " + std::to_string(old.revision) +
                 " of the server is signed: publish the next one with --sign KEYFILE as well";
        return false;
    }
    return true;
}

}  // namespace

namespace {

// `path` is `folder` or lies below it.
bool within(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p)
        if (p == path.end() || *p != *f) return false;
    return true;
}

// The server tree and the content must be apart: a server tree inside the
// content would be published as game content (its lock file among it), and
// content inside the server tree would be served and linked into every
// next tree. SERVER_DIR must be a tree or a link to one, or not be yet.
bool checkPlaces(const PublishOptions& options, std::string* error) {
    struct stat st;
    const std::string& server = options.serverDir;
    if (::lstat(server.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        struct stat target;
        const bool linkToDir = S_ISLNK(st.st_mode) && ::stat(server.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        if (!linkToDir) {
            *error = server + (S_ISLNK(st.st_mode) ? " is a link to no directory" : " is a file") +
                     ", not a patch server tree: give a directory, a link to one or a path that does not exist yet";
            return false;
        }
    }
    std::error_code ec;
    const fs::path content = fs::weakly_canonical(options.contentDir, ec);
    const fs::path places[] = {fs::weakly_canonical(fs::absolute(server, ec).lexically_normal(), ec),
                               fs::absolute(server, ec).lexically_normal(),
                               fs::weakly_canonical(server + ".trees", ec)};
    for (const fs::path& place : places) {
        if (place.empty() || content.empty()) continue;
        if (within(place, content)) {
            *error = "the server tree " + server + " lies inside the content directory " + options.contentDir +
                     ": its files would be published as game content; keep it outside";
            return false;
        }
        if (within(content, place)) {
            *error = "the content directory " + options.contentDir + " lies inside the server tree " + server +
                     "; keep it outside";
            return false;
        }
    }
    return true;
}

// The content's launcher must trust the keys of the tree it is published to.
bool launcherTrustsTree(const PublishOptions& options, const std::string& tree, PublishResult* result,
                        std::string* error) {
    std::vector<quillon::RootOfTrust> chain;
    return loadRootChain(tree, &chain, error) &&
           checkLauncherTrust(options.contentDir, chain, &result->warnings, error);
}

}  // namespace

// Players are told the server is closed while allow.txt holds anything but
// exactly "allow" ("echo allow >" writes a line end too): a publisher who
// closed it for the publish should not forget.
void warnWhenClosed(const std::string& serverDir, std::vector<std::string>* warnings) {
    std::string body;
    if (readIfPresent(serverDir + "/allow.txt", &body) != ReadResult::kRead || quillon::isPatchingAllowed(body))
        return;
    warnings->push_back("allow.txt does not hold exactly 'allow': launchers tell players the server is closed "
                        "(printf allow > allow.txt opens it)");
}

bool publishRevision(const PublishOptions& options, PublishResult* result, std::string* error) {
    *result = PublishResult{};
    struct stat st;
    const bool found = ::stat(options.contentDir.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {  // before any word about keys or the server
        *error = "cannot read the content directory " + options.contentDir + ": " +
                 std::strerror(found ? ENOTDIR : errno);
        return false;
    }
    if (!checkPlaces(options, error)) return false;
    ServerTrees trees(options.serverDir);
    if (!trees.lock(error)) return false;
    // contentkit holds the folder exclusive while it writes, and the content
    // must not change while it is read.
    quask::UniqueFd contentLock;
    if (quask::lockFolder(options.contentDir, false, &contentLock) == quask::FolderLock::Busy) {
        *error = "contentkit is writing to the content directory " + options.contentDir +
                 "; publish once it has finished";
        return false;
    }
    // Left by a contentkit run stopped among its moves: some of its files
    // are in place, the rest not yet.
    std::error_code unused;
    if (fs::exists(fs::symlink_status(fs::path(options.contentDir) / ".contentkit.moves", unused))) {
        *error = "contentkit was stopped while it moved its files into " + options.contentDir +
                 ", which holds some of them; the next contentkit build-demo or import-tiled there finishes the "
                 "moves, or remove its list .contentkit.moves to publish the files as they are";
        return false;
    }
    Manifest old;
    if (!loadServerState(options.serverDir, &old, error)) return false;
    result->revision = old.revision;
    SigningKey key;
    if (!checkFirst(options, old, &key, error)) return false;
    if (!key.exposure().empty()) result->warnings.push_back(key.exposure());
    if (!key.loaded()) warnOfKeyedLauncher(options.contentDir, &result->warnings);
    std::set<std::string> listed, listedFolders;
    if (!collectListedNames(options.serverDir, old.revision, &listed, error, &listedFolders)) return false;
    ContentTree tree;
    const bool scanned = scanContent(options, &tree, &result->warnings, error);
    std::sort(result->warnings.begin(), result->warnings.end());  // not in directory order
    if (!scanned) return false;
    warnWhenClosed(options.serverDir, &result->warnings);
    if (!anythingChanged(old, tree)) return liveTreeServes(options, old, error);
    if (!refuseGameless(options, old, error) || !refuseKindChanges(tree, listed, listedFolders, error)) return false;

    const std::uint32_t next = old.revision + 1;
    std::string building;
    if (!trees.beginNext(next, &building, error)) return false;
    PublishResult counts = *result;
    FinishTree how;
    how.key = key.loaded() ? &key : nullptr;
    how.now = options.clock >= 0 ? options.clock : static_cast<std::int64_t>(std::time(nullptr));
    how.expires = how.now + options.validDays * std::int64_t{86400};
    const bool built = writeRevision(options, building, old, tree, listed, &counts, error) &&
                       finishTree(building, next, how, &counts.signedEarlier, &counts.warnings, error) &&
                       (!key.loaded() || options.uncheckedLauncher || launcherTrustsTree(options, building, &counts, error));
    if (!built || !trees.switchTo(building, &counts.note, error)) {
        trees.discard(building);
        return false;
    }
    *result = counts;
    result->revision = next;
    result->published = true;
    if (key.loaded()) result->expires = how.expires;
    return true;
}

}  // namespace patchpub
