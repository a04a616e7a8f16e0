// The red-black tree of free blocks: one node per distinct size, further
// blocks of that size in a list behind it (newest first after the founder).
//
// Writers run one at a time (FastRedBlackTree's write lock) with the
// interpreter lock held; lock-free readers may walk the tree at the same
// time with the interpreter lock released.  Hence:
//   * links readers follow are atomics stored with release order;
//   * a head unlinked from the tree is retired, not freed, while any reader
//     is walking, and freed once none is (drain_retired);
//   * list entries are never reached by a lock-free walk (readers read the
//     lists only with the interpreter lock held, after validating), so they
//     are freed at once.
// Without the interpreter lock (free-threaded builds) a writer changes the
// tree only once no reader is left inside it (FastRedBlackTree waits for
// them, and new ones see the odd sequence counter and stay out), so there
// readers may also read the lists and blocks they found.
#include "spanwood.hpp"

#include <chrono>
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

void free_node(RBNode* n) noexcept {
    n->left.~atomic();
    n->right.~atomic();
    PyMem_Free(n);
}

// Frees `n` now when no reader can be inside it, else retires it.
void retire(Core& t, RBNode* n) noexcept {
    if (t.readers.load() == 0) {
        free_node(n);
        return;
    }
    n->next = t.retired;
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
    for (const RBNode* e = n; e; e = e->next) {
        if (e != n && (e->parent || L(e) || R(e) || e->size != n->size || !e->block))
            return *why = "a same-size list entry is malformed", -1;
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

RBNode* allocate_node(uint64_t size, PyObject* block) {
    uint64_t now;
    if (!perf_counter_ns(&now)) return nullptr;
    auto* n = static_cast<RBNode*>(PyMem_Malloc(sizeof(RBNode)));
    if (!n) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
        return nullptr;
    }
    n->parent = nullptr;
    n->timestamp_ns = now;
    new (&n->left) std::atomic<RBNode*>(nullptr);
    new (&n->right) std::atomic<RBNode*>(nullptr);
    n->size = size;
    n->block = Py_NewRef(block);
    n->next = nullptr;
    n->color = RED;
    return n;
}

void discard_node(RBNode* node) {
    PyObject* block = node->block;
    free_node(node);
    Py_XDECREF(block);
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

void insert_node(Core& t, RBNode* node) noexcept {
    const uint64_t size = node->size;
    RBNode* parent = nullptr;
    bool go_left = false;
    for (RBNode* n = root_of(t); n;) {
        if (n->size == size) {
            // Behind the head: the tree's shape and colours stay as they are.
            node->next = n->next;
            n->next = node;
            add_relaxed(t.count, 1);
            return;
        }
        parent = n;
        go_left = size < n->size;
        n = go_left ? L(n) : R(n);
    }
    node->parent = parent;
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
}

PyObject* take_head_block(Core& t, RBNode* head) noexcept {
    PyObject* block = head->block;
    if (RBNode* e = head->next) {
        // The first list entry's block moves into the head, which keeps its
        // place, size and colour.
        head->next = e->next;
        head->block = e->block;
        free_node(e);
    } else {
        head->block = nullptr;
        delete_node(t, head);
        retire(t, head);
    }
    add_relaxed(t.count, -1);
    return block;
}

PyObject* take_entry_block(Core& t, RBNode* prev, RBNode* e) noexcept {
    PyObject* block = e->block;
    prev->next = e->next;
    free_node(e);
    add_relaxed(t.count, -1);
    return block;
}

RBNode* detach_all(Core& t) noexcept {
    RBNode* r = root_of(t);
    set_root(t, nullptr);
    t.count.store(0, std::memory_order_relaxed);
    t.heads.store(0, std::memory_order_relaxed);
    return r;
}

// Recursion follows the tree's height only (logarithmic); same-size lists
// are walked in a loop.
void release_subtree(Core& t, RBNode* n) {
    if (!n) return;
    RBNode* l = L(n);
    RBNode* r = R(n);
    release_subtree(t, l);
    release_subtree(t, r);
    RBNode* e = n->next;
    n->next = nullptr;
    while (e) {
        RBNode* following = e->next;
        PyObject* block = e->block;
        free_node(e);
        Py_XDECREF(block);
        e = following;
    }
    PyObject* block = n->block;
    n->block = nullptr;
#ifdef Py_GIL_DISABLED
    // The tree was detached after the readers inside it had left (writers
    // wait for them), and new ones start from the new root: nothing can
    // reach this node.  (Retiring it here, outside the write lock, would
    // race with the writers that own the retired chain.)
    (void)t;
    free_node(n);
#else
    // Decided before the block goes: its finaliser may start readers, but
    // they start from the current root and never reach this node.
    retire(t, n);
#endif
    Py_XDECREF(block);
}

void drain_retired(Core& t) noexcept {
    RBNode* n = t.retired;
    t.retired = nullptr;
    while (n) {
        RBNode* following = n->next;
        free_node(n);
        n = following;
    }
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
    uint64_t c = 0;
    for (const RBNode* e = n; e; e = e->next)
        ++c;
    out[0] = {n->size, c};
    std::size_t written = 1;
    written += collect_distribution(L(n), out + written);
    written += collect_distribution(R(n), out + written);
    return written;
}

int traverse_blocks(const RBNode* n, visitproc visit, void* arg) noexcept {
    if (!n) return 0;
    for (const RBNode* e = n; e; e = e->next)
        Py_VISIT(e->block);
    if (int r = traverse_blocks(L(n), visit, arg)) return r;
    return traverse_blocks(R(n), visit, arg);
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
    for (const RBNode* n = t.retired; n; n = n->next)
        if (n->block) return "a retired node still holds a block";
    *black_height = bh;
    return nullptr;
}

}  // namespace spanwood
