#include "patcher/apply_updates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include "patcher/md5_file.h"
#include "patcher/phase_pause.h"
#include "shared/patch_file.h"

namespace quillon {

namespace {

constexpr char kPermissions[] =
    "Please check your permissions to the Game Directory (You must have full access to the gamedir!)";
constexpr char kPermissionsCaption[] = "Error: Insufficient Permissions";
constexpr char kIntegrity[] =
    "File Integry Check Failed - Please try again\nIf this problem persists, please contact the Support! ";

PatchFailure permissionFailure(const char* tag) {
    return {std::string(kPermissions) + tag, kPermissionsCaption};
}

PatchFailure downloadFailure(const std::string& name, const char* tail) {
    char text[2048];
    std::snprintf(text, sizeof text,
                  "Failed to Download '%s' from PatchServer\nIf this problem presits, please contact the Support!%s",
                  name.c_str(), tail);
    return {text, "Data File download Error"};
}

std::uint64_t nowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void showDownloadProgress(LauncherState& ui, std::uint64_t received, std::uint64_t total) {
    const double pct = 100.0 / static_cast<double>(total) * static_cast<double>(received);
    char text[256];
    if (total >= 962560) {
        std::snprintf(text, sizeof text, "Downlading %0.2f of %0.2f MByte - (%0.2f%%)",
                      received / 1048576.0, total / 1048576.0, pct);
    } else if (total >= 8192) {
        std::snprintf(text, sizeof text, "Downlading %0.2f of %0.2f KByte - (%0.2f%%)",
                      received / 1024.0, total / 1024.0, pct);
    } else {
        std::snprintf(text, sizeof text, "Downlading %u of %u Byte - (%0.2f%%)",
                      static_cast<unsigned>(received), static_cast<unsigned>(total), pct);
    }
    ui.SetStatusText(text);
    ui.SetFileProgress(pct);
}

// A new program file must stay runnable: the old file's mode is kept, and a
// file new to the game directory that is a program gets the execute bits.
void carryMode(const std::string& from, const std::string& staging) {
    struct stat st;
    if (::stat(from.c_str(), &st) == 0) {
        ::chmod(staging.c_str(), st.st_mode & 07777);
        return;
    }
    char magic[4] = {};
    if (FILE* f = std::fopen(staging.c_str(), "rb")) {
        const std::size_t n = std::fread(magic, 1, sizeof magic, f);
        std::fclose(f);
        const bool program = (n == 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' &&
                              magic[3] == 'F') ||
                             (n >= 2 && magic[0] == '#' && magic[1] == '!');
        if (program) ::chmod(staging.c_str(), 0755);
    }
}

// The name character a compressed patch file keeps in its header.
char savedNameChar(const std::string& path) {
    char head[3] = {};
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fread(head, 1, sizeof head, f) != sizeof head) head[2] = 0;
        std::fclose(f);
    }
    return head[2];
}

}  // namespace

const PhaseTexts& patchRunTexts() {
    static const PhaseTexts texts{"[1]", " (2)", " (file)", "(generic check)", "(sum)",
                                  "[selfpatch_move]", "[3]", " (renname)", "Decompression failed."};
    return texts;
}

const PhaseTexts& fullCheckTexts() {
    static const PhaseTexts texts{"[fc:1]", " (fc:5)", " (fc:file)", "(fc: generic check)",
                                  "(fc: sum)", "[fc:selfpatch_move]", "[fc:3]", " (fc:renname)",
                                  "Decompression failed. (fc)"};
    return texts;
}

// --- Status ---

std::string formatCounts(const char* fmt, unsigned a, unsigned b) {
    char text[512];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

void showReady(PatchContext& ctx) {
    ctx.ui.SetStatusText("Your Game is Ready 2 Play!");
    ctx.ui.EnableFullCheck(true);
    ctx.ui.EnableStart(true);
}

// --- Paths ---

std::string targetPath(const PatchContext& ctx, const std::string& name) { return ctx.gameDir + name; }
std::string stagingPath(const PatchContext& ctx, const std::string& name) {
    return ctx.gameDir + name + ".new";
}

bool createParents(const std::string& gameDir, const std::string& path) {
    for (std::size_t slash = path.find('/', gameDir.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool stagingMatches(const PatchContext& ctx, const std::string& name, const Digest& digest) {
    Digest d{};
    return Md5OfFile(stagingPath(ctx, name), &d) && d == digest;
}

// --- Download ---

std::optional<PatchFailure> downloadOne(PatchContext& ctx, const std::string& name, unsigned index,
                                        unsigned done, unsigned count, const PhaseTexts& texts) {
    LauncherState& ui = ctx.ui;
    ui.SetTotalProgress(100.0 * done / count);
    ui.SetStatusTotalText(formatCounts("File %u of %u", done, count));
    char status[2048];
    std::snprintf(status, sizeof status, "Preparing to Donwload Object %u of %u (%s)", index, count,
                  name.c_str());
    ui.SetStatusText(status);

    const std::string staging = stagingPath(ctx, name);
    std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, std::fclose);
    bool createFailed = false, storeFailed = false;
    std::uint64_t total = 0, received = 0, lastUi = 0, lastSpeed = nowMs(), receivedAtSpeed = 0;
    const HttpStatus status2 = ctx.http.download(
        ctx.baseUrl + "data" + name, UINT64_MAX,
        [&](std::uint64_t length) {
            total = length;
            file.reset(std::fopen(staging.c_str(), "wbe"));
            createFailed = !file;
            return !createFailed;
        },
        [&](const std::uint8_t* data, std::size_t size) {
            const std::uint64_t now = nowMs();
            if (now - lastUi > 400) {
                lastUi = now;
                showDownloadProgress(ui, received, total);
            }
            if (now - lastSpeed >= 1000) {
                ui.SetSpeed(static_cast<unsigned long>((received - receivedAtSpeed) * 1000 / (now - lastSpeed)));
                lastSpeed = now;
                receivedAtSpeed = received;
            }
            // Flushed after each block, so what is on disk is what arrived.
            storeFailed = std::fwrite(data, 1, size, file.get()) != size || std::fflush(file.get()) != 0;
            received += size;
            if (received < total) pauseHereForTest("download");
            return !storeFailed;
        });
    const bool closeFailed = file && std::fclose(file.release()) != 0;
    ui.SetSpeed(0);
    ui.SetFileProgress(0);
    ui.SetTotalProgress(0);
    ui.SetStatusTotalText("");

    if (createFailed) return permissionFailure(texts.stagingFile);
    if (storeFailed || (status2 == HttpStatus::Ok && closeFailed)) {
        return PatchFailure{"Failed to save Downloaded content to disk. (Out of Diskspace?)", "Store Error"};
    }
    switch (status2) {
        case HttpStatus::Ok: return std::nullopt;
        case HttpStatus::NoLength:
        case HttpStatus::TooLarge: return downloadFailure(name, texts.lengthFailure);
        case HttpStatus::ReadError: {
            char text[2048];
            std::snprintf(text, sizeof text,
                          "Failed to Download '%s' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!",
                          name.c_str());
            return PatchFailure{text, "Fetch Error (EOF)"};
        }
        default: return downloadFailure(name, "");
    }
}

// --- Integrity and replacement ---

std::optional<PatchFailure> verifyStaged(PatchContext& ctx, const std::string& name,
                                         const Digest& digest, const PhaseTexts& texts) {
    Digest d{};
    if (!Md5OfFile(stagingPath(ctx, name), &d))
        return PatchFailure{std::string(kIntegrity) + texts.genericCheck, "File Integry Check Failed"};
    if (d != digest)
        return PatchFailure{std::string(kIntegrity) + texts.sumCheck, "File Integry Check Failed"};
    return std::nullopt;
}

std::optional<PatchFailure> replaceFile(PatchContext& ctx, const std::string& name,
                                        const PhaseTexts& texts) {
    const std::string target = targetPath(ctx, name);
    const std::string staging = stagingPath(ctx, name);
    std::string modeFrom = target;
    if (name.substr(1) == ctx.moduleName) {
        // The running launcher keeps running from its old file, moved to a
        // backup in the game directory (an older backup goes first).
        const std::string backup = ctx.gameDir + "/quillon_old";
        ::unlink(backup.c_str());
        if (::rename(target.c_str(), backup.c_str()) != 0 && errno != ENOENT)
            return permissionFailure(texts.selfPatch);
        modeFrom = backup;
    }
    carryMode(modeFrom, staging);
    // One atomic step: a crash leaves either the old file or the new one.
    if (::rename(staging.c_str(), target.c_str()) != 0) return permissionFailure(texts.rename);
    if (!name.empty() && name.back() == '_') {
        const char savedChar = savedNameChar(target);
        if (!quask::UnpackFile(target)) return PatchFailure{texts.decompress, "Decompression Error"};
        // A name saved with '_' as its last character unpacks onto itself.
        if (savedChar != '_') ::unlink(target.c_str());
    }
    return std::nullopt;
}

}  // namespace quillon
