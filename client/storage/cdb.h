// CDB: the engine's in-memory map from a signed 32-bit key to an opaque value.
//
// A fixed table of 4245 buckets, each an ordered binary tree, with its own
// pool of tree nodes that grows 1024 nodes at a time and is returned to the
// heap only when the database is destroyed. Values belong to the caller and
// are never released here; owners walk the database and release them first.
//
// db_foreach lets its callback insert, find, delete and start nested walks on
// the same database: deletions made while any walk runs are deferred and take
// effect when the outermost walk ends. There is no locking; one thread at a
// time uses a database (its manager serialises access).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

class CDB {
public:
    using AllocateHook = void* (*)(std::size_t size);
    using ReleaseHook = void (*)(void* block);
    // A non-zero result ends the walk at once.
    using WalkCallback = int (*)(std::int32_t key, void* value, void* context);

    static constexpr std::uint32_t kBucketCount = 4245;
    static constexpr std::uint32_t kPoolGrowth = 1024;
    static constexpr std::uint32_t kPendingInitial = 256;
    static constexpr std::uint32_t kPendingGrowth = 64;
    static constexpr std::size_t kNameSize = 64;  // 63 characters and the NUL

    // A null or empty name becomes "Unknown". All memory, the node pool and
    // the pending list, comes from `allocate` and goes back through `release`.
    explicit CDB(const char* name = nullptr, AllocateHook allocate = nullptr,
                 ReleaseHook release = nullptr);
    ~CDB();
    CDB(const CDB&) = delete;
    CDB& operator=(const CDB&) = delete;

    void db_insert(std::int32_t key, void* value);
    void* db_find(std::int32_t key) const;
    // Returns the value that was stored, or null when the key is absent.
    void* db_delete(std::int32_t key);
    void db_foreach(WalkCallback callback, void* context = nullptr);

    const char* name() const { return m_name; }
    // Nodes linked into the trees, pending deletions included.
    std::uint32_t nodeCount() const { return m_nodeCount; }
    std::uint32_t pendingCount() const { return m_pendingCount; }
    std::uint32_t poolSize() const { return m_poolSize; }
    std::uint32_t freeNodeCount() const;  // walks the free list

    // Debug check: every tree ordered and bucketed by its keys, parent links
    // consistent, counts and the pending list in agreement with the nodes.
    bool checkInvariants() const;

private:
    struct Node;
    struct PendingEntry {
        Node* node;
        Node** root;
    };

    Node* dbnpool_get();
    static Node* findIn(Node* root, std::int32_t key);
    bool growPending();
    void unlock();
    void unlinkNode(Node* node, Node** root);
    void recycleNode(Node* node);
    void deleteFixup(Node* x, Node* parent, Node** root);
    void rotateLeft(Node* node, Node** root);
    void rotateRight(Node* node, Node** root);
    void replaceChild(Node* parent, Node* oldChild, Node* newChild, Node** root);

    AllocateHook m_allocate;
    ReleaseHook m_release;
    Node* m_freeNodes = nullptr;
    Node* m_buckets[kBucketCount] = {};
    std::uint32_t m_bucketCount = kBucketCount;
    PendingEntry* m_pending = nullptr;
    std::uint32_t m_pendingCount = 0;
    std::uint32_t m_pendingCapacity = 0;
    std::uint32_t m_lockDepth = 0;
    char m_name[kNameSize] = {};
    std::uint32_t m_nodeCount = 0;
    std::uint32_t m_poolSize = 0;
};

}  // namespace velmar
