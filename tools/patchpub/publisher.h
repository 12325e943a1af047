// patchpub's library: publishes the next content revision into a patch
// server tree. Given the server directory (missing for the first revision)
// and a content directory holding the whole game directory as it should be,
// it checks the content, then builds the next tree beside the live one (see
// server_tree.h): the changed and new files below data/, the revision's
// metadata and checksums, a fresh full checksum list, the manifest it reads
// next time, lastrev.txt, with --delta the patches from the previous
// revision's files, with a key the signed file lists and the announcement
// (maintain.h), and the revision packs of 64 revisions each
// (revision_packs.h). The tree is then verified as a launcher would
// take it, and only then does the server switch to it, in one step; a
// failure on the way, a file that cannot be read included, leaves the live
// revision as it was. Single-threaded; no state of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "patcher/protocol/line_files.h"

namespace patchpub {

// How far publishRevision has come, for a progress display: first every
// content file is read and hashed, then each is compared with the published
// one and written when it changed.
struct PublishProgress {
    enum Phase { Reading, Publishing } phase = Reading;
    std::uint64_t files = 0;  // files read, or compared and written
    std::uint64_t total = 0;  // Publishing: the content directory's files
    std::uint64_t bytes = 0;  // Reading: bytes read
};

struct PublishOptions {
    std::string serverDir;
    std::string contentDir;
    std::string message;                 // MSG text; empty: none
    std::vector<std::string> compress;   // globs on the relative path ("*.map")
    std::int64_t now = -1;               // UTC seconds for DATE; -1: the clock
    std::string signKey;                 // private key file; empty: unsigned
    int validDays = 7;                   // with a key: the announcement's life
    std::int64_t clock = -1;             // UTC seconds for expiries; -1: the clock
    // With a key, a /quillon in the content must trust the server's root
    // (its build's key); set for test set-ups whose launchers take the key
    // from the environment.
    bool uncheckedLauncher = false;
    // Also publish, for each changed file that is not packed, a patch from
    // the previous revision's version when it is well under half the file
    // (patcher/protocol/delta_list.h).
    bool delta = false;
    // Called after each file, on the calling thread; may be empty.
    std::function<void(const PublishProgress&)> progress;
};

struct PublishResult {
    std::uint32_t revision = 0;  // the new revision, or the old one when nothing changed
    bool published = false;
    unsigned added = 0, modified = 0, deleted = 0, directories = 0;
    unsigned signedEarlier = 0;         // earlier revisions signed this time
    unsigned deltas = 0;                // delta patches published
    std::int64_t expires = 0;           // with a key: when the announcement expires
    std::vector<std::string> warnings;  // files left out, names unsafe for players
    std::string note;                   // how the server directory changed form
};

// One published file of a revision, keyed by its name in the game directory.
struct ManifestFile {
    quillon::Digest content{};    // MD5 of the file in the game directory
    quillon::Digest published{};  // MD5 of the file below data/ (packed or not)
    bool compressed = false;      // published under the packed name ("..._")
};

struct Manifest {
    std::uint32_t revision = 0;
    std::map<std::string, ManifestFile> files;  // "/data/x.map" -> ...
    std::set<std::string> directories;
};

// Manifest text: "REV:n", then "F:<content>:<published>:<c|p>:<name>" and
// "D:<name>" lines.
std::string manifestText(const Manifest& manifest);
bool parseManifest(const std::string& text, Manifest* manifest);

// The published content of the server tree at `serverDir`: from
// meta/manifest.txt, or rebuilt from meta/sum_full.txt (packed files are
// unpacked to learn their content) when the manifest is missing or stale.
// A server without lastrev.txt is revision 0 with nothing published.
bool loadServerState(const std::string& serverDir, Manifest* manifest, std::string* error);

// Every file name that a DATA line of revisions 1..`revision` has named: a
// client coming from revision 0 still carries an entry for each of them;
// `directories`, when given, gets the folder names such a client carries.
bool collectListedNames(const std::string& serverDir, std::uint32_t revision,
                        std::set<std::string>* names, std::string* error,
                        std::set<std::string>* directories = nullptr);

// False with a message when nothing could be published; nothing changed
// is success with `published` false. A server whose latest revision is
// signed takes only signed revisions.
bool publishRevision(const PublishOptions& options, PublishResult* result, std::string* error);

}  // namespace patchpub
