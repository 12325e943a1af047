// velmar_bench: figures for the storage and timer paths, each against a
// baseline measured in the same run on the same data.
//
//   LoadFileData (64 MiB content, zlib GDF)  vs  read() + zlib uncompress() alone
//   CDB insert/find (100,000 keys)            vs  std::unordered_map
//   CTimer wake-up lateness (1,000 timers)    vs  one thread sleeping until each due time
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client/core/perf_clock.h"
#include "client/core/runtime.h"
#include "client/core/timer.h"
#include "client/storage/cdb.h"
#include "client/storage/gdf.h"
#include "client/storage/load_file_data.h"
#include "bench/bench_stats.h"

using namespace velmar;
using bench::Clock;
using bench::msSince;
using bench::percentile;

namespace {

// --- LoadFileData ---

// Texture-like content: smooth gradients with noise, compressing about 3:1.
std::vector<std::uint8_t> makeContent(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    std::mt19937 rng(7);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>((i / 64) ^ (i % 251) ^ ((rng() & 7) == 0 ? rng() : 0));
    return data;
}

std::unique_ptr<std::uint8_t[]> readWhole(const char* path, std::size_t* size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    *size = static_cast<std::size_t>(lseek(fd, 0, SEEK_END));
    lseek(fd, 0, SEEK_SET);
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[*size]);
    std::size_t done = 0;
    while (done < *size) {
        ssize_t n = read(fd, data.get() + done, *size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    return data;
}

bool writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void benchLoadFileData() {
    const std::size_t kSize = 64u << 20;
    const std::vector<std::uint8_t> content = makeContent(kSize);
    const std::vector<std::uint8_t> packed = gdfPack(content.data(), content.size(), true, 977);
    const std::string gdfPath = "/tmp/velmar_bench_" + std::to_string(getpid()) + ".gdf";
    const std::string zPath = gdfPath + ".z";

    // The baseline reads a plain zlib stream of the same content.
    uLongf zLen = compressBound(kSize);
    std::vector<std::uint8_t> z(zLen);
    compress2(z.data(), &zLen, content.data(), kSize, Z_BEST_COMPRESSION);  // as gdfPack
    if (!writeFile(gdfPath, packed.data(), packed.size()) || !writeFile(zPath, z.data(), zLen)) {
        std::printf("LoadFileData: cannot write the sample files under /tmp\n\n");
        return;
    }

    double best = 1e300, bestBase = 1e300;
    for (int round = 0; round < 5; ++round) {
        auto t0 = Clock::now();
        std::uint32_t size = 0;
        std::uint8_t* data = LoadFileData(gdfPath.c_str(), &size);
        best = std::min(best, msSince(t0));
        if (size != kSize || data[12345] != content[12345]) std::printf("  LOAD MISMATCH\n");
        release(data);

        // The baseline's buffers are left uninitialised, as the loader's are.
        t0 = Clock::now();
        std::size_t rawLen = 0;
        std::unique_ptr<std::uint8_t[]> raw = readWhole(zPath.c_str(), &rawLen);
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[kSize]);
        uLongf outLen = kSize;
        uncompress(out.get(), &outLen, raw.get(), rawLen);
        bestBase = std::min(bestBase, msSince(t0));
        if (outLen != kSize) std::printf("  BASELINE MISMATCH\n");
    }
    std::printf("LoadFileData, 64 MiB content, zlib GDF of %.1f MiB (best of 5)\n",
                packed.size() / 1048576.0);
    std::printf("  LoadFileData             %8.1f ms\n", best);
    std::printf("  baseline read+uncompress %8.1f ms\n", bestBase);
    std::printf("  ratio                    %8.3f   (goal <= 0.7)\n\n", best / bestBase);
    unlink(gdfPath.c_str());
    unlink(zPath.c_str());
}

// --- CDB ---

void benchDatabase() {
    const int kKeys = 100000;
    std::vector<std::int32_t> keys(kKeys);
    std::mt19937 rng(42);
    for (auto& k : keys) k = static_cast<std::int32_t>(rng());
    std::vector<std::int32_t> order = keys;
    std::shuffle(order.begin(), order.end(), rng);

    double insDb = 1e300, findDb = 1e300, insMap = 1e300, findMap = 1e300;
    std::uintptr_t sink = 0;
    for (int round = 0; round < 5; ++round) {
        {
            CDB db("Bench DB");
            auto t0 = Clock::now();
            for (int i = 0; i < kKeys; ++i) db.db_insert(keys[i], &keys[i]);
            insDb = std::min(insDb, msSince(t0));
            t0 = Clock::now();
            for (std::int32_t k : order) sink += reinterpret_cast<std::uintptr_t>(db.db_find(k));
            findDb = std::min(findDb, msSince(t0));
        }
        {
            std::unordered_map<std::int32_t, void*> map;
            auto t0 = Clock::now();
            for (int i = 0; i < kKeys; ++i) map[keys[i]] = &keys[i];
            insMap = std::min(insMap, msSince(t0));
            t0 = Clock::now();
            for (std::int32_t k : order) {
                auto it = map.find(k);
                sink += reinterpret_cast<std::uintptr_t>(it == map.end() ? nullptr : it->second);
            }
            findMap = std::min(findMap, msSince(t0));
        }
    }
    auto ns = [kKeys](double ms) { return ms * 1e6 / kKeys; };
    std::printf("CDB, 100,000 random keys (best of 5, ns per operation)\n");
    std::printf("  insert: CDB %6.1f   std::unordered_map %6.1f   ratio %.2f\n", ns(insDb),
                ns(insMap), insDb / insMap);
    std::printf("  find:   CDB %6.1f   std::unordered_map %6.1f   ratio %.2f\n\n", ns(findDb),
                ns(findMap), findDb / findMap);
    if (sink == 1) std::printf(" ");
}

// --- CTimer ---

struct Lateness {
    std::vector<double> us;
    std::atomic<int> fired{0};
};
Lateness* g_late = nullptr;
std::vector<std::int64_t> g_dueMs;

void onTimer(int /*id*/, void* user, int /*extra*/) {
    const std::int64_t nowNs = PerfClock::counterNow() - PerfClock::startCount();
    const auto i = reinterpret_cast<std::uintptr_t>(user);
    g_late->us[i] = (nowNs - g_dueMs[i] * 1000000) / 1000.0;
    g_late->fired.fetch_add(1);
}

void benchTimer() {
    const int kTimers = 1000;
    PerfClock::Create();
    CTimer* timer = CTimer::Create();
    Lateness late;
    late.us.assign(kTimers, 0.0);
    g_late = &late;
    g_dueMs.resize(kTimers);
    const std::int64_t start = PerfClock::milliseconds() + 50;
    for (int i = 0; i < kTimers; ++i) {
        g_dueMs[i] = start + (i * 7919) % 2000;  // spread over 2 s, out of order
        timer->Add(g_dueMs[i], 0, 0, onTimer, reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)));
    }
    while (late.fired.load() < kTimers) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CTimer::Destroy(timer);

    // Baseline: one thread that sleeps until each due time in order.
    std::vector<std::int64_t> sorted(g_dueMs);
    std::sort(sorted.begin(), sorted.end());
    const std::int64_t shift = PerfClock::milliseconds() + 50 - sorted.front();
    std::vector<double> base;
    for (std::int64_t due : sorted) {
        const std::int64_t dueNs = (due + shift) * 1000000;
        const std::int64_t waitNs = dueNs - (PerfClock::counterNow() - PerfClock::startCount());
        if (waitNs > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
        base.push_back((PerfClock::counterNow() - PerfClock::startCount() - dueNs) / 1000.0);
    }
    std::printf("CTimer wake-up lateness, 1,000 one-shot timers over 2 s (microseconds)\n");
    std::printf("  CTimer:           median %8.1f   p99 %8.1f\n", percentile(late.us, 0.5),
                percentile(late.us, 0.99));
    std::printf("  baseline sleeper: median %8.1f   p99 %8.1f\n", percentile(base, 0.5),
                percentile(base, 0.99));
    std::printf("  (due times are whole milliseconds: a timer fires in the millisecond it is due)\n");
}

}  // namespace

int main() {
    benchLoadFileData();
    benchDatabase();
    benchTimer();
    return 0;
}
