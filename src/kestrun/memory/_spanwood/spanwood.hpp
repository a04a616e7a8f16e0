// kestrun.memory.spanwood: what the module's source files share.
//
//   pool.cpp    the chunks that nodes and list entries are allocated from
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

// time.sleep(0.0001) through the module global `time`.
bool short_sleep();

// ---------------------------------------------------------------- FastRedBlackTree

extern PyTypeObject TreeType;
// Fills in and readies the type, once per process.
bool ready_tree_type();

enum : uint32_t { RED = 0, BLACK = 1 };

// ---------------------------------------------------------------- node pool

// Nodes and list entries live in per-tree pools of chunks.  A pool's first
// chunk is 512 bytes and each further one twice the last, up to 2 MiB; the
// small ones come from the C heap, those of 2 MiB are mapped from the system
// on a 2 MiB boundary and advised for transparent huge pages where the
// system allows it.  A slot holds a block
// reference at a fixed offset, null while the slot is free, so the collector
// walks the chunks in address order instead of the tree's links.  A chunk
// whose slots are all free goes back to the system once the pool has room
// to spare elsewhere, and all but one small chunk go back when the pool
// empties.  Chunks are visible to tracemalloc in domain kPoolTraceDomain:
// the pages slots were handed out from, or the whole chunk on huge pages.
struct Chunk;

constexpr unsigned int kPoolTraceDomain = 0x5357;

// Chunk sizes below 2 MiB: 512 bytes doubling up to 1 MiB.
constexpr uint32_t kSmallSizes = 12;

struct Pool {
    Chunk* chunks;              // every chunk, through Chunk::next
    Chunk* open;                // chunks with a free slot, through Chunk::next_open
    uint64_t live;              // slots in use
    uint64_t capacity;          // slots of all chunks
    Chunk* small[kSmallSizes];  // the chunks from the C heap (less than 2 MiB each)
    uint32_t small_count;
    uint32_t chunk_count;
    uint32_t slot_size;
    uint32_t block_offset;  // where a slot holds its block
    uint32_t link_offset;   // where a free slot holds the next free one
};

void pool_init(Pool& p, uint32_t slot_size, uint32_t block_offset, uint32_t link_offset) noexcept;
// A free slot, or null when the system has no memory (no exception set).
void* pool_alloc(Pool& p) noexcept;
// Gives the slot back; its block must already be gone.  May unmap its chunk.
void pool_free(Pool& p, void* slot) noexcept;
// Takes every chunk out of the pool (then empty); returns them chained.
Chunk* pool_detach(Pool& p) noexcept;
// Releases every block held in the chained chunks, one at a time (a slot is
// emptied before its block goes, so finalisers may run).
void release_chunk_blocks(Chunk* chain);
// Unmaps the chained chunks.
void unmap_chunks(Chunk* chain) noexcept;
// Appends `tail` to the chain `*head`.
void chain_chunks(Chunk** head, Chunk* tail) noexcept;
// Visits every block held in the pool (garbage-collector traversal).
int visit_pool(const Pool& p, visitproc visit, void* arg) noexcept;
// Chunks of the pool, their bytes reported to tracemalloc, and how many were
// advised for huge pages.
void pool_info(const Pool& p, uint64_t* chunks, uint64_t* bytes, uint64_t* huge) noexcept;

// Test hook (the private module function _set_huge_page_refusal): when set,
// chunks are treated as if the system refused huge pages.
extern std::atomic<bool> refuse_huge_pages;

// ---------------------------------------------------------------- red-black core

// A block stored behind the head of its size (same-size list).
struct Entry {
    PyObject* block;  // strong reference; null while the slot is free
    Entry* next;      // the next entry; the free list while the slot is free
};

// One distinct size, linked into the tree.  Lock-free readers follow `left`
// and `right` and read `size` with the interpreter lock released while a
// writer may relink the tree, so the links are atomics: writers store them
// with release order and readers load them with acquire order, which on x86
// costs nothing and elsewhere makes a node's fields visible before any link
// to it.  `size` is written once, before the node is linked, and never
// changes.  The three fields a search reads come first, so in a chunk's
// 56-byte slots they share one cache line three times in four.
struct RBNode {
    std::atomic<RBNode*> left;   // smaller sizes
    std::atomic<RBNode*> right;  // larger sizes
    uint64_t size;               // the key
    PyObject* block;             // strong reference; null once handed out or free
    RBNode* parent;              // null for the root; the retire chain once unlinked
    Entry* next;                 // further blocks of this size, newest first
    uint32_t color;              // RED or BLACK
};
static_assert(sizeof(RBNode) == 56, "a node is one 56-byte pool slot");

// The tree's native state.  Writers change it one at a time (the write
// lock); lock-free readers follow the links and count themselves in
// `readers`; anyone may read the counts.
struct Core {
    std::atomic<RBNode*> root;
    std::atomic<uint64_t> count;    // stored blocks: heads plus list entries
    std::atomic<uint64_t> heads;    // distinct sizes, the nodes linked into the tree
    RBNode* retired;                // unlinked heads not yet freed, chained through `parent`
    Chunk* retired_chunks;          // chunks of a cleared tree not yet unmapped
    std::atomic<uint32_t> readers;  // lock-free readers walking the tree
    Pool node_pool;                 // RBNode slots
    Pool entry_pool;                // Entry slots
};

// Sets up the native state of an empty tree.
void init_core(Core& t) noexcept;

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

// Stores a new reference to `block` under `size`: a new head, or an entry
// behind the head of its size.  False with MemoryError "Failed to allocate
// RB node" when the pool cannot grow.
bool insert_block(Core& t, uint64_t size, PyObject* block) noexcept;
// Takes the head's block out of the tree: the first list entry moves up, or
// the head is unlinked and retired.  Returns the block's reference.
PyObject* take_head_block(Core& t, RBNode* head) noexcept;
// Takes the list entry `e` out of the list of `head`, `prev` being the
// entry before it (null: `e` is the first); returns its block's reference.
PyObject* take_entry_block(Core& t, RBNode* head, Entry* prev, Entry* e) noexcept;

// Detaches the whole tree with its pools (the tree is then empty) and
// returns the chunks that held it.
Chunk* detach_all(Core& t) noexcept;
// Releases every block of detached chunks, then unmaps them, or leaves them
// to drain_retired while a lock-free reader may still walk them.  Blocks are
// released one at a time, so their finalisers may run.
void release_detached(Core& t, Chunk* chunks);
// Frees the retired nodes and unmaps the retired chunks; only when no
// lock-free reader is walking.
void drain_retired(Core& t) noexcept;
inline void drain_if_idle(Core& t) noexcept {
    if ((t.retired || t.retired_chunks) && t.readers.load() == 0) drain_retired(t);
}

int32_t compute_height(const RBNode* n) noexcept;

struct SizeCount {
    uint64_t size;
    uint64_t count;
};
// Writes one entry per head in pre-order; returns the number written.
std::size_t collect_distribution(const RBNode* n, SizeCount* out) noexcept;

// Visits every stored block (garbage-collector traversal), chunk by chunk.
int traverse_blocks(const Core& t, visitproc visit, void* arg) noexcept;

// Checks every rule of the tree; returns nullptr or a description of the
// first broken one.
const char* check_tree(const Core& t, int* black_height) noexcept;

}  // namespace spanwood
