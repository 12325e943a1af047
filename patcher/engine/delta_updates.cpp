#include "patcher/engine/delta_updates_internal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <deque>
#include <memory>

#include "patcher/engine/downloads_internal.h"
#include "patcher/protocol/delta_patch.h"
#include "patcher/protocol/digests.h"
#include "shared/posix_io.h"

namespace quillon {

namespace {

// An installed file, mapped for reading as a patch's base.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() {
        if (m_data) ::munmap(m_data, m_size);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Only a regular file: a FIFO or device planted at the name is no base.
    bool open(GameTree& tree, const std::string& name) {
        Fd dir = tree.openParent(name, false);
        if (!dir.valid()) return false;
        Fd fd(::openat(dir.get(), leafOf(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        m_size = static_cast<std::size_t>(st.st_size);
        if (m_size == 0) return true;
        void* p = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (p == MAP_FAILED) return false;
        m_data = static_cast<std::uint8_t*>(p);
        return true;
    }
    ByteView view() const { return {m_data, m_size}; }

private:
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

// One file to bring up to date by patches.
struct Candidate {
    PlanEntry* entry = nullptr;
    std::unique_ptr<MappedFile> installed;
    std::vector<const DeltaPlan::Step*> chain;
    std::vector<std::string> patches;  // one per step, filled by the fetch
    bool failed = false;
};

// The steps from the installed version `have`, revision by revision; with
// a key the chain must end at the signed digest.
std::vector<const DeltaPlan::Step*> chainFrom(const std::vector<DeltaPlan::Step>& steps, SignedDigest have,
                                              const PlanEntry& e) {
    std::vector<const DeltaPlan::Step*> chain;
    for (const DeltaPlan::Step& step : steps) {
        if (!sameDigest(step.entry.base, have)) continue;
        chain.push_back(&step);
        have = step.entry.result;
    }
    if (!mayBeExpected(e.expected(), have)) chain.clear();
    return chain;
}

// The chain applied in memory; false when any step does not give what the
// list says or the end is not the expected file.
bool applyChain(const Candidate& c, PatchedBytes* out) {
    ByteView base = c.installed->view();
    PatchedBytes current;
    for (std::size_t i = 0; i < c.chain.size(); ++i) {
        const DeltaEntry& step = c.chain[i]->entry;
        const std::string& patch = c.patches[i];
        PatchedBytes next;
        if (!applyDeltaPatch(base, {reinterpret_cast<const std::uint8_t*>(patch.data()), patch.size()},
                             step.result.size, &next) ||
            sha256OfBytes(reinterpret_cast<const char*>(next.data.get()), next.size) != step.result.sha256)
            return false;
        current = std::move(next);
        base = current.view();
    }
    if (!bytesAreExpected(c.entry->expected(), {reinterpret_cast<const char*>(current.data.get()), current.size}))
        return false;
    *out = std::move(current);
    return true;
}

bool writeStaging(GameTree& tree, const std::string& name, const PatchedBytes& bytes) {
    Fd dir = tree.openParent(name, false);
    if (!dir.valid()) return false;
    Fd file = GameTree::createFile(dir.get(), leafOf(stagingName(name)));
    return file.valid() && quask::writeFully(file.get(), bytes.data.get(), bytes.size) && file.close();
}

// Every size the chain's steps state within `limit`: a list that says more
// is not believed, and the file comes whole.
bool withinLimit(const std::vector<const DeltaPlan::Step*>& chain, std::uint64_t limit) {
    for (const DeltaPlan::Step* step : chain)
        if (step->entry.result.size > limit || step->entry.patchSize > limit) return false;
    return true;
}

// The installed files the plan has patches for, with their chains.
std::deque<Candidate> findCandidates(GameTree& tree, const DeltaPlan& plan, std::vector<PlanEntry>& entries) {
    std::deque<Candidate> found;
    for (PlanEntry& e : entries) {
        if (e.kind != PlanEntry::kFetchFile || e.staged) continue;
        const auto steps = plan.byName.find(e.name);
        if (steps == plan.byName.end()) continue;
        auto installed = std::make_unique<MappedFile>();
        if (!installed->open(tree, e.name)) continue;
        const ByteView bytes = installed->view();
        const SignedDigest have = signedDigestOf({reinterpret_cast<const char*>(bytes.data), bytes.size});
        std::vector<const DeltaPlan::Step*> chain = chainFrom(steps->second, have, e);
        if (chain.empty() || !withinLimit(chain, patchedFileLimit(e.expected()))) continue;
        Candidate c;
        c.entry = &e;
        c.installed = std::move(installed);
        c.chain = std::move(chain);
        c.patches.resize(c.chain.size());
        found.push_back(std::move(c));
    }
    return found;
}

}  // namespace

void collectDeltaList(PatchContext& ctx, std::uint32_t rev, std::string_view metadata, DeltaPlan* plan) {
    const std::optional<SignedDigest> marker = deltaListMarker(metadata);
    // A list is a line file: one that states more is none.
    if (!marker || marker->size > kMaxControlFile) return;
    std::string body;
    DeltaList list;
    if (ctx.mirrors.fetch(ctx.http, deltaListPath(rev), &body, marker->size) != HttpStatus::Ok ||
        !sameDigest(signedDigestOf(body), *marker) ||
        !parseDeltaList(body, rev, &list).empty())
        return;
    for (DeltaEntry& entry : list.entries) {
        std::vector<DeltaPlan::Step>& steps = plan->byName[entry.name];
        steps.push_back(DeltaPlan::Step{rev, std::move(entry)});
    }
}

unsigned stageFromDeltas(PatchContext& ctx, GameTree& tree, const DeltaPlan& plan,
                         std::vector<PlanEntry>& entries, unsigned count, const PhaseTexts& texts) {
    if (plan.empty()) return 0;
    std::deque<Candidate> candidates = findCandidates(tree, plan, entries);
    std::vector<FileFetch> fetches;
    unsigned number = 0;
    for (Candidate& c : candidates) {
        ++number;
        for (std::size_t i = 0; i < c.chain.size(); ++i) {
            FileFetch f;
            f.name = c.entry->name;
            f.index = f.done = number;
            f.count = count;
            f.memory = &c.patches[i];
            f.url = encodeUrlPath(deltaPatchPath(c.chain[i]->revision, c.entry->name));
            f.memoryLimit = c.chain[i]->entry.patchSize;
            f.failed = &c.failed;
            fetches.push_back(std::move(f));
        }
    }
    // Patch downloads never fail the run; a failed one only marks its file.
    fetchFiles(ctx, tree, fetches, texts);
    unsigned staged = 0;
    for (Candidate& c : candidates) {
        PatchedBytes result;
        if (c.failed || !applyChain(c, &result) || !writeStaging(tree, c.entry->name, result)) continue;
        c.entry->staged = true;
        ++staged;
    }
    return staged;
}

}  // namespace quillon
