// The steps that bring one file up to date, shared by the patch run and the
// full check: reuse a verified staging file, download into "<name>.new",
// check its MD5, then replace the game file (one atomic rename) and unpack a
// compressed one. Runs on the worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "patcher/http_client.h"
#include "patcher/launcher_ui.h"
#include "patcher/line_files.h"
#include "patcher/revision_record.h"

namespace quillon {

// What a run works with: the server, the window, the game directory.
struct PatchContext {
    HttpClient& http;
    LauncherState& ui;
    std::string gameDir;     // no trailing slash
    std::string baseUrl;     // ends in a slash
    std::string moduleName;  // the running launcher's file name
};

// The texts that differ between the patch run and the full check ("[1]"
// against "[fc:1]" and so on).
struct PhaseTexts {
    const char* parentDir;      // "[1]"
    const char* lengthFailure;  // "Failed to Download ... (2)"
    const char* stagingFile;    // "(file)"
    const char* genericCheck;   // "(generic check)"
    const char* sumCheck;       // "(sum)"
    const char* selfPatch;      // "[selfpatch_move]"
    const char* replace;        // "[3]"
    const char* rename;         // "(renname)"
    const char* decompress;     // "Decompression failed."
};
const PhaseTexts& patchRunTexts();
const PhaseTexts& fullCheckTexts();

// A status text with up to two counts in it ("File %u of %u").
std::string formatCounts(const char* fmt, unsigned a, unsigned b);
// The end of a successful run: the ready text, both action buttons on.
void showReady(PatchContext& ctx);

// Paths of an entry name (leading slash) below the game directory.
std::string targetPath(const PatchContext& ctx, const std::string& name);
std::string stagingPath(const PatchContext& ctx, const std::string& name);

// True when the staging file exists and has the digest.
bool stagingMatches(const PatchContext& ctx, const std::string& name, const Digest& digest);

// Downloads one file into its staging file, with progress and speed;
// `done` and `count` fill "File %u of %u" and the lower bar.
std::optional<PatchFailure> downloadOne(PatchContext& ctx, const std::string& name, unsigned index,
                                        unsigned done, unsigned count, const PhaseTexts& texts);
// The staging file must exist and carry the digest.
std::optional<PatchFailure> verifyStaged(PatchContext& ctx, const std::string& name,
                                         const Digest& digest, const PhaseTexts& texts);
// Moves the verified staging file over the game file (the running launcher
// is first moved aside to its backup) and unpacks a compressed file.
std::optional<PatchFailure> replaceFile(PatchContext& ctx, const std::string& name,
                                        const PhaseTexts& texts);

// Creates the directories above `path` below the game directory.
bool createParents(const std::string& gameDir, const std::string& path);

}  // namespace quillon
