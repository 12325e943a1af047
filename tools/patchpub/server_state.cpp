#include <cstdio>
#include <sstream>

#include "patcher/protocol/digests.h"
#include "shared/patch_file.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/tree_files.h"

namespace patchpub {

namespace {

bool isHex32(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

void addParents(const std::string& name, std::set<std::string>* dirs) {
    for (std::size_t slash = name.find('/', 1); slash != std::string::npos;
         slash = name.find('/', slash + 1))
        dirs->insert(name.substr(0, slash));
}

// The manifest of an older tool run is gone: the full list says what is
// published, and the server's own packed files say what they hold.
bool rebuildFromFullSums(const std::string& serverDir, std::uint32_t revision, Manifest* manifest,
                         std::string* error) {
    std::string body;
    if (!readWholeFile(serverDir + "/meta/sum_full.txt", &body)) {
        *error = "cannot read meta/sum_full.txt (and no manifest)" + errnoReason();
        return false;
    }
    std::uint32_t listRev = 0;
    std::vector<quillon::FullSumEntry> sums;
    if (auto failure = quillon::parseFullSums(body, &listRev, &sums)) {
        *error = "meta/sum_full.txt: " + failure->text;
        return false;
    }
    for (const quillon::FullSumEntry& sum : sums) {
        ManifestFile file;
        file.published = sum.digest;
        std::string name = sum.name;
        if (name.back() == '_') {
            std::string image;
            std::vector<std::uint8_t> content;
            quask::PatchHeader header;
            if (!readWholeFile(serverDir + "/data" + sum.name, &image) ||
                quask::patchDecode(reinterpret_cast<const std::uint8_t*>(image.data()), image.size(),
                                   &content, &header) != quask::PatchStatus::Ok) {
                *error = "cannot unpack data" + sum.name;
                return false;
            }
            file.compressed = true;
            file.content = quillon::md5OfBytes(content.data(), content.size());
            name = quask::patchUnpackedPath(sum.name, header.savedChar);
        } else {
            file.content = sum.digest;
        }
        addParents(name, &manifest->directories);
        manifest->files[name] = file;
    }
    manifest->revision = revision;
    return true;
}

}  // namespace

// --- Manifest ---

std::string manifestText(const Manifest& manifest) {
    std::string text = "REV:" + std::to_string(manifest.revision) + "\n";
    for (const std::string& dir : manifest.directories) text += "D:" + dir + "\n";
    for (const auto& [name, file] : manifest.files) {
        text += "F:" + quillon::digestHex(file.content) + ":" + quillon::digestHex(file.published) +
                (file.compressed ? ":c:" : ":p:") + name + "\n";
    }
    return text;
}

bool parseManifest(const std::string& text, Manifest* manifest) {
    *manifest = Manifest{};
    std::istringstream in(text);
    std::string line;
    bool sawRev = false;
    while (std::getline(in, line)) {
        if (line.rfind("REV:", 0) == 0) {
            const std::uint32_t rev = quillon::parseLatestRevision(line);
            if (rev == 0) return false;
            manifest->revision = rev;
            sawRev = true;
        } else if (line.rfind("D:", 0) == 0 && quillon::isSafeContentName(line.substr(2))) {
            manifest->directories.insert(line.substr(2));
        } else if (line.rfind("F:", 0) == 0 && line.size() >= 72 && line[34] == ':' && line[67] == ':' &&
                   (line[68] == 'c' || line[68] == 'p') && line[69] == ':' &&
                   isHex32(line.substr(2, 32)) && isHex32(line.substr(35, 32)) &&
                   quillon::isSafeContentName(line.substr(70))) {
            ManifestFile file;
            file.content = quillon::hexToDigest(line.c_str() + 2);
            file.published = quillon::hexToDigest(line.c_str() + 35);
            file.compressed = line[68] == 'c';
            manifest->files[line.substr(70)] = file;
        } else if (!line.empty()) {
            return false;
        }
    }
    return sawRev;
}

// --- Server tree ---

bool loadServerState(const std::string& serverDir, Manifest* manifest, std::string* error) {
    *manifest = Manifest{};
    std::string body;
    const ReadResult lastrev = readIfPresent(serverDir + "/lastrev.txt", &body);
    if (lastrev == ReadResult::kMissing) return true;
    if (lastrev == ReadResult::kFailed) {
        *error = "cannot read lastrev.txt" + errnoReason();
        return false;
    }
    const std::uint32_t revision = quillon::parseLatestRevision(body);
    if (revision == 0) {
        *error = "lastrev.txt holds no revision";
        return false;
    }
    if (revision == UINT32_MAX) {
        *error = "lastrev.txt is at the last possible revision";
        return false;
    }
    // A manifest that cannot be read is no manifest to rebuild: the full list
    // might be just as unreadable next time, or the rebuild differ.
    const ReadResult read = readIfPresent(serverDir + "/meta/manifest.txt", &body);
    if (read == ReadResult::kFailed) {
        *error = "cannot read meta/manifest.txt" + errnoReason();
        return false;
    }
    if (read == ReadResult::kRead && parseManifest(body, manifest) && manifest->revision == revision) return true;
    *manifest = Manifest{};
    return rebuildFromFullSums(serverDir, revision, manifest, error);
}

bool collectListedNames(const std::string& serverDir, std::uint32_t revision,
                        std::set<std::string>* names, std::string* error, std::set<std::string>* directories) {
    quillon::UpdateList list;
    quillon::MetadataScan scan;
    for (std::uint32_t rev = 1; rev <= revision && rev != 0; ++rev) {
        std::string body;
        bool hasFiles = false;
        if (!readWholeFile(serverDir + "/meta/" + std::to_string(rev) + ".txt", &body)) {
            *error = "cannot read meta/" + std::to_string(rev) + ".txt" + errnoReason();
            return false;
        }
        if (auto failure = quillon::parseRevisionMetadata(body, rev, list, scan, &hasFiles)) {
            *error = failure->text;
            return false;
        }
    }
    for (const quillon::UpdateFileEntry& entry : list.newestFirst())
        if (entry.type == quillon::UpdateFileEntry::kFile)
            names->insert(entry.name);
        else if (directories)
            directories->insert(entry.name);
    return true;
}

}  // namespace patchpub
