#include "tools/patchpub/content_scan.h"

#include <filesystem>
#include <tuple>

#include "patcher/protocol/line_files.h"
#include "shared/name_case.h"
#include "tools/patchpub/content_names.h"
#include "tools/patchpub/tree_files.h"

namespace fs = std::filesystem;

namespace patchpub {

namespace {

std::string leafOf(const std::string& name) { return name.substr(name.rfind('/') + 1); }
std::string parentOf(const std::string& name) { return name.substr(0, name.rfind('/')); }

// Two content names that a player's FAT or NTFS drive takes for one: both
// would install, the second over the first, and neither check would see it.
// Names alike once composed (NFC) are one file to contentkit and the client,
// which open an author's files by the loose key, and to macOS drives.
bool refuseCaseClashes(const ContentTree& tree, std::string* error) {
    std::set<std::string> names(tree.directories);
    for (const auto& file : tree.files) names.insert(file.first);
    std::map<std::string, std::string> byFolded, byLoose;
    for (const std::string& name : names) {
        auto [at, added] = byFolded.emplace(quask::foldedCase(name), name);
        const bool byCase = !added;
        if (added) std::tie(at, added) = byLoose.emplace(quask::looseNameKey(name), name);
        if (added) continue;
        // Composed and decomposed accents look the same on a terminal: the
        // reason must say what tells them apart.
        *error = "refusing content names '" + shownName(at->second) + "' and '" + shownName(name) +
                 (byCase ? "': they differ only in case, and on players' drives that ignore case one would replace "
                           "the other"
                         : "': they differ only in how their accents are composed (and perhaps in case), and "
                           "contentkit, the client and drives that compose accents take them for one file");
        return false;
    }
    return true;
}

}  // namespace

bool scanContent(const PublishOptions& options, ContentTree* tree, std::vector<std::string>* warnings,
                 std::string* error) {
    const std::string& root = options.contentDir;
    PublishProgress progress;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    if (ec) {
        *error = "cannot read the content directory " + root + ": " + ec.message();
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const std::string name = "/" + it->path().lexically_relative(root).generic_string();
        if (isLauncherOwned(name)) continue;
        const fs::file_status st = it->symlink_status(ec);
        if (const char* why = writtenByTheClient(name)) {
            warnings->push_back("not publishing '" + name + "': " + why);
            if (fs::is_directory(st)) it.disable_recursion_pending();
            continue;
        }
        const char* leftBy = fs::is_regular_file(st) ? leftBehindBy(name) : nullptr;
        if (leftBy && !quillon::hasStagingSuffix(parentOf(name))) {
            warnings->push_back("not publishing '" + name + "': a file " + leftBy + " left behind");
            continue;
        }
        if (const std::string why = refusalOf(name); !why.empty()) {
            *error = "refusing content name '" + shownName(name) + "': " + why;
            return false;
        }
        if (unsafeForPlayers(name))
            warnings->push_back("'" + name + "' ends a name in a dot or a space: players on Windows cannot install it");
        if (fs::is_directory(st)) {
            tree->directories.insert(name);
        } else if (fs::is_regular_file(st)) {
            if (leafOf(name).size() > kLongestLeaf) {
                *error = "refusing content name '" + name + "': a file name of " +
                         std::to_string(leafOf(name).size()) + " bytes leaves no room for the launcher's " +
                         "download beside it (at most " + std::to_string(kLongestLeaf) + ")";
                return false;
            }
            quillon::Digest digest{};
            if (!quillon::Md5OfFile(it->path().string(), &digest)) {
                *error = "cannot read " + it->path().string() + errnoReason();
                return false;
            }
            tree->files[name] = digest;
            if (options.progress) {
                ++progress.files;
                std::error_code sizeError;  // a size only for the display
                const std::uintmax_t size = it->file_size(sizeError);
                if (!sizeError) progress.bytes += size;
                options.progress(progress);
            }
        } else if (fs::is_symlink(st)) {
            *error = "refusing content '" + shownName(name) + "': it is a symbolic link, which players' launchers " +
                     "do not make; put the file or folder itself in its place";
            return false;
        } else {
            *error = "'" + name + "' is neither a plain file nor a directory";
            return false;
        }
    }
    if (ec) {
        *error = "cannot read the content directory: " + ec.message();
        return false;
    }
    return refuseCaseClashes(*tree, error);
}

// A name published as a file cannot become a folder, nor the reverse: the
// latest revision decides each name, so a player coming from before the
// file's delete line never gets it and keeps the file in the folder's way,
// and launchers never remove folders at all.
bool refuseKindChanges(const ContentTree& tree, const std::set<std::string>& listedFiles,
                       const std::set<std::string>& listedFolders, std::string* error) {
    for (const std::string& dir : tree.directories)
        if (listedFiles.count(dir)) {
            *error = "refusing content folder '" + shownName(dir) + "': an earlier revision published it as a file, " +
                     "and players' launchers that still hold the file would keep it in the folder's way; give the " +
                     "folder another name";
            return false;
        }
    for (const auto& file : tree.files)
        if (listedFolders.count(file.first)) {
            *error = "refusing content file '" + shownName(file.first) + "': an earlier revision published it as a " +
                     "folder, and players' launchers never remove folders; give the file another name";
            return false;
        }
    return true;
}

}  // namespace patchpub
