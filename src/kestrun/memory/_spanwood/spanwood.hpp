// kestrun.memory.spanwood: what the module's source files share.
//
//   rbcore.cpp  the red-black tree of free blocks keyed by size: nodes,
//               same-size lists, lookups, balanced insertion and deletion,
//               retirement of unlinked nodes while lock-free readers walk
//   tree.cpp    FastRedBlackTree, the Python type that owns one tree,
//               serialises its writers and validates its lock-free readers
//   module.cpp  set-up, module globals, the counters' native table and the
//               time helpers
#pragma once

#include "forkguard.hpp"
#include "kestrun_native.hpp"
#include "pylock.hpp"

#include "kestrun/syncore.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace spanwood {

extern kn::ModuleFrame frame;

// ---------------------------------------------------------------- module helpers

// Interned names used on every call.
extern PyObject* s_increment;
extern PyObject* s_load;
extern PyObject* s_sanitize_size;
extern PyObject* s_size;
extern PyObject* s_atomic_counter;
extern PyObject* s_atomic_available;

// The module's globals, looked up when used.
extern kn::ModuleGlobals globals;

// AtomicCounter's native table and the type it belongs to, fetched at set-up
// (both null when the counter module or its table is missing).  Only an
// instance of exactly that type is driven through the table: the type is
// static and its instances have no attribute dict, so its methods are the
// table's operations; a subclass may override them and keeps its methods.
extern PyTypeObject* counter_type;
extern const KestrunAtomicCounterOps* counter_ops;
inline bool is_exact_counter(PyObject* o) noexcept {
    return counter_ops && o && Py_IS_TYPE(o, counter_type);
}

// The allocation stamp of a node.  Nothing reads the stamp, so the genuine
// clock is not read (the stamp is 0); a replaced module global `time`, or a
// replaced `time.perf_counter_ns`, is still called and its result converted
// to unsigned 64-bit, so what it does and raises stays visible.
bool perf_counter_ns(uint64_t* out);
// time.sleep(0.0001) through the module global `time`.
bool short_sleep();

// ---------------------------------------------------------------- FastRedBlackTree

extern PyTypeObject TreeType;
// Fills in and readies the type, once per process.
bool ready_tree_type();

// ---------------------------------------------------------------- red-black core

enum : uint32_t { RED = 0, BLACK = 1 };

// One stored block.  Lock-free readers follow `left` and `right` and read
// `size` with the interpreter lock released while a writer may relink the
// tree, so the links are atomics: writers store them with release order and
// readers load them with acquire order, which on x86 costs nothing and
// elsewhere makes a node's fields visible before any link to it.  `size` is
// written once, before the node is linked, and never changes.
//
// The interpreter's allocator puts 64-byte blocks 16 bytes before a cache
// line boundary, so the three fields a search reads sit together in bytes
// 16 to 39, on one cache line.
struct RBNode {
    RBNode* parent;              // null for the root and for list entries
    uint64_t timestamp_ns;       // time.perf_counter_ns() at allocation
    std::atomic<RBNode*> left;   // smaller sizes
    std::atomic<RBNode*> right;  // larger sizes
    uint64_t size;               // the key
    PyObject* block;             // strong reference; null once handed out
    RBNode* next;                // same-size list; the retire chain once unlinked
    uint32_t color;              // RED or BLACK
};
static_assert(sizeof(RBNode) == 64, "a node is one 64-byte block of the small-object allocator");

// The tree's native state.  Writers change it one at a time (the write
// lock); lock-free readers follow the links and count themselves in
// `readers`; anyone may read the counts.
struct Core {
    std::atomic<RBNode*> root;
    std::atomic<uint64_t> count;    // stored blocks: heads plus list entries
    std::atomic<uint64_t> heads;    // distinct sizes, the nodes linked into the tree
    RBNode* retired;                // unlinked heads not yet freed, chained through `next`
    std::atomic<uint32_t> readers;  // lock-free readers walking the tree
};

// A count that one thread at a time changes (under a lock) and any thread
// may read: a relaxed load and store, which cost nothing more than plain
// ones.
template <typename T, typename D>
inline void add_relaxed(std::atomic<T>& a, D delta) noexcept {
    a.store(static_cast<T>(a.load(std::memory_order_relaxed) + delta), std::memory_order_relaxed);
}

// A count that several threads may change at once: without the interpreter
// lock an atomic increment, with it the plain one above.
template <typename T, typename D>
inline void add_shared(std::atomic<T>& a, D delta) noexcept {
#ifdef Py_GIL_DISABLED
    a.fetch_add(static_cast<T>(delta), std::memory_order_relaxed);
#else
    add_relaxed(a, delta);
#endif
}

// A valid tree of n heads is at most 2*log2(n+1) high, and n < 2**64.  A
// lock-free walk longer than this has met a writer's half-done relinking.
constexpr int kMaxWalk = 2 * 64 + 8;

// A new, unlinked node holding a new reference to `block`; null with
// MemoryError "Failed to allocate RB node" or the clock's error.
RBNode* allocate_node(uint64_t size, PyObject* block);

// Releases the block of a node that was never linked and frees the node.
// Releasing a block may run its finaliser, hence not noexcept.
void discard_node(RBNode* node);

// Exact and best-fit lookups of a writer (or under the write lock).
RBNode* find_node(const Core& t, uint64_t size) noexcept;
RBNode* find_best_fit_node(const Core& t, uint64_t size) noexcept;
// The same for lock-free readers: false when the walk had to give up.
bool read_find_node(const Core& t, uint64_t size, RBNode** out) noexcept;
bool read_find_best_fit_node(const Core& t, uint64_t size, RBNode** out) noexcept;

// Microseconds a lock-free reader waits after its first step (0: none).
// Set only by tests, through the private module function _set_reader_pause,
// to hold readers inside nodes while writers unlink and free them.
extern std::atomic<uint32_t> reader_pause_us;

// Stores a node from allocate_node: a new head, or behind the head of its size.
void insert_node(Core& t, RBNode* node) noexcept;
// Takes the head's block out of the tree: the first list entry moves up, or
// the head is unlinked and retired.  Returns the block's reference.
PyObject* take_head_block(Core& t, RBNode* head) noexcept;
// Takes the list entry `e` (following `prev`) out; returns its block's reference.
PyObject* take_entry_block(Core& t, RBNode* prev, RBNode* e) noexcept;

// Detaches the whole tree (the tree is then empty) and returns its root.
RBNode* detach_all(Core& t) noexcept;
// Releases every block of a detached tree and frees (or retires) its nodes.
// Blocks are released one at a time, so their finalisers may run.
void release_subtree(Core& t, RBNode* n);
// Frees the retired nodes when no lock-free reader is walking.
void drain_retired(Core& t) noexcept;
inline void drain_if_idle(Core& t) noexcept {
    if (t.retired && t.readers.load() == 0) drain_retired(t);
}

int32_t compute_height(const RBNode* n) noexcept;

struct SizeCount {
    uint64_t size;
    uint64_t count;
};
// Writes one entry per head in pre-order; returns the number written.
std::size_t collect_distribution(const RBNode* n, SizeCount* out) noexcept;

// Visits every stored block (garbage-collector traversal).
int traverse_blocks(const RBNode* n, visitproc visit, void* arg) noexcept;

// Checks every rule of the tree; returns nullptr or a description of the
// first broken one.
const char* check_tree(const Core& t, int* black_height) noexcept;

}  // namespace spanwood
