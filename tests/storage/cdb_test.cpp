#include "client/storage/cdb.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"

namespace velmar {
namespace {

void* val(std::intptr_t n) { return reinterpret_cast<void*>(n); }

// Heap hooks that count live blocks and can be told to refuse.
int g_allocBudget = -1;  // -1: unlimited
long g_liveBlocks = 0;

void* countingAllocate(std::size_t size) {
    if (g_allocBudget == 0) return nullptr;
    if (g_allocBudget > 0) --g_allocBudget;
    ++g_liveBlocks;
    return velmar::allocate(size);
}

void countingRelease(void* block) {
    if (block) --g_liveBlocks;
    velmar::release(block);
}

using Visit = std::function<int(std::int32_t, void*)>;

int trampoline(std::int32_t key, void* value, void* context) {
    return (*static_cast<Visit*>(context))(key, value);
}

void walk(CDB& db, Visit visit) { db.db_foreach(&trampoline, &visit); }

std::vector<std::int32_t> walkKeys(CDB& db) {
    std::vector<std::int32_t> keys;
    walk(db, [&](std::int32_t key, void*) {
        keys.push_back(key);
        return 0;
    });
    return keys;
}

// The client log in a fresh temporary directory.
class LogCapture {
public:
    LogCapture() : m_dir(quask_test::makeTempDir("cdb-log-")) { CLOG::Create(m_dir, quask_test::quietLogPort()); }
    ~LogCapture() {
        CLOG::Destroy();
        quask_test::removeTree(m_dir);
    }
    std::string text() const { return quask_test::readFile(m_dir + "/LastRun.log"); }

private:
    std::string m_dir;
};

class CDBWithHooks : public ::testing::Test {
protected:
    void SetUp() override {
        g_allocBudget = -1;
        g_liveBlocks = 0;
    }
    void TearDown() override { g_allocBudget = -1; }
};

// --- Buckets and keys ---

TEST(CDB, KeysSharingABucketAndExtremeKeysAreAllFound) {
    CDB db("Keys");
    // 5 and 4250 share bucket 5; -1 lands in bucket 3645 beside 3645 and 7890.
    const std::int32_t keys[] = {4250, 5, 7890, 3645, -1, INT_MIN, INT_MAX, 0, -4245};
    std::intptr_t n = 1;
    for (std::int32_t key : keys) db.db_insert(key, val(n++));
    n = 1;
    for (std::int32_t key : keys) EXPECT_EQ(db.db_find(key), val(n++)) << key;
    EXPECT_EQ(db.nodeCount(), 9u);
    EXPECT_TRUE(db.checkInvariants());  // signed order inside each bucket
    EXPECT_EQ(db.db_find(8495), nullptr);
    EXPECT_EQ(db.db_find(-2), nullptr);

    // Removing one key of a shared bucket leaves its neighbours alone.
    EXPECT_EQ(db.db_delete(3645), val(4));
    EXPECT_EQ(db.db_find(-1), val(5));
    EXPECT_EQ(db.db_find(7890), val(3));
    EXPECT_EQ(db.db_delete(5), val(2));
    EXPECT_EQ(db.db_find(4250), val(1));
    EXPECT_EQ(db.db_delete(INT_MIN), val(6));
    EXPECT_EQ(db.db_find(INT_MAX), val(7));
    EXPECT_EQ(db.nodeCount(), 6u);
    EXPECT_TRUE(db.checkInvariants());
}

TEST(CDB, InsertOfExistingKeyReplacesValueWithoutNewNode) {
    CDB db("Replace");
    db.db_insert(42, val(1));
    db.db_insert(42 + 4245, val(2));
    db.db_insert(42, val(3));
    EXPECT_EQ(db.db_find(42), val(3));
    EXPECT_EQ(db.db_find(42 + 4245), val(2));
    EXPECT_EQ(db.nodeCount(), 2u);
    EXPECT_EQ(db.freeNodeCount(), CDB::kPoolGrowth - 2);

    // An absent key deletes nothing.
    EXPECT_EQ(db.db_delete(42 + 2 * 4245), nullptr);
    EXPECT_EQ(db.db_delete(7), nullptr);
    EXPECT_EQ(db.nodeCount(), 2u);
    EXPECT_EQ(db.db_delete(42), val(3));
    EXPECT_EQ(db.db_delete(42), nullptr);
    EXPECT_EQ(db.nodeCount(), 1u);
    EXPECT_EQ(db.freeNodeCount(), CDB::kPoolGrowth - 1);
}

TEST(CDB, NameFallsBackToUnknownAndKeeps63Characters) {
    CDB unnamed;
    EXPECT_STREQ(unnamed.name(), "Unknown");
    const std::string longName(80, 'n');
    CDB named(longName.c_str());
    EXPECT_EQ(std::string(named.name()), std::string(63, 'n'));
}

// --- Node pool ---

TEST(CDB, PoolGrowsBy1024WhenExhausted) {
    CDB db("Pool");
    EXPECT_EQ(db.poolSize(), 0u);
    db.db_insert(0, val(1));
    EXPECT_EQ(db.poolSize(), 1024u);
    EXPECT_EQ(db.freeNodeCount(), 1023u);
    for (std::int32_t key = 1; key < 1024; ++key) db.db_insert(key, val(key + 1));
    db.db_insert(5, val(99));  // replacing takes no node
    EXPECT_EQ(db.poolSize(), 1024u);
    EXPECT_EQ(db.freeNodeCount(), 0u);
    db.db_insert(1024, val(1));
    EXPECT_EQ(db.poolSize(), 2048u);
    EXPECT_EQ(db.freeNodeCount(), 1023u);
    // Deleted nodes go back to the pool, which never shrinks.
    for (std::int32_t key = 0; key < 100; ++key) EXPECT_NE(db.db_delete(key), nullptr);
    EXPECT_EQ(db.poolSize(), 2048u);
    EXPECT_EQ(db.freeNodeCount(), 1123u);
    EXPECT_TRUE(db.checkInvariants());
}

TEST_F(CDBWithHooks, DestructorReleasesEveryBlockButNoValue) {
    {
        CDB db("Leak", &countingAllocate, &countingRelease);
        for (std::int32_t key = 0; key < 1500; ++key) db.db_insert(key * 4245, val(key + 1));
        walk(db, [&](std::int32_t key, void*) {
            if ((key / 4245) % 3 == 0) db.db_delete(key);  // 500 pending: the list grows
            return 0;
        });
        EXPECT_EQ(db.nodeCount(), 1000u);
        for (std::int32_t key = 0; key < 300; ++key) db.db_insert(-key - 1, val(1));
        int calls = 0;
        walk(db, [&](std::int32_t key, void*) {
            db.db_delete(key);
            return ++calls == 5 ? 1 : 0;  // stopped with pending nodes
        });
        EXPECT_EQ(db.nodeCount(), 1295u);
        EXPECT_GT(g_liveBlocks, 2048);
    }
    EXPECT_EQ(g_liveBlocks, 0);
}

// --- Walks ---

TEST(CDB, DeleteDuringWalkIsDeferred) {
    CDB db("Deferred");
    for (std::int32_t key = 1; key <= 10; ++key) db.db_insert(key, val(key * 10));
    std::vector<std::int32_t> visited;
    walk(db, [&](std::int32_t key, void* value) {
        visited.push_back(key);
        EXPECT_EQ(value, val(key * 10));
        if (key == 1) {
            EXPECT_EQ(db.db_delete(7), val(70));
            EXPECT_EQ(db.db_find(7), nullptr);
            EXPECT_EQ(db.nodeCount(), 10u);
            EXPECT_EQ(db.pendingCount(), 1u);
            EXPECT_EQ(db.db_delete(7), nullptr);  // no second entry
            EXPECT_EQ(db.pendingCount(), 1u);

            EXPECT_EQ(db.db_delete(5), val(50));
            EXPECT_EQ(db.db_delete(6), val(60));
            EXPECT_EQ(db.db_delete(8), val(80));
            db.db_insert(6, val(60));  // revived: 5 and 8 keep their order
            EXPECT_EQ(db.pendingCount(), 3u);
            EXPECT_EQ(db.db_find(6), val(60));
            db.db_insert(7, val(70));
            EXPECT_EQ(db.pendingCount(), 2u);
            EXPECT_TRUE(db.checkInvariants());
        }
        return 0;
    });
    EXPECT_EQ(visited, (std::vector<std::int32_t>{1, 2, 3, 4, 6, 7, 9, 10}));
    EXPECT_EQ(db.pendingCount(), 0u);
    EXPECT_EQ(db.nodeCount(), 8u);
    EXPECT_EQ(db.db_find(5), nullptr);
    EXPECT_EQ(db.db_find(8), nullptr);
    EXPECT_EQ(db.db_find(7), val(70));
    EXPECT_EQ(db.freeNodeCount(), 1024u - 8u);
    EXPECT_TRUE(db.checkInvariants());
}

TEST(CDB, NestedWalkDeletionsWaitForTheOuterWalk) {
    CDB db("Nested");
    // Two colliding chains so pending unlinks also restructure shared trees.
    std::map<std::int32_t, void*> all;
    for (std::int32_t i = 0; i < 40; ++i) {
        all[i * 4245] = val(i + 1);
        all[i * 4245 + 1] = val(i + 100);
    }
    for (const auto& kv : all) db.db_insert(kv.first, kv.second);
    auto doomed = [](std::int32_t key) { return (key / 4245) % 2 == 0; };

    std::int32_t firstKey = -1;
    std::set<std::int32_t> outerSeen;
    std::set<std::int32_t> deleted;
    walk(db, [&](std::int32_t key, void*) {
        EXPECT_TRUE(outerSeen.insert(key).second) << key;
        EXPECT_EQ(deleted.count(key), 0u) << key;  // pending keys are skipped
        if (outerSeen.size() > 1) return 0;
        firstKey = key;
        int innerCalls = 0;
        walk(db, [&](std::int32_t inner, void*) {
            ++innerCalls;
            if (doomed(inner) && inner != key) {
                EXPECT_EQ(db.db_delete(inner), all[inner]);
                deleted.insert(inner);
            }
            return 0;
        });
        EXPECT_EQ(innerCalls, 80);
        EXPECT_EQ(db.nodeCount(), 80u);  // still linked: the outer walk runs
        EXPECT_EQ(db.pendingCount(), deleted.size());
        return 0;
    });
    ASSERT_EQ(deleted.size(), doomed(firstKey) ? 39u : 40u);
    EXPECT_EQ(outerSeen.size(), 80u - deleted.size());
    EXPECT_EQ(db.nodeCount(), 80u - deleted.size());
    EXPECT_EQ(db.pendingCount(), 0u);
    for (const auto& kv : all) {
        EXPECT_EQ(db.db_find(kv.first), deleted.count(kv.first) ? nullptr : kv.second) << kv.first;
    }
    EXPECT_TRUE(db.checkInvariants());
}

TEST(CDB, StoppedWalkAppliesPendingDeletesWithoutWarning) {
    LogCapture log;
    CDB db("Stop");
    for (std::int32_t key = 0; key < 20; ++key) db.db_insert(key, val(key + 1));
    int calls = 0;
    walk(db, [&](std::int32_t key, void*) {
        ++calls;
        db.db_delete(key);
        db.db_delete(19);
        return 1;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(db.nodeCount(), 18u);  // the walk unlocked on its way out
    EXPECT_EQ(db.pendingCount(), 0u);
    EXPECT_EQ(db.db_find(0), nullptr);
    EXPECT_EQ(db.db_delete(5), val(6));  // unlocked: deletes at once
    EXPECT_EQ(db.nodeCount(), 17u);
    EXPECT_EQ(log.text().find("incosistend"), std::string::npos);
}

TEST(CDB, NodeAddedAheadOfWalkIsReportedAsInconsistency) {
    LogCapture log;
    CDB db("Walk");
    db.db_insert(1, val(1));
    std::vector<std::int32_t> keys;
    walk(db, [&](std::int32_t key, void*) {
        keys.push_back(key);
        if (key == 1) db.db_insert(2, val(2));  // a later bucket: visited too
        return 0;
    });
    EXPECT_EQ(keys, (std::vector<std::int32_t>{1, 2}));
    EXPECT_NE(log.text().find(
                  "(WARN) db_foreach: [Walk] incosistend database found. (Bug?) [4294967295]\r\n"),
              std::string::npos)
        << log.text();
}

TEST_F(CDBWithHooks, PendingListThatCannotGrowKeepsTheRow) {
    LogCapture log;
    CDB db("Grow", &countingAllocate, &countingRelease);
    for (std::int32_t key = 0; key < 300; ++key) db.db_insert(key, val(key + 1));
    db.db_insert(-1, val(1000));
    walk(db, [&](std::int32_t key, void*) {
        if (key != 0) return 0;
        for (std::int32_t k = 1; k <= 256; ++k) db.db_delete(k);
        EXPECT_EQ(db.pendingCount(), 256u);
        g_allocBudget = 0;
        EXPECT_EQ(db.db_delete(-1), val(1000));
        g_allocBudget = -1;
        EXPECT_EQ(db.db_find(-1), val(1000));  // not deleted after all
        EXPECT_EQ(db.pendingCount(), 256u);
        EXPECT_EQ(db.db_delete(257), val(258));  // grows by 64 now
        EXPECT_EQ(db.pendingCount(), 257u);
        return 0;
    });
    EXPECT_EQ(db.nodeCount(), 301u - 257u);
    EXPECT_EQ(db.db_find(-1), val(1000));
    EXPECT_NE(log.text().find("(INFO) db_delete: [Grow] is locked! - cant cant allocate sapce for "
                              "the freelist (OOM?); row (hash: 4294967295) wasn't deleted!\r\n"),
              std::string::npos)
        << log.text();
    EXPECT_TRUE(db.checkInvariants());
}

// --- Deep buckets ---

void expectFullWalk(CDB& db, const std::vector<std::int32_t>& keys) {
    std::vector<std::int32_t> seen = walkKeys(db);
    std::sort(seen.begin(), seen.end());
    std::vector<std::int32_t> want = keys;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(seen, want);
}

TEST(CDB, DegenerateBucketIsWalkedAndDeletedCompletely) {
    LogCapture log;
    CDB db("Deep");
    std::vector<std::int32_t> keys;
    for (std::int32_t i = 0; i < 5000; ++i) keys.push_back(i * 4245);  // one right chain
    for (std::int32_t i = 1; i <= 2000; ++i) keys.push_back(7 - i * 4245);  // a left chain
    for (std::int32_t key : keys) db.db_insert(key, val(key == 0 ? 1 : key));
    ASSERT_EQ(db.nodeCount(), 7000u);
    expectFullWalk(db, keys);
    EXPECT_TRUE(db.checkInvariants());

    // Every key deleted from inside a walk: the pending list grows to 7000.
    walk(db, [&](std::int32_t key, void*) {
        db.db_delete(key);
        return 0;
    });
    EXPECT_EQ(db.nodeCount(), 0u);
    EXPECT_EQ(db.freeNodeCount(), db.poolSize());

    // Then in random order outside walks, through the rebalancing unlink.
    for (std::int32_t key : keys) db.db_insert(key, val(key == 0 ? 1 : key));
    std::mt19937 rng(1234);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(db.db_delete(keys[i]), val(keys[i] == 0 ? 1 : keys[i]));
        if (i % 500 == 0) {
            ASSERT_TRUE(db.checkInvariants()) << i;
            expectFullWalk(db, std::vector<std::int32_t>(keys.begin() + i + 1, keys.end()));
        }
    }
    EXPECT_EQ(db.nodeCount(), 0u);
    EXPECT_TRUE(db.checkInvariants());
    EXPECT_EQ(log.text().find("incosistend"), std::string::npos);
}

// --- Model check ---

class RandomModel {
public:
    explicit RandomModel(std::uint32_t seed) : m_rng(seed) {}

    std::int32_t key() {
        const int pick = pct();
        if (pick < 45) {  // a few crowded buckets
            return std::uniform_int_distribution<std::int32_t>(0, 2)(m_rng) +
                   4245 * std::uniform_int_distribution<std::int32_t>(-300, 300)(m_rng);
        }
        if (pick < 80) return std::uniform_int_distribution<std::int32_t>(-50, 50)(m_rng);
        return std::uniform_int_distribution<std::int32_t>(INT_MIN, INT_MAX)(m_rng);
    }
    int pct() { return std::uniform_int_distribution<int>(0, 99)(m_rng); }
    std::mt19937& rng() { return m_rng; }

private:
    std::mt19937 m_rng;
};

TEST(CDB, RandomOperationsMatchStdMap) {
    LogCapture log;
    CDB db("Model");
    std::map<std::int32_t, void*> model;
    RandomModel gen(20240611);
    std::intptr_t nextValue = 1;
    int ops = 0;
    int walks = 0;

    auto deleteKey = [&](std::int32_t key) {
        auto it = model.find(key);
        void* want = it == model.end() ? nullptr : it->second;
        ASSERT_EQ(db.db_delete(key), want) << key;
        if (it != model.end()) model.erase(it);
    };

    while (ops < 100000) {
        const int op = gen.pct();
        const std::int32_t key = gen.key();
        ++ops;
        if (op < 40) {
            db.db_insert(key, val(nextValue));
            model[key] = val(nextValue++);
        } else if (op < 70) {
            deleteKey(key);
        } else if (op < 99) {
            auto it = model.find(key);
            ASSERT_EQ(db.db_find(key), it == model.end() ? nullptr : it->second) << key;
        } else {
            ++walks;
            const std::map<std::int32_t, void*> snapshot = model;
            std::vector<std::int32_t> snapshotKeys;
            for (const auto& kv : snapshot) snapshotKeys.push_back(kv.first);
            std::set<std::int32_t> visited;
            std::set<std::int32_t> touched;  // deleted at some point in this walk
            walk(db, [&](std::int32_t k, void* v) {
                EXPECT_EQ(snapshot.count(k), 1u) << k;
                EXPECT_TRUE(visited.insert(k).second) << k;
                auto it = model.find(k);
                EXPECT_TRUE(it != model.end() && it->second == v) << k;
                EXPECT_EQ(db.nodeCount(), snapshot.size());
                if (gen.pct() < 5 && !snapshotKeys.empty()) {
                    ++ops;
                    std::int32_t target =
                        gen.pct() < 50 ? snapshotKeys[gen.rng()() % snapshotKeys.size()] : gen.key();
                    const int inner = gen.pct();
                    if (inner < 60) {
                        touched.insert(target);
                        deleteKey(target);
                    } else if (snapshot.count(target)) {  // revive or replace, never a new node
                        db.db_insert(target, val(nextValue));
                        model[target] = val(nextValue++);
                    } else {
                        auto m = model.find(target);
                        EXPECT_EQ(db.db_find(target), m == model.end() ? nullptr : m->second);
                    }
                }
                return 0;
            });
            for (std::int32_t k : snapshotKeys) {
                if (!touched.count(k)) {
                    ASSERT_EQ(visited.count(k), 1u) << k;
                }
            }
            ASSERT_EQ(db.pendingCount(), 0u);
        }
        ASSERT_EQ(db.nodeCount(), model.size());
        if (ops % 2000 == 0) {
            ASSERT_TRUE(db.checkInvariants()) << ops;
        }
    }
    EXPECT_GT(walks, 500);
    EXPECT_TRUE(db.checkInvariants());
    for (const auto& kv : model) ASSERT_EQ(db.db_find(kv.first), kv.second) << kv.first;
    std::vector<std::int32_t> all;
    for (const auto& kv : model) all.push_back(kv.first);
    expectFullWalk(db, all);
    EXPECT_EQ(log.text().find("incosistend"), std::string::npos);
}

// --- Out of memory ---

TEST(CDBDeathTest, PendingListAllocationFailureEndsProcess) {
    ::setenv("QUASK_NONINTERACTIVE", "1", 1);
    EXPECT_EXIT(
        {
            LogCapture log;
            g_allocBudget = 0;
            CDB db("Ctor", &countingAllocate, &countingRelease);
        },
        ::testing::ExitedWithCode(1), "CDB::CDB => OOM @ FreeList allocation");
}

TEST(CDBDeathTest, PoolGrowthFailureEndsProcess) {
    ::setenv("QUASK_NONINTERACTIVE", "1", 1);
    EXPECT_EXIT(
        {
            LogCapture log;
            CDB db("PoolDB", &countingAllocate, &countingRelease);
            for (std::int32_t key = 0; key < 1024; ++key) db.db_insert(key, val(1));
            g_allocBudget = 500;  // the second batch runs dry half way
            db.db_insert(1024, val(1));
        },
        ::testing::ExitedWithCode(1),
        "dbnpool_get: \\[PoolDB\\] - out of memory while increasing DB free node pool!");
}

}  // namespace
}  // namespace velmar
