#include "patcher/engine/self_update_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "patcher/protocol/digests.h"
#include "shared/patch_file.h"
#include "shared/posix_io.h"
#include "shared/process_start.h"
#include "shared/program_file.h"
#include "shared/replacing_file.h"

namespace quillon {

namespace {

// Where the running launcher's old file stays when it patches itself.
constexpr char kBackupName[] = "quillon_old";
// A launcher answers --version at once; one that has not after this long
// does not start as it should.
constexpr int kVersionRunMs = 10000;

bool readAll(int dirFd, const std::string& leaf, std::vector<std::uint8_t>* bytes, unsigned* mode) {
    Fd fd = GameTree::openForReading(dirFd, leaf);
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bytes->resize(static_cast<std::size_t>(st.st_size));
    if (mode) *mode = st.st_mode & 07777;
    return quask::readFully(fd.get(), bytes->data(), bytes->size());
}

// The file `leaf` as a program: its header, then a run of `--version`.
LauncherCheck probeProgram(PatchContext& ctx, int dirFd, const std::string& leaf) {
    Fd fd = GameTree::openForReading(dirFd, leaf);
    if (!fd.valid() || quask::checkProgramFile(fd.get()) != quask::ProgramCheck::Runnable)
        return LauncherCheck::kNotAProgram;
    // A drive that keeps no permission bits refuses the change; the run
    // below tells whether the program starts there.
    if (::fchmod(fd.get(), 0755) != 0 && !quask::modeNotKept(errno)) return LauncherCheck::kDoesNotRun;
    fd.reset();  // a file open here could not be started (ETXTBSY)
    return quask::runsToSuccess({ctx.gameDir + "/" + leaf, "--version"}, ctx.gameDir, kVersionRunMs)
               ? LauncherCheck::kRuns
               : LauncherCheck::kDoesNotRun;
}

// A packed launcher is unpacked into a temporary of its own to be tried.
LauncherCheck probePacked(PatchContext& ctx, int dirFd, const std::string& staging) {
    std::vector<std::uint8_t> packed, program;
    if (!readAll(dirFd, staging, &packed, nullptr) ||
        quask::patchDecode(packed.data(), packed.size(), &program) != quask::PatchStatus::Ok)
        return LauncherCheck::kNotAProgram;
    packed.clear();
    const std::string trial = quask::ownTemporaryName("launcher");
    Fd out = GameTree::createFile(dirFd, trial, 0755);
    const bool written = out.valid() && quask::writeFully(out.get(), program.data(), program.size()) && out.close();
    const LauncherCheck check = written ? probeProgram(ctx, dirFd, trial) : LauncherCheck::kDoesNotRun;
    ::unlinkat(dirFd, trial.c_str(), 0);
    return check;
}

// What the entry `e` does to the running launcher.
LauncherCheck checkEntry(PatchContext& ctx, GameTree& tree, const PlanEntry& e, LauncherTrial* trial) {
    if (!parentOf(e.name).empty()) return LauncherCheck::kRuns;
    const std::string leaf = leafOf(e.name);
    if (e.kind == PlanEntry::kDeleteFile)
        return isLauncherLeaf(ctx, e.name, leaf) ? LauncherCheck::kDeleted : LauncherCheck::kRuns;
    if (e.kind != PlanEntry::kFetchFile) return LauncherCheck::kRuns;
    Fd dir = tree.openDir("", false);
    if (!dir.valid()) return LauncherCheck::kRuns;  // nothing can be replaced either
    const std::string staging = leafOf(stagingName(e.name));
    if (isLauncherLeaf(ctx, e.name, leaf)) {
        if (trial) {
            Fd file = GameTree::openForReading(dir.get(), staging);
            if (file.valid())
                if (const std::optional<LauncherCheck> tried = trial->verdictFor(file.get())) return *tried;
        }
        return probeProgram(ctx, dir.get(), staging);
    }
    if (leaf.back() != '_') return LauncherCheck::kRuns;
    // A packed file unpacks under the name its header restores.
    std::uint8_t head[3] = {};
    Fd file = GameTree::openForReading(dir.get(), staging);
    if (!file.valid() || ::pread(file.get(), head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        !quask::patchSavedCharValid(static_cast<char>(head[2])) ||
        !isLauncherLeaf(ctx, e.name, quask::patchUnpackedPath(leaf, static_cast<char>(head[2]))))
        return LauncherCheck::kRuns;
    return probePacked(ctx, dir.get(), staging);
}

bool copyFile(int dirFd, const std::string& from, const std::string& to) {
    std::vector<std::uint8_t> bytes;
    unsigned mode = 0;
    quask::ReplacingFile copy;
    if (!readAll(dirFd, from, &bytes, &mode) || !copy.openAt(dirFd, to)) return false;
    copy.setMode(mode);
    return copy.write(bytes.data(), bytes.size()) && copy.commit();
}

}  // namespace

bool isLauncherLeaf(const PatchContext& ctx, const std::string& name, const std::string& leaf) {
    return parentOf(name).empty() && leaf == ctx.moduleName;
}

LauncherTrial::~LauncherTrial() { wait(); }

void LauncherTrial::wait() {
    if (m_thread.joinable()) m_thread.join();
}

void LauncherTrial::offer(PatchContext& ctx, const std::string& name, const Expected& want, EarlyDigests* digests) {
    if (name.back() == '_' || !isLauncherLeaf(ctx, name, leafOf(name))) return;
    wait();
    m_verdict.reset();
    m_signed.reset();
    Expected own = want;
    if (want.signedDigest) own.signedDigest = &m_signed.emplace(*want.signedDigest);
    // Its own descriptors: the worker's tree is the worker's alone.
    try {
        m_thread = std::thread([this, &ctx, name, own, digests] { tryStaged(ctx, name, own, digests); });
    } catch (const std::system_error&) {
        // No thread to spare: the check before the replace tries it.
    }
}

void LauncherTrial::tryStaged(PatchContext& ctx, const std::string& name, const Expected& own,
                              EarlyDigests* digests) {
    GameTree tree(ctx.gameDir);
    Fd dir = tree.openDir("", false);
    if (!dir.valid()) return;
    const std::string staging = leafOf(stagingName(name));
    const Judged by = digestsToJudge(own, FileRole::kStaging);
    FileDigests got;
    struct stat read;
    {
        Fd file = GameTree::openForReading(dir.get(), staging);
        if (!file.valid() || ::fstat(file.get(), &read) != 0 || !digestsOfFd(file.get(), by.md5, by.sha256, &got) ||
            judge(own, by, got) != Verdict::kMatches)
            return;  // the integrity check says why
    }
    const LauncherCheck check = probeProgram(ctx, dir.get(), staging);
    Fd file = GameTree::openForReading(dir.get(), staging);
    if (!file.valid() || ::fstat(file.get(), &m_tried) != 0) return;
    m_verdict = check;
    // Only the mode may have changed since the bytes were read.
    struct stat modeAside = read;
    modeAside.st_ctim = m_tried.st_ctim;
    if (digests && unchangedSince(modeAside, m_tried)) digests->put(name, m_tried, by, got);
}

std::optional<LauncherCheck> LauncherTrial::verdictFor(int fd) {
    wait();
    struct stat now;
    if (!m_verdict || ::fstat(fd, &now) != 0 || !unchangedSince(m_tried, now)) return std::nullopt;
    return m_verdict;
}

std::optional<PatchFailure> checkLauncherUpdate(PatchContext& ctx, GameTree& tree,
                                                const std::vector<PlanEntry>& plan, LauncherTrial* trial) {
    for (const PlanEntry& e : plan)
        if (auto refused = refuseLauncherLoss(checkEntry(ctx, tree, e, trial))) return refused;
    return std::nullopt;
}

std::optional<PatchFailure> backUpLauncher(int dirFd, const std::string& leaf, const PhaseTexts& texts) {
    ::unlinkat(dirFd, kBackupName, 0);  // an older backup goes first
    if (::linkat(dirFd, leaf.c_str(), dirFd, kBackupName, 0) == 0 || errno == ENOENT) return std::nullopt;
    // A file system without hard links gets a copy.
    if ((errno == EPERM || errno == EXDEV || errno == EOPNOTSUPP || errno == EMLINK) &&
        copyFile(dirFd, leaf, kBackupName))
        return std::nullopt;
    return permissionFailure(texts.selfPatch);
}

}  // namespace quillon
