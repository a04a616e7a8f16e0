// The red-black tree of free blocks: one node per distinct size, further
// blocks of that size in a list of compact entries behind it (newest first
// after the founder).  Nodes and entries come from the tree's pools.
//
// Writers run one at a time (FastRedBlackTree's write lock) with the
// interpreter lock held; lock-free readers may walk the tree at the same
// time with the interpreter lock released.  Hence:
//   * links readers follow are atomics stored with release order;
//   * a head unlinked from the tree is retired, not freed, while any reader
//     is walking, and freed once none is (drain_retired);
//   * list entries are never reached by a lock-free walk (readers read the
//     lists only with the interpreter lock held, after validating), so they
//     are freed at once;
//   * a pool chunk goes back to the system only once all its slots are
//     free, so never while a reader may stand on one of its nodes, and the
//     chunks of a cleared tree wait in `retired_chunks` while readers walk.
// Without the interpreter lock (free-threaded builds) a writer changes the
// tree only once no reader is left inside it (FastRedBlackTree waits for
// them, and new ones see the odd sequence counter and stay out), so there
// readers may also read the lists and blocks they found.
#include "spanwood.hpp"

#include <chrono>
#include <cstddef>
#include <new>
#include <thread>

namespace spanwood {

std::atomic<uint32_t> reader_pause_us{0};

namespace {

// ---------------------------------------------------------------- links

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kRelease = std::memory_order_release;
constexpr auto kAcquire = std::memory_order_acquire;

// The writer's own view: it is the only thread changing links.
inline RBNode* L(const RBNode* n) { return n->left.load(kRelaxed); }
inline RBNode* R(const RBNode* n) { return n->right.load(kRelaxed); }
inline RBNode* root_of(const Core& t) { return t.root.load(kRelaxed); }
inline void set_left(RBNode* n, RBNode* v) { n->left.store(v, kRelease); }
inline void set_right(RBNode* n, RBNode* v) { n->right.store(v, kRelease); }
inline void set_root(Core& t, RBNode* v) { t.root.store(v, kRelease); }

// A missing child counts as black.
inline bool is_black(const RBNode* n) { return !n || n->color == BLACK; }
inline bool is_red(const RBNode* n) { return n && n->color == RED; }

void free_node(Core& t, RBNode* n) noexcept {
    n->left.~atomic();
    n->right.~atomic();
    pool_free(t.node_pool, n);
}

void free_entry(Core& t, Entry* e) noexcept { pool_free(t.entry_pool, e); }

// Frees `n` now when no reader can be inside it, else retires it.
void retire(Core& t, RBNode* n) noexcept {
    if (t.readers.load() == 0) {
        free_node(t, n);
        return;
    }
    n->parent = t.retired;
    t.retired = n;
}

// ---------------------------------------------------------------- rotations

void rotate_left(Core& t, RBNode* x) {
    RBNode* y = R(x);
    RBNode* yl = L(y);
    set_right(x, yl);
    if (yl) yl->parent = x;
    RBNode* p = x->parent;
    y->parent = p;
    if (!p)
        set_root(t, y);
    else if (x == L(p))
        set_left(p, y);
    else
        set_right(p, y);
    set_left(y, x);
    x->parent = y;
}

void rotate_right(Core& t, RBNode* x) {
    RBNode* y = L(x);
    RBNode* yr = R(y);
    set_left(x, yr);
    if (yr) yr->parent = x;
    RBNode* p = x->parent;
    y->parent = p;
    if (!p)
        set_root(t, y);
    else if (x == R(p))
        set_right(p, y);
    else
        set_left(p, y);
    set_right(y, x);
    x->parent = y;
}

// Puts v (may be null) where u hangs.
void transplant(Core& t, RBNode* u, RBNode* v) {
    RBNode* p = u->parent;
    if (!p)
        set_root(t, v);
    else if (u == L(p))
        set_left(p, v);
    else
        set_right(p, v);
    if (v) v->parent = p;
}

RBNode* minimum(RBNode* n) {
    while (RBNode* l = L(n))
        n = l;
    return n;
}

// ---------------------------------------------------------------- fix-ups

void fixup_insert(Core& t, RBNode* z) {
    while (z->parent && z->parent->color == RED) {
        RBNode* p = z->parent;
        RBNode* g = p->parent;  // a red node is never the root
        if (p == L(g)) {
            RBNode* u = R(g);
            if (is_red(u)) {
                p->color = BLACK;
                u->color = BLACK;
                g->color = RED;
                z = g;
                continue;
            }
            if (z == R(p)) {
                z = p;
                rotate_left(t, z);
                p = z->parent;
                g = p->parent;
            }
            p->color = BLACK;
            g->color = RED;
            rotate_right(t, g);
        } else {
            RBNode* u = L(g);
            if (is_red(u)) {
                p->color = BLACK;
                u->color = BLACK;
                g->color = RED;
                z = g;
                continue;
            }
            if (z == L(p)) {
                z = p;
                rotate_right(t, z);
                p = z->parent;
                g = p->parent;
            }
            p->color = BLACK;
            g->color = RED;
            rotate_left(t, g);
        }
    }
    root_of(t)->color = BLACK;
}

// Restores the rules after a black node left the position now held by x
// under xp.  x may be null: the missing child is then the doubly black
// position, which is why its parent is passed along.  In a valid tree the
// sibling of a doubly black position always exists; the null checks only
// keep a damaged tree from crashing.
void fixup_delete(Core& t, RBNode* x, RBNode* xp) {
    while (x != root_of(t) && is_black(x) && xp) {
        if (x == L(xp)) {
            RBNode* w = R(xp);
            if (is_red(w)) {
                w->color = BLACK;
                xp->color = RED;
                rotate_left(t, xp);
                w = R(xp);
            }
            if (!w) {
                x = xp;
                xp = x->parent;
                continue;
            }
            if (is_black(L(w)) && is_black(R(w))) {
                w->color = RED;
                x = xp;
                xp = x->parent;
                continue;
            }
            if (is_black(R(w))) {
                L(w)->color = BLACK;
                w->color = RED;
                rotate_right(t, w);
                w = R(xp);
            }
            w->color = xp->color;
            xp->color = BLACK;
            if (RBNode* wr = R(w)) wr->color = BLACK;
            rotate_left(t, xp);
            x = root_of(t);
            break;
        } else {
            RBNode* w = L(xp);
            if (is_red(w)) {
                w->color = BLACK;
                xp->color = RED;
                rotate_right(t, xp);
                w = L(xp);
            }
            if (!w) {
                x = xp;
                xp = x->parent;
                continue;
            }
            if (is_black(L(w)) && is_black(R(w))) {
                w->color = RED;
                x = xp;
                xp = x->parent;
                continue;
            }
            if (is_black(L(w))) {
                R(w)->color = BLACK;
                w->color = RED;
                rotate_left(t, w);
                w = L(xp);
            }
            w->color = xp->color;
            xp->color = BLACK;
            if (RBNode* wl = L(w)) wl->color = BLACK;
            rotate_right(t, xp);
            x = root_of(t);
            break;
        }
    }
    if (x) x->color = BLACK;
}

// Unlinks the head z (whose list is empty) and rebalances.  The successor
// node is relinked in z's place; no key or block moves between nodes, so a
// lock-free reader holding a node always sees that node's own size.  z's
// own links stay as they were, so a reader standing on z walks on into the
// tree.
void delete_node(Core& t, RBNode* z) {
    RBNode* x;
    RBNode* xp;
    uint32_t removed_color = z->color;
    if (!L(z)) {
        x = R(z);
        xp = z->parent;
        transplant(t, z, x);
    } else if (!R(z)) {
        x = L(z);
        xp = z->parent;
        transplant(t, z, x);
    } else {
        RBNode* y = minimum(R(z));
        removed_color = y->color;
        x = R(y);
        if (y->parent == z) {
            xp = y;
        } else {
            xp = y->parent;
            transplant(t, y, x);
            set_right(y, R(z));
            R(y)->parent = y;
        }
        transplant(t, z, y);
        set_left(y, L(z));
        L(y)->parent = y;
        y->color = z->color;
    }
    if (removed_color == BLACK) fixup_delete(t, x, xp);
    add_relaxed(t.heads, -1);
}

// ---------------------------------------------------------------- checks

// Black height of the subtree, or -1 with *why set.
int check_subtree(const RBNode* n, const RBNode* parent, const uint64_t* lo, const uint64_t* hi,
                  uint64_t* heads, uint64_t* blocks, const char** why) {
    if (!n) return 1;
    if (n->parent != parent) return *why = "a node's parent link is wrong", -1;
    if ((lo && n->size <= *lo) || (hi && n->size >= *hi))
        return *why = "sizes are out of search order (or repeated)", -1;
    if (n->color != RED && n->color != BLACK) return *why = "a node has no valid colour", -1;
    if (n->color == RED && (is_red(L(n)) || is_red(R(n))))
        return *why = "a red node has a red child", -1;
    if (!n->block) return *why = "a head holds no block", -1;
    ++*heads;
    ++*blocks;
    for (const Entry* e = n->next; e; e = e->next) {
        if (!e->block) return *why = "a same-size list entry holds no block", -1;
        ++*blocks;
    }
    int lh = check_subtree(L(n), n, lo, &n->size, heads, blocks, why);
    if (lh < 0) return -1;
    int rh = check_subtree(R(n), n, &n->size, hi, heads, blocks, why);
    if (rh < 0) return -1;
    if (lh != rh) return *why = "black heights differ", -1;
    return lh + (n->color == BLACK ? 1 : 0);
}

// See reader_pause_us.
void pause_reader() noexcept {
    if (uint32_t us = reader_pause_us.load(kRelaxed))
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

}  // namespace

// ---------------------------------------------------------------- nodes

void init_core(Core& t) noexcept {
    new (&t.root) std::atomic<RBNode*>(nullptr);
    new (&t.count) std::atomic<uint64_t>(0);
    new (&t.heads) std::atomic<uint64_t>(0);
    t.retired = nullptr;
    t.retired_chunks = nullptr;
    new (&t.readers) std::atomic<uint32_t>(0);
    pool_init(t.node_pool, sizeof(RBNode), offsetof(RBNode, block), offsetof(RBNode, parent));
    pool_init(t.entry_pool, sizeof(Entry), offsetof(Entry, block), offsetof(Entry, next));
}

// ---------------------------------------------------------------- lookups

RBNode* find_node(const Core& t, uint64_t size) noexcept {
    RBNode* n = root_of(t);
    while (n && n->size != size)
        n = size < n->size ? L(n) : R(n);
    return n;
}

RBNode* find_best_fit_node(const Core& t, uint64_t size) noexcept {
    RBNode* best = nullptr;
    for (RBNode* n = root_of(t); n;) {
        if (n->size < size) {
            n = R(n);
        } else {
            best = n;  // every later candidate lies left of it, so is smaller
            n = L(n);
        }
    }
    return best;
}

bool read_find_node(const Core& t, uint64_t size, RBNode** out) noexcept {
    RBNode* n = t.root.load(kAcquire);
    for (int steps = 0; n; ++steps) {
        if (steps > kMaxWalk) return false;
        if (steps == 1) pause_reader();
        const uint64_t s = n->size;
        if (s == size) break;
        n = (size < s ? n->left : n->right).load(kAcquire);
    }
    *out = n;
    return true;
}

bool read_find_best_fit_node(const Core& t, uint64_t size, RBNode** out) noexcept {
    RBNode* best = nullptr;
    RBNode* n = t.root.load(kAcquire);
    for (int steps = 0; n; ++steps) {
        if (steps > kMaxWalk) return false;
        if (steps == 1) pause_reader();
        if (n->size < size) {
            n = n->right.load(kAcquire);
        } else {
            if (!best || n->size < best->size) best = n;
            n = n->left.load(kAcquire);
        }
    }
    *out = best;
    return true;
}

// ---------------------------------------------------------------- changes

namespace {
bool no_memory() {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
    return false;
}
}  // namespace

bool insert_block(Core& t, uint64_t size, PyObject* block) noexcept {
    RBNode* parent = nullptr;
    bool go_left = false;
    for (RBNode* n = root_of(t); n;) {
        if (n->size == size) {
            // Behind the head: the tree's shape and colours stay as they are.
            auto* e = static_cast<Entry*>(pool_alloc(t.entry_pool));
            if (!e) return no_memory();
            e->block = Py_NewRef(block);
            e->next = n->next;
            n->next = e;
            add_relaxed(t.count, 1);
            return true;
        }
        parent = n;
        go_left = size < n->size;
        n = go_left ? L(n) : R(n);
    }
    auto* node = static_cast<RBNode*>(pool_alloc(t.node_pool));
    if (!node) return no_memory();
    new (&node->left) std::atomic<RBNode*>(nullptr);
    new (&node->right) std::atomic<RBNode*>(nullptr);
    node->size = size;
    node->block = Py_NewRef(block);
    node->parent = parent;
    node->next = nullptr;
    node->color = RED;
    if (!parent) {
        node->color = BLACK;
        set_root(t, node);
    } else {
        if (go_left)
            set_left(parent, node);
        else
            set_right(parent, node);
        fixup_insert(t, node);
    }
    add_relaxed(t.heads, 1);
    add_relaxed(t.count, 1);
    return true;
}

PyObject* take_head_block(Core& t, RBNode* head) noexcept {
    PyObject* block = head->block;
    if (Entry* e = head->next) {
        // The first list entry's block moves into the head, which keeps its
        // place, size and colour.
        head->next = e->next;
        head->block = e->block;
        e->block = nullptr;
        free_entry(t, e);
    } else {
        head->block = nullptr;
        delete_node(t, head);
        retire(t, head);
    }
    add_relaxed(t.count, -1);
    return block;
}

PyObject* take_entry_block(Core& t, RBNode* head, Entry* prev, Entry* e) noexcept {
    PyObject* block = e->block;
    (prev ? prev->next : head->next) = e->next;
    e->block = nullptr;
    free_entry(t, e);
    add_relaxed(t.count, -1);
    return block;
}

Chunk* detach_all(Core& t) noexcept {
    set_root(t, nullptr);
    t.count.store(0, std::memory_order_relaxed);
    t.heads.store(0, std::memory_order_relaxed);
    // Retired heads lie in the detached chunks and go with them.
    t.retired = nullptr;
    Chunk* chunks = pool_detach(t.node_pool);
    chain_chunks(&chunks, pool_detach(t.entry_pool));
    return chunks;
}

void release_detached(Core& t, Chunk* chunks) {
    release_chunk_blocks(chunks);
#ifdef Py_GIL_DISABLED
    // The tree was detached after the readers inside it had left (writers
    // wait for them), and new ones start from the new root: nothing can
    // reach these chunks.  (Retiring them here, outside the write lock,
    // would race with the writers that own the retired chain.)
    (void)t;
    unmap_chunks(chunks);
#else
    // Readers that were walking when the tree was detached may still stand
    // in these chunks; ones started since (by the finalisers, say) begin at
    // the current root and never reach them.
    if (t.readers.load() == 0)
        unmap_chunks(chunks);
    else
        chain_chunks(&t.retired_chunks, chunks);
#endif
}

void drain_retired(Core& t) noexcept {
    RBNode* n = t.retired;
    t.retired = nullptr;
    while (n) {
        RBNode* following = n->parent;
        free_node(t, n);
        n = following;
    }
    Chunk* chunks = t.retired_chunks;
    t.retired_chunks = nullptr;
    unmap_chunks(chunks);
}

// ---------------------------------------------------------------- reports

int32_t compute_height(const RBNode* n) noexcept {
    if (!n) return 0;
    int32_t l = compute_height(L(n));
    int32_t r = compute_height(R(n));
    return 1 + (l > r ? l : r);
}

std::size_t collect_distribution(const RBNode* n, SizeCount* out) noexcept {
    if (!n) return 0;
    uint64_t c = 1;
    for (const Entry* e = n->next; e; e = e->next)
        ++c;
    out[0] = {n->size, c};
    std::size_t written = 1;
    written += collect_distribution(L(n), out + written);
    written += collect_distribution(R(n), out + written);
    return written;
}

int traverse_blocks(const Core& t, visitproc visit, void* arg) noexcept {
    if (int r = visit_pool(t.node_pool, visit, arg)) return r;
    return visit_pool(t.entry_pool, visit, arg);
}

const char* check_tree(const Core& t, int* black_height) noexcept {
    const RBNode* r = root_of(t);
    if (r && r->color != BLACK) return "the root is red";
    uint64_t heads = 0, blocks = 0;
    const char* why = nullptr;
    int bh = check_subtree(r, nullptr, nullptr, nullptr, &heads, &blocks, &why);
    if (bh < 0) return why;
    if (heads != t.heads) return "the head count is wrong";
    if (blocks != t.count) return "the block count is wrong";
    uint64_t retired = 0;
    for (const RBNode* n = t.retired; n; n = n->parent, ++retired)
        if (n->block) return "a retired node still holds a block";
    if (t.node_pool.live != heads + retired) return "the node pool's count is wrong";
    if (t.entry_pool.live != blocks - heads) return "the entry pool's count is wrong";
    *black_height = bh;
    return nullptr;
}

}  // namespace spanwood
