#include "patcher/engine/downloads_internal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <list>
#include <string>

#include "patcher/disk/phase_pause.h"
#include "patcher/engine/trust_internal.h"
#include "patcher/net/http_batch.h"
#include "shared/posix_io.h"

namespace quillon {

namespace {

// Downloads ask the kernel to start writing to disk every so often, so the
// sync after the downloads finds little left to do.
constexpr std::uint64_t kWritebackBytes = 8u << 20;
// What a delta patch in memory reserves before its bytes arrive.
constexpr std::uint64_t kReserveBytes = 1u << 20;
// The status and upper bar follow a download at most this often, the speed
// once a second.
constexpr std::uint64_t kUiMs = 400;
constexpr std::uint64_t kSpeedMs = 1000;
// A place whose files together arrive slower than this for the stall time
// is skipped while another place is left: a mirror that trickles just
// above the stall limit would otherwise hold the update for hours.
constexpr std::uint64_t kSlowPlaceBytesPerSecond = 4096;

PatchFailure downloadFailure(const std::string& name, const char* tail) {
    char text[2048];
    std::snprintf(text, sizeof text,
                  "Failed to Download '%s' from PatchServer\nIf this problem presits, please contact the Support!%s",
                  name.c_str(), tail);
    return {text, "Data File download Error"};
}

PatchFailure readFailure(const std::string& name) {
    char text[2048];
    std::snprintf(text, sizeof text,
                  "Failed to Download '%s' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!",
                  name.c_str());
    return PatchFailure{text, "Fetch Error (EOF)"};
}

void showDownloadProgress(LauncherState& ui, std::uint64_t received, std::uint64_t total) {
    const double pct = total ? 100.0 / static_cast<double>(total) * static_cast<double>(received) : 0.0;
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

// The failure of a download that ended with `status`, as the one-at-a-time
// download words it.
PatchFailure statusFailure(const FileFetch& f, HttpStatus status, const PhaseTexts& texts) {
    switch (status) {
        case HttpStatus::TooLarge:
            if (auto failure = overLimitFailure(f.want, f.name)) return *failure;
            return downloadFailure(f.name, texts.lengthFailure);
        case HttpStatus::NoLength: return downloadFailure(f.name, texts.lengthFailure);
        case HttpStatus::ReadError: return readFailure(f.name);
        default: return downloadFailure(f.name, "");
    }
}

// Where a broken download of `f` left off: the length of its staging file
// when it holds a beginning of the file to continue, else 0.
std::uint64_t resumeOffset(GameTree& tree, const FileFetch& f) {
    if (f.memory) return 0;
    const int dir = tree.lendParent(f.name, false);
    struct stat st;
    if (dir < 0 || ::fstatat(dir, leafOf(stagingName(f.name)).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_size <= 0)
        return 0;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    return mayContinue(f.want, size) ? size : 0;
}

// --- One run of the batch ---

}  // namespace

class FetchRun {
public:
    FetchRun(PatchContext& ctx, GameTree& tree, const PhaseTexts& texts, Arrivals* arrivals)
        : m_ctx(ctx), m_tree(tree), m_texts(texts), m_arrivals(arrivals), m_batch(ctx.http, downloadConnections()) {}

    void add(FileFetch f) {
        m_transfers.emplace_back();
        m_transfers.back().fetch = std::move(f);
        queue(&m_transfers.back(), resumeOffset(m_tree, m_transfers.back().fetch));
    }
    std::optional<PatchFailure> waitForConnection() {
        if (!m_failure) m_batch.runUntilFree([this] { tick(); });
        return m_failure;
    }
    std::optional<PatchFailure> finish() {
        if (!m_failure) m_batch.run([this] { tick(); });
        return m_failure;
    }

private:
    struct Transfer {
        FileFetch fetch;
        std::size_t place = 0;  // of the run's mirrors
        bool running = false;
        bool again = false;  // a fresh copy of a file already announced
        bool shown = false;  // its progress is on show: arriving, not empty
        bool createFailed = false, reopenFailed = false, storeFailed = false;
        bool cut = false;        // ended by us: its place was too slow
        bool receiving = false;  // its body is arriving
        Fd file;
        std::uint64_t offset = 0, total = 0, received = 0, writtenBack = 0;
    };

    void queue(Transfer* t, std::uint64_t resumeFrom) {
        const FileFetch& f = t->fetch;
        t->place = m_ctx.mirrors.current();
        HttpBatch::Request r;
        r.url = urlOf(*t);
        r.maxBytes = f.memory ? f.memoryLimit : downloadLimit(f.want);
        r.resumeFrom = resumeFrom;
        r.onBegin = [this, t](std::string& url) { begin(*t, &url); };
        r.onStart = [this, t](std::uint64_t offset, std::uint64_t total) { return start(*t, offset, total); };
        r.sink = [this, t](const std::uint8_t* data, std::size_t size) { return store(*t, data, size); };
        r.onDone = [this, t](HttpStatus status) { end(t, status); };
        m_batch.add(std::move(r));
    }

    std::string urlOf(const Transfer& t) const {
        const FileFetch& f = t.fetch;
        return m_ctx.mirrors.base(t.place) + (f.memory ? f.url : "data" + encodeUrlPath(f.name));
    }

    void begin(Transfer& t, std::string* url) {
        t.running = true;
        ++m_running;
        // Meant for a place skipped while it waited: it goes to the next.
        if (m_ctx.mirrors.skipped(t.place)) {
            t.place = m_ctx.mirrors.current();
            *url = urlOf(t);
        }
        if (t.again) return;
        const FileFetch& f = t.fetch;
        LauncherState& ui = m_ctx.ui;
        if (!f.counted) {
            ui.SetTotalProgress(100.0 * f.done / f.count);
            ui.SetStatusTotalText(formatCounts("File %u of %u", f.done, f.count));
        }
        char status[2048];
        std::snprintf(status, sizeof status, "Preparing to Donwload Object %u of %u (%s)", f.index, f.count,
                      f.name.c_str());
        ui.SetStatusText(status);
    }

    bool openTarget(Transfer& t, std::uint64_t offset) {
        const FileFetch& f = t.fetch;
        if (f.memory) {
            f.memory->clear();
            f.memory->reserve(static_cast<std::size_t>(std::min(t.total, kReserveBytes)));
            return true;
        }
        const int dir = m_tree.lendParent(f.name, true);
        const std::string leaf = leafOf(stagingName(f.name));
        if (dir >= 0) t.file = offset > 0 ? GameTree::openToContinue(dir, leaf, offset) : GameTree::createFile(dir, leaf);
        if (!t.file.valid()) (offset > 0 ? t.reopenFailed : t.createFailed) = true;
        return t.file.valid();
    }

    bool start(Transfer& t, std::uint64_t offset, std::uint64_t total) {
        if (t.cut) return false;
        t.receiving = true;
        t.offset = offset;
        t.total = total;
        if (!openTarget(t, offset)) return false;
        if (total == 0) return true;
        // The file's first line, at once: a file that arrives within the
        // 400 ms still shows where it started.
        t.shown = true;
        m_onShow = &t;
        const std::uint64_t now = monotonicMs();
        m_lastUi = now;
        showDownloadProgress(m_ctx.ui, offset, total);
        m_ctx.ui.SetSpeed(0);
        m_lastSpeed = now;
        m_receivedAtSpeed = m_received;
        return true;
    }

    bool store(Transfer& t, const std::uint8_t* data, std::size_t size) {
        if (t.fetch.memory) {
            t.fetch.memory->append(reinterpret_cast<const char*>(data), size);
        } else {
            // Written at once, so what is on disk is what arrived.
            t.storeFailed = !quask::writeFully(t.file.get(), data, size);
            const std::uint64_t at = t.offset + t.received + size;
            if (at - t.writtenBack >= kWritebackBytes) {
                ::sync_file_range(t.file.get(), static_cast<off_t>(t.writtenBack),
                                  static_cast<off_t>(at - t.writtenBack), SYNC_FILE_RANGE_WRITE);
                t.writtenBack = at;
            }
        }
        t.received += size;
        m_received += size;
        if (t.place == m_pace.place) m_pace.bytes += size;
        if (t.offset + t.received < t.total) pauseHereForTest("download");
        return !t.storeFailed && !t.cut;
    }

    // A continued download that cannot be used is fetched whole once more.
    bool needsFreshCopy(const Transfer& t, HttpStatus status) {
        if (status == HttpStatus::BadRange || (status == HttpStatus::Aborted && t.reopenFailed)) return true;
        return status == HttpStatus::Ok && t.offset > 0 &&
               !fileMatches(m_tree, t.fetch.name, FileRole::kStaging, t.fetch.want);
    }

    // A place that failed the file, or served other bytes while there is
    // another place to ask, is skipped; the file comes from the next.
    // Files that were on their way from a place when another file had it
    // skipped come from the next place as well.
    bool fromNextPlace(const Transfer& t, HttpStatus status) {
        if (t.fetch.memory || t.createFailed || t.storeFailed) return false;
        const bool skippedMeanwhile = m_ctx.mirrors.skipped(t.place);
        if (status != HttpStatus::Ok)
            return skippedMeanwhile || skipPlace(t.place, std::string(httpStatusText(status)) + " for data" + t.fetch.name);
        if (!skippedMeanwhile && m_ctx.mirrors.live() < 2) return false;
        return !fileMatches(m_tree, t.fetch.name, FileRole::kStaging, t.fetch.want) &&
               (skippedMeanwhile || skipPlace(t.place, "wrong bytes for data" + t.fetch.name));
    }

    // How few requests at once a place takes is its own: the next place
    // starts with every connection of the run.
    bool skipPlace(std::size_t place, const std::string& why) {
        if (!m_ctx.mirrors.skip(place, why)) return false;
        m_batch.limitConnections(UINT_MAX);
        return true;
    }

    std::size_t runningFrom(std::size_t place) const {
        return static_cast<std::size_t>(std::count_if(m_transfers.begin(), m_transfers.end(), [place](const Transfer& t) {
            return t.running && t.place == place;
        }));
    }

    void end(Transfer* t, HttpStatus status) {
        // Its bytes head for the disk while the other files arrive, so the
        // sync after the downloads finds little left to write.
        if (t->file.valid() && status == HttpStatus::Ok)
            ::sync_file_range(t->file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        const bool closeFailed = t->file.valid() && !t->file.close();
        if (t->running) --m_running;
        t->running = t->receiving = false;
        const bool shown = t->shown;
        t->shown = false;
        const FileFetch& f = t->fetch;
        bool arrived = true;
        const bool placeSkipped = m_ctx.mirrors.skipped(t->place);
        if (status == HttpStatus::Busy && (placeSkipped || runningFrom(t->place) > 0)) {
            // The place takes fewer requests at once than we make (a limit
            // per address): the file (or patch) waits for one of the others
            // from there, and no more than those run from now on. Each time
            // fewer, so a place busy even for one request is skipped, or,
            // the last one left, ends the run as before. A file turned away
            // by a place skipped meanwhile just comes from the next.
            if (!placeSkipped) m_batch.limitConnections(static_cast<unsigned>(runningFrom(t->place)));
            arrived = false;
            refetch(*t, resumeOffset(m_tree, f));
        } else if (t->cut && status != HttpStatus::Ok && status != HttpStatus::BadRange && !t->storeFailed &&
                   !t->createFailed) {
            // What arrived from the slow place stays; the rest comes from the next.
            arrived = false;
            refetch(*t, resumeOffset(m_tree, f));
        } else if (f.memory) {
            if (status != HttpStatus::Ok) *f.failed = true;
        } else if (t->createFailed) {
            return fail(parentFailure(m_tree, f.name, m_texts.stagingFile));
        } else if (t->storeFailed || (status == HttpStatus::Ok && closeFailed)) {
            return fail(storeFailure());
        } else if (needsFreshCopy(*t, status) || fromNextPlace(*t, status)) {
            arrived = false;
            refetch(*t);
        } else if (status != HttpStatus::Ok) {
            return fail(statusFailure(f, status, m_texts));
        }
        // Synced and read back while the other files arrive, not after the last.
        if (arrived && status == HttpStatus::Ok && !f.memory && m_arrivals) {
            EarlyDigests* digests = &m_arrivals->digests;
            m_arrivals->syncing.add(stagingName(f.name), [digests, name = f.name,
                                                          by = digestsToJudge(f.want, FileRole::kStaging)](int fd) {
                digests->note(name, fd, by);
            });
            m_arrivals->launcher.offer(m_ctx, f.name, f.want, digests);
        }
        if (shown && arrived) {
            // While other files still arrive, their count stays on show and
            // the lower bar follows the next of them; the last one clears it.
            if (m_running == 0) clearDisplay();
            else if (m_onShow == t) showFollowed();
        }
    }

    void refetch(const Transfer& t, std::uint64_t resumeFrom = 0) {
        m_transfers.emplace_back();
        Transfer& again = m_transfers.back();
        again.fetch = t.fetch;
        again.again = true;
        queue(&again, resumeFrom);
    }

    void fail(PatchFailure failure) {
        if (!m_failure) m_failure = std::move(failure);
        m_batch.stop();
    }

    // The file that started first among those arriving.
    const Transfer* followed() const {
        for (const Transfer& t : m_transfers)
            if (t.running && t.shown) return &t;
        return nullptr;
    }

    // The file on show has ended: its bar goes back to zero for the next.
    void showFollowed() {
        m_ctx.ui.SetFileProgress(0);
        m_onShow = followed();
        if (!m_onShow) return;
        m_lastUi = monotonicMs();
        showDownloadProgress(m_ctx.ui, m_onShow->offset + m_onShow->received, m_onShow->total);
    }

    // The pace of the place files come from, over the time their bodies
    // were arriving (waits for an answer, and the worker's other work
    // between two calls of the batch, do not count). A slow place is
    // skipped while another is left, unless one was skipped before for a
    // pace not twice as fast: then the player's own link is slow, and
    // moving on gains nothing.
    void watchPace() {
        const std::size_t place = m_ctx.mirrors.current();
        const std::uint64_t now = monotonicMs();
        if (place != m_pace.place) {
            m_pace = Pace{place, 0, 0, now};
            return;
        }
        const std::uint64_t step = std::min<std::uint64_t>(now - m_pace.lastTick, 500);
        m_pace.lastTick = now;
        const bool receiving = std::any_of(m_transfers.begin(), m_transfers.end(), [place](const Transfer& t) {
            return t.running && t.receiving && t.place == place;
        });
        if (!receiving) return;
        m_pace.ms += step;
        const std::uint64_t window = static_cast<std::uint64_t>(m_ctx.http.stallTimeout()) * 1000;
        if (m_pace.ms < window) return;
        const std::uint64_t rate = m_pace.bytes * 1000 / m_pace.ms;
        m_pace.ms = m_pace.bytes = 0;
        const std::uint64_t slowest = m_ctx.mirrors.slowestSkippedPace();
        if (rate >= kSlowPlaceBytesPerSecond || (slowest && rate * 2 >= slowest)) return;
        if (!skipPlace(place, "under " + std::to_string(kSlowPlaceBytesPerSecond / 1024) + " KiB/s for " +
                                  std::to_string(window / 1000) + " s"))
            return;
        m_ctx.mirrors.noteSkippedPace(rate);
        for (Transfer& t : m_transfers)
            if (t.running && t.place == place) t.cut = true;
    }

    void tick() {
        if (m_ctx.mirrors.count() > 1) watchPace();
        const Transfer* t = followed();
        if (!t) return;
        const std::uint64_t now = monotonicMs();
        if (now - m_lastUi > kUiMs) {
            m_lastUi = now;
            m_onShow = t;
            showDownloadProgress(m_ctx.ui, t->offset + t->received, t->total);
        }
        if (now - m_lastSpeed >= kSpeedMs) {
            m_ctx.ui.SetSpeed(static_cast<unsigned long>((m_received - m_receivedAtSpeed) * 1000 / (now - m_lastSpeed)));
            m_lastSpeed = now;
            m_receivedAtSpeed = m_received;
        }
    }

    void clearDisplay() {
        m_ctx.ui.SetSpeed(0);
        m_ctx.ui.SetFileProgress(0);
        m_ctx.ui.SetTotalProgress(0);
        m_ctx.ui.SetStatusTotalText("");
    }

    PatchContext& m_ctx;
    GameTree& m_tree;
    const PhaseTexts& m_texts;
    Arrivals* m_arrivals;
    HttpBatch m_batch;
    std::list<Transfer> m_transfers;  // in the order they were added; nodes stay put
    std::optional<PatchFailure> m_failure;
    std::uint64_t m_received = 0, m_receivedAtSpeed = 0, m_lastUi = 0, m_lastSpeed = 0;
    std::size_t m_running = 0;  // transfers begun and not yet ended
    const Transfer* m_onShow = nullptr;  // whose progress the status shows
    struct Pace {
        std::size_t place = SIZE_MAX;
        std::uint64_t ms = 0, bytes = 0, lastTick = 0;
    } m_pace;
};

Downloads::Downloads(PatchContext& ctx, GameTree& tree, const PhaseTexts& texts, Arrivals* arrivals)
    : m_run(std::make_unique<FetchRun>(ctx, tree, texts, arrivals)) {}
Downloads::~Downloads() = default;
void Downloads::add(FileFetch file) { m_run->add(std::move(file)); }
std::optional<PatchFailure> Downloads::waitForConnection() { return m_run->waitForConnection(); }
std::optional<PatchFailure> Downloads::finish() { return m_run->finish(); }

std::optional<PatchFailure> fetchFiles(PatchContext& ctx, GameTree& tree, const std::vector<FileFetch>& files,
                                       const PhaseTexts& texts) {
    if (files.empty()) return std::nullopt;
    Downloads downloads(ctx, tree, texts);
    for (const FileFetch& f : files) downloads.add(f);
    return downloads.finish();
}

}  // namespace quillon
