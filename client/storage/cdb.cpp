#include "client/storage/cdb.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/core/log.h"
#include "client/core/runtime.h"

namespace velmar {

struct CDB::Node {
    Node* parent;
    Node* left;
    Node* right;  // also the link of the free node list
    std::int32_t colour;
    std::int32_t key;
    void* value;
    std::uint8_t deleted;
};

namespace {

constexpr std::int32_t kRed = 0;
constexpr std::int32_t kBlack = 1;

std::uint32_t bucketOf(std::int32_t key) {
    return static_cast<std::uint32_t>(key) % CDB::kBucketCount;
}

template <typename N>
bool isBlack(const N* node) {
    return node == nullptr || node->colour == kBlack;  // a missing node counts as black
}

}  // namespace

// --- Lifecycle ---

CDB::CDB(const char* name, AllocateHook allocate, ReleaseHook release)
    : m_allocate(allocate ? allocate : &velmar::allocate),
      m_release(release ? release : &velmar::release) {
    const char* source = (name && name[0]) ? name : "Unknown";
    std::strncpy(m_name, source, kNameSize - 1);
    m_name[kNameSize - 1] = '\0';

    m_pending = static_cast<PendingEntry*>(m_allocate(kPendingInitial * sizeof(PendingEntry)));
    if (!m_pending) {
        Message(kLogCrit, "CDB::CDB => OOM @ FreeList allocation");
        exitProcess(1);
    }
    m_pendingCapacity = kPendingInitial;
}

CDB::~CDB() {
    // Post-order teardown without recursion: a bucket may be a long chain.
    for (Node*& root : m_buckets) {
        Node* node = root;
        while (node) {
            if (node->left) {
                node = node->left;
                continue;
            }
            if (node->right) {
                node = node->right;
                continue;
            }
            Node* parent = node->parent;
            if (parent) {
                if (parent->left == node) parent->left = nullptr;
                else parent->right = nullptr;
            }
            m_release(node);
            node = parent;
        }
        root = nullptr;
    }
    while (m_freeNodes) {
        Node* next = m_freeNodes->right;
        m_release(m_freeNodes);
        m_freeNodes = next;
    }
    m_release(m_pending);
    m_pending = nullptr;
}

// --- Node pool ---

CDB::Node* CDB::dbnpool_get() {
    if (!m_freeNodes) {
        for (std::uint32_t i = 0; i < kPoolGrowth; ++i) {
            auto* node = static_cast<Node*>(m_allocate(sizeof(Node)));
            if (!node) {
                Message(kLogCrit,
                        "dbnpool_get: [%s] - out of memory while increasing DB free node pool!",
                        m_name);
                exitProcess(1);
            }
            std::memset(node, 0, sizeof(Node));
            node->right = m_freeNodes;
            m_freeNodes = node;
            ++m_poolSize;
        }
    }
    Node* node = m_freeNodes;
    m_freeNodes = node->right;
    node->right = nullptr;
    return node;
}

void CDB::recycleNode(Node* node) {
    std::memset(node, 0, sizeof(Node));
    node->right = m_freeNodes;
    m_freeNodes = node;
}

std::uint32_t CDB::freeNodeCount() const {
    std::uint32_t count = 0;
    for (const Node* node = m_freeNodes; node; node = node->right) ++count;
    return count;
}

// --- Lookup and insertion ---

CDB::Node* CDB::findIn(Node* root, std::int32_t key) {
    Node* node = root;
    while (node && node->key != key) node = key < node->key ? node->left : node->right;
    return node;
}

void* CDB::db_find(std::int32_t key) const {
    const Node* node = findIn(m_buckets[bucketOf(key)], key);
    return node ? node->value : nullptr;  // a pending node's value is already null
}

void CDB::db_insert(std::int32_t key, void* value) {
    Node** root = &m_buckets[bucketOf(key)];
    Node* parent = nullptr;
    bool goLeft = false;
    for (Node* node = *root; node;) {
        if (node->key == key) {
            if (node->deleted) {
                std::uint32_t i = 0;
                while (i < m_pendingCount && m_pending[i].node != node) ++i;
                if (i < m_pendingCount) {
                    // Later entries keep their order: they are unlinked in list order.
                    std::memmove(&m_pending[i], &m_pending[i + 1],
                                 (m_pendingCount - i - 1) * sizeof(PendingEntry));
                    --m_pendingCount;
                } else {
                    Message(kLogInfo, "db_insert: [%s] cannot find deleted db node.", m_name);
                }
            }
            node->value = value;
            node->deleted = 0;
            return;
        }
        parent = node;
        goLeft = key < node->key;
        node = goLeft ? node->left : node->right;
    }

    Node* node = dbnpool_get();
    if (!node) {
        Message(kLogCrit,
                "db_insert: [%s] out of memory - cannot allocate new db node! (No insert done!)",
                m_name);
        exitProcess(1);
    }
    node->key = key;
    node->value = value;
    node->left = nullptr;
    node->right = nullptr;
    node->deleted = 0;
    node->parent = parent;
    if (!parent) {
        node->colour = kBlack;
        *root = node;
    } else {
        // Insertion never rebalances; the deletion fix-up copes with the shape.
        node->colour = kRed;
        (goLeft ? parent->left : parent->right) = node;
    }
    ++m_nodeCount;
}

// --- Deletion ---

void* CDB::db_delete(std::int32_t key) {
    Node** root = &m_buckets[bucketOf(key)];
    Node* node = findIn(*root, key);
    if (!node || node->deleted) return nullptr;
    void* value = node->value;

    if (m_lockDepth == 0) {
        unlinkNode(node, root);
        recycleNode(node);
        --m_nodeCount;
        return value;
    }

    // A walk is running: the node stays linked so the walk can go on past it.
    if (m_pendingCount == m_pendingCapacity && !growPending()) {
        Message(kLogInfo,
                "db_delete: [%s] is locked! - cant cant allocate sapce for the freelist (OOM?); "
                "row (hash: %u) wasn't deleted!",
                m_name, static_cast<std::uint32_t>(key));
        return value;
    }
    m_pending[m_pendingCount++] = PendingEntry{node, root};
    node->value = nullptr;
    node->deleted = 1;
    return value;
}

bool CDB::growPending() {
    if (m_pendingCapacity > UINT32_MAX - kPendingGrowth) return false;
    const std::uint32_t capacity = m_pendingCapacity + kPendingGrowth;
    if (capacity > SIZE_MAX / sizeof(PendingEntry)) return false;
    auto* grown = static_cast<PendingEntry*>(m_allocate(capacity * sizeof(PendingEntry)));
    if (!grown) return false;
    std::memcpy(grown, m_pending, m_pendingCount * sizeof(PendingEntry));
    m_release(m_pending);
    m_pending = grown;
    m_pendingCapacity = capacity;
    return true;
}

void CDB::replaceChild(Node* parent, Node* oldChild, Node* newChild, Node** root) {
    if (!parent) *root = newChild;
    else if (parent->left == oldChild) parent->left = newChild;
    else parent->right = newChild;
    if (newChild) newChild->parent = parent;
}

void CDB::rotateLeft(Node* node, Node** root) {
    Node* pivot = node->right;
    node->right = pivot->left;
    if (pivot->left) pivot->left->parent = node;
    replaceChild(node->parent, node, pivot, root);
    pivot->left = node;
    node->parent = pivot;
}

void CDB::rotateRight(Node* node, Node** root) {
    Node* pivot = node->left;
    node->left = pivot->right;
    if (pivot->right) pivot->right->parent = node;
    replaceChild(node->parent, node, pivot, root);
    pivot->right = node;
    node->parent = pivot;
}

// The successor node itself moves into the deleted node's place (rather than
// its key and value being copied), so pending entries that point at other
// nodes of the tree stay valid while the pending list is drained.
void CDB::unlinkNode(Node* node, Node** root) {
    Node* child = nullptr;
    Node* childParent = nullptr;
    std::int32_t removedColour = node->colour;
    if (node->left && node->right) {
        Node* successor = node->right;
        while (successor->left) successor = successor->left;
        removedColour = successor->colour;
        child = successor->right;
        if (successor->parent == node) {
            childParent = successor;
        } else {
            childParent = successor->parent;
            replaceChild(successor->parent, successor, child, root);
            successor->right = node->right;
            successor->right->parent = successor;
        }
        replaceChild(node->parent, node, successor, root);
        successor->left = node->left;
        successor->left->parent = successor;
        successor->colour = node->colour;
    } else {
        child = node->left ? node->left : node->right;
        childParent = node->parent;
        replaceChild(node->parent, node, child, root);
    }
    if (removedColour == kBlack) deleteFixup(child, childParent, root);
}

// Red-black deletion fix-up. Insertion does not balance, so a sibling may be
// missing where a balanced tree would have one: it counts as black with black
// children, and the extra black moves up to the parent.
void CDB::deleteFixup(Node* x, Node* parent, Node** root) {
    while (parent && isBlack(x)) {
        // With x null, x == parent->left still tells the side: both are null
        // only when the parent has no children, where either side does.
        if (x == parent->left) {
            Node* sibling = parent->right;
            if (!isBlack(sibling)) {
                sibling->colour = kBlack;
                parent->colour = kRed;
                rotateLeft(parent, root);
                sibling = parent->right;
            }
            if (!sibling || (isBlack(sibling->left) && isBlack(sibling->right))) {
                if (sibling) sibling->colour = kRed;
                x = parent;
                parent = x->parent;
                continue;
            }
            if (isBlack(sibling->right)) {
                sibling->left->colour = kBlack;  // red, so present
                sibling->colour = kRed;
                rotateRight(sibling, root);
                sibling = parent->right;
            }
            sibling->colour = parent->colour;
            parent->colour = kBlack;
            if (sibling->right) sibling->right->colour = kBlack;
            rotateLeft(parent, root);
        } else {
            Node* sibling = parent->left;
            if (!isBlack(sibling)) {
                sibling->colour = kBlack;
                parent->colour = kRed;
                rotateRight(parent, root);
                sibling = parent->left;
            }
            if (!sibling || (isBlack(sibling->left) && isBlack(sibling->right))) {
                if (sibling) sibling->colour = kRed;
                x = parent;
                parent = x->parent;
                continue;
            }
            if (isBlack(sibling->left)) {
                sibling->right->colour = kBlack;
                sibling->colour = kRed;
                rotateLeft(sibling, root);
                sibling = parent->left;
            }
            sibling->colour = parent->colour;
            parent->colour = kBlack;
            if (sibling->left) sibling->left->colour = kBlack;
            rotateRight(parent, root);
        }
        x = *root;
        break;
    }
    if (x) x->colour = kBlack;
}

// --- Walks ---

// Pre-order through the parent links: no stack, so no depth limit and no
// allocation however lopsided a bucket's tree is. Callbacks can only add
// leaves while a walk runs (unlinking waits for the outermost walk), and the
// climb below stays correct under that.
void CDB::db_foreach(WalkCallback callback, void* context) {
    if (!callback) return;
    ++m_lockDepth;
    std::uint32_t remaining = m_nodeCount;
    for (std::uint32_t bucket = 0; bucket < m_bucketCount; ++bucket) {
        Node* node = m_buckets[bucket];
        while (node) {
            --remaining;
            if (!node->deleted && callback(node->key, node->value, context) != 0) {
                unlock();
                return;
            }
            if (node->left) {
                node = node->left;
            } else if (node->right) {
                node = node->right;
            } else {
                // Climb to the nearest ancestor reached from its left side
                // that still has a right subtree to visit.
                Node* child = node;
                Node* parent = node->parent;
                while (parent && (parent->left != child || !parent->right)) {
                    child = parent;
                    parent = parent->parent;
                }
                node = parent ? parent->right : nullptr;
            }
        }
    }
    unlock();
    if (remaining != 0) {
        Message(kLogWarn, "db_foreach: [%s] incosistend database found. (Bug?) [%u]", m_name,
                remaining);
    }
}

void CDB::unlock() {
    if (m_lockDepth == 0 || --m_lockDepth != 0) return;
    for (std::uint32_t i = 0; i < m_pendingCount; ++i) {
        unlinkNode(m_pending[i].node, m_pending[i].root);
        recycleNode(m_pending[i].node);
        --m_nodeCount;
    }
    m_pendingCount = 0;
}

// --- Debug check ---

bool CDB::checkInvariants() const {
    struct Frame {
        const Node* node;
        const Node* parent;
        std::int64_t low;   // exclusive bounds from the ancestors
        std::int64_t high;
    };
    if (m_bucketCount != kBucketCount || m_pendingCount > m_pendingCapacity) return false;
    std::vector<Frame> stack;
    std::uint32_t linked = 0;
    std::uint32_t deleted = 0;
    for (std::uint32_t bucket = 0; bucket < kBucketCount; ++bucket) {
        if (m_buckets[bucket] && m_buckets[bucket]->colour != kBlack) return false;
        stack.push_back({m_buckets[bucket], nullptr, INT64_MIN, INT64_MAX});
        while (!stack.empty()) {
            const Frame f = stack.back();
            stack.pop_back();
            if (!f.node) continue;
            const Node* n = f.node;
            if (n->parent != f.parent || n->key <= f.low || n->key >= f.high) return false;
            if (bucketOf(n->key) != bucket) return false;
            if ((n->colour != kRed && n->colour != kBlack) || n->deleted > 1) return false;
            if (n->deleted) {
                if (n->value) return false;
                ++deleted;
            }
            ++linked;
            stack.push_back({n->left, n, f.low, n->key});
            stack.push_back({n->right, n, n->key, f.high});
        }
    }
    if (linked != m_nodeCount || deleted != m_pendingCount) return false;

    std::vector<const Node*> pendingNodes;
    for (std::uint32_t i = 0; i < m_pendingCount; ++i) {
        const PendingEntry& e = m_pending[i];
        if (!e.node->deleted || e.root != &m_buckets[bucketOf(e.node->key)]) return false;
        pendingNodes.push_back(e.node);
    }
    std::sort(pendingNodes.begin(), pendingNodes.end());
    if (std::adjacent_find(pendingNodes.begin(), pendingNodes.end()) != pendingNodes.end()) {
        return false;
    }
    return freeNodeCount() + m_nodeCount == m_poolSize;
}

}  // namespace velmar
