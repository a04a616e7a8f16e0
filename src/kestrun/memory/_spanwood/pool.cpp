// The chunks that a tree's nodes and list entries are allocated from.
//
// A pool's first chunks are small (512 bytes, doubling) and come from the C
// heap, so a small tree does not hold a huge page per pool, a program with
// very many small trees (a million trees nested in one another, one block
// each) needs little more than a node per tree, and it does not run out of
// memory mappings; a slot finds its small chunk by comparing addresses (at
// most kSmallSizes).  Larger
// trees get chunks of 2 MiB mapped on a 2 MiB boundary, so the chunk of such
// a slot is its address with the low bits cleared.  Free slots of a
// chunk form a list through the slot's link field; slots never handed out
// lie past the chunk's `bump` mark.  A slot in use holds its block at
// `block_offset`, a free one holds null there, so the collector reads the
// blocks chunk by chunk in address order.
//
// The pool is changed by the tree's writers only (under the write lock, and
// with the interpreter lock on builds that have one).  Unmapping a chunk is
// safe for lock-free readers because the tree frees a node only when no
// reader can be inside it (see rbcore.cpp), and a chunk goes back only when
// all its slots are free.
#include "spanwood.hpp"

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define SPANWOOD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SPANWOOD_ASAN 1
#endif
#endif
#ifdef SPANWOOD_ASAN
#include <sanitizer/asan_interface.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// tracemalloc's entry points for memory the interpreter did not allocate.
// Some headers (3.13.0) declare them without C linkage, so they are bound
// here by their symbol names.
extern "C" int kestrun_trace_track(unsigned int domain, uintptr_t ptr,
                                   std::size_t size) __asm__("PyTraceMalloc_Track");
extern "C" int kestrun_trace_untrack(unsigned int domain,
                                     uintptr_t ptr) __asm__("PyTraceMalloc_Untrack");

namespace spanwood {

std::atomic<bool> refuse_huge_pages{false};

struct Chunk {
    Chunk* next;       // the pool's chunks (or a detached chain)
    Chunk* next_open;  // chunks with a free slot
    Chunk* prev_open;
    unsigned char* free;  // first free slot below `bump`
    std::size_t bytes;    // mapped length
    uint32_t capacity;    // slots
    uint32_t bump;        // slots handed out at least once
    uint32_t live;        // slots in use
    uint32_t slot_size;
    uint32_t block_offset;
    uint32_t link_offset;
    std::size_t traced;  // bytes reported to tracemalloc
    bool huge;           // advised for huge pages
    bool mapped;         // 2 MiB and mapped (else from the C heap)
    bool open;           // on the pool's open list
};

namespace {

constexpr std::size_t kMinChunk = 512;
constexpr std::size_t kMaxChunk = std::size_t{2} << 20;
constexpr std::size_t kHeader = (sizeof(Chunk) + 63) & ~std::size_t{63};
constexpr std::size_t kPage = 4096;

inline unsigned char* slots_of(const Chunk* c) {
    return reinterpret_cast<unsigned char*>(const_cast<Chunk*>(c)) + kHeader;
}
inline Chunk* chunk_of(const Pool& p, const void* slot) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(slot);
    for (uint32_t i = 0; i < p.small_count; ++i) {
        Chunk* c = p.small[i];
        if (a - reinterpret_cast<uintptr_t>(c) < c->bytes) return c;
    }
    return reinterpret_cast<Chunk*>(a & ~(kMaxChunk - 1));
}
inline PyObject*& block_at(unsigned char* slot, uint32_t offset) {
    return *reinterpret_cast<PyObject**>(slot + offset);
}
inline unsigned char*& link_at(unsigned char* slot, uint32_t offset) {
    return *reinterpret_cast<unsigned char**>(slot + offset);
}

// Under AddressSanitizer a free slot is poisoned but for its block field
// (the collector reads that), so a reader or writer touching a freed node
// is reported as it would be with the system allocator.
#ifdef SPANWOOD_ASAN
void poison_slot(const Chunk* c, unsigned char* s);
inline void unpoison(void* p, std::size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
inline void poison_slot(const Chunk*, unsigned char*) {}
inline void unpoison(void*, std::size_t) {}
#endif

void* map_anonymous(std::size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// `bytes` of fresh zeroed memory starting on a 2 MiB boundary, or null.
void* map_aligned(std::size_t bytes) {
    const std::size_t span = bytes + kMaxChunk;
    auto* raw = static_cast<unsigned char*>(map_anonymous(span));
    if (!raw) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kMaxChunk - 1) & ~(kMaxChunk - 1);
    const std::size_t head = aligned - start;
    const std::size_t tail = span - head - bytes;
    if (head) munmap(raw, head);
    if (tail) munmap(reinterpret_cast<unsigned char*>(aligned) + bytes, tail);
    return reinterpret_cast<void*>(aligned);
}

// Huge pages cut the page-table misses of walks over large trees.  Where the
// system has none or refuses the advice, the chunk is used as it is.
bool advise_huge(void* p, std::size_t bytes) {
    if (refuse_huge_pages.load(std::memory_order_relaxed)) return false;
#ifdef MADV_HUGEPAGE
    return madvise(p, bytes, MADV_HUGEPAGE) == 0;
#else
    (void)p;
    (void)bytes;
    return false;
#endif
}

#ifdef SPANWOOD_ASAN
void poison_slot(const Chunk* c, unsigned char* s) {
    ASAN_POISON_MEMORY_REGION(s, c->block_offset);
    const std::size_t after = c->block_offset + sizeof(PyObject*);
    ASAN_POISON_MEMORY_REGION(s + after, c->slot_size - after);
}
#endif

void unmap_chunk(Chunk* c) {
    const std::size_t bytes = c->bytes;
    unpoison(c, bytes);
    kestrun_trace_untrack(kPoolTraceDomain, reinterpret_cast<uintptr_t>(c));
    if (c->mapped)
        munmap(c, bytes);
    else
        std::free(c);
}

void push_open(Pool& p, Chunk* c) {
    c->prev_open = nullptr;
    c->next_open = p.open;
    if (p.open) p.open->prev_open = c;
    p.open = c;
    c->open = true;
}

void drop_open(Pool& p, Chunk* c) {
    if (c->prev_open)
        c->prev_open->next_open = c->next_open;
    else
        p.open = c->next_open;
    if (c->next_open) c->next_open->prev_open = c->prev_open;
    c->open = false;
}

// Maps one more chunk, sized by how many the pool holds.  False when the
// system has no memory.
bool add_chunk(Pool& p) {
    const uint32_t shift = p.chunk_count < kSmallSizes ? p.chunk_count : kSmallSizes;
    std::size_t bytes = kMinChunk << shift;
    const bool mapped = bytes >= kMaxChunk;
    if (mapped) bytes = kMaxChunk;
    // Fewer than kSmallSizes chunks are held when a small one is made, so
    // `small` has room.
    void* mem = mapped ? map_aligned(bytes) : std::aligned_alloc(64, bytes);
    if (!mem) return false;
    auto* c = static_cast<Chunk*>(mem);
    std::memset(c, 0, sizeof(Chunk));
#ifdef SPANWOOD_ASAN
    ASAN_POISON_MEMORY_REGION(slots_of(c), bytes - kHeader);
#endif
    c->bytes = bytes;
    c->mapped = mapped;
    if (!mapped) p.small[p.small_count++] = c;
    c->capacity = static_cast<uint32_t>((bytes - kHeader) / p.slot_size);
    c->slot_size = p.slot_size;
    c->block_offset = p.block_offset;
    c->link_offset = p.link_offset;
    c->huge = bytes == kMaxChunk && advise_huge(mem, bytes);
    // A chunk on huge pages is resident as a whole once touched; otherwise
    // only the pages slots were handed out from are (see pool_alloc).
    c->traced = c->huge || bytes < kPage ? bytes : kPage;
    c->next = p.chunks;
    p.chunks = c;
    push_open(p, c);
    p.capacity += c->capacity;
    ++p.chunk_count;
    kestrun_trace_track(kPoolTraceDomain, reinterpret_cast<uintptr_t>(c), c->traced);
    return true;
}

void remove_chunk(Pool& p, Chunk* c) {
    if (c->open) drop_open(p, c);
    for (Chunk** link = &p.chunks; *link; link = &(*link)->next) {
        if (*link == c) {
            *link = c->next;
            break;
        }
    }
    for (uint32_t i = 0; i < p.small_count; ++i) {
        if (p.small[i] == c) {
            p.small[i] = p.small[--p.small_count];
            break;
        }
    }
    p.capacity -= c->capacity;
    --p.chunk_count;
    unmap_chunk(c);
}

// A chunk has no slot in use any more.  It goes back when the other chunks
// have at least half its room to spare, so a tree going up and down across
// a chunk's edge does not map and unmap it each time.  When the whole pool
// is free, every chunk goes except one of the smallest size.
void chunk_emptied(Pool& p, Chunk* c) {
    if (p.live == 0) {
        Chunk* keep = nullptr;
        for (Chunk* k = p.chunks; k; k = k->next)
            if (k->bytes == kMinChunk) keep = k;
        Chunk* k = p.chunks;
        while (k) {
            Chunk* following = k->next;
            if (k != keep) remove_chunk(p, k);
            k = following;
        }
        return;
    }
    const uint64_t spare_elsewhere = p.capacity - c->capacity - p.live;
    if (spare_elsewhere >= c->capacity / 2) remove_chunk(p, c);
}

}  // namespace

void pool_init(Pool& p, uint32_t slot_size, uint32_t block_offset, uint32_t link_offset) noexcept {
    p.chunks = nullptr;
    p.open = nullptr;
    p.live = 0;
    p.capacity = 0;
    p.chunk_count = 0;
    p.small_count = 0;
    p.slot_size = slot_size;
    p.block_offset = block_offset;
    p.link_offset = link_offset;
}

void* pool_alloc(Pool& p) noexcept {
    for (;;) {
        if (Chunk* c = p.open) {
            unsigned char* s;
            if (c->free) {
                s = c->free;
                unpoison(s, c->slot_size);
                c->free = link_at(s, c->link_offset);
            } else {
                s = slots_of(c) + std::size_t{c->bump} * c->slot_size;
                ++c->bump;
                unpoison(s, c->slot_size);
                // The collector may read it from now on (a heap chunk's
                // memory is not zeroed); free slots hold null already.
                block_at(s, c->block_offset) = nullptr;
                const std::size_t end = kHeader + std::size_t{c->bump} * c->slot_size;
                if (end > c->traced) {
                    c->traced = std::min((end + kPage - 1) & ~(kPage - 1), c->bytes);
                    kestrun_trace_track(kPoolTraceDomain, reinterpret_cast<uintptr_t>(c),
                                        c->traced);
                }
            }
            ++c->live;
            ++p.live;
            if (!c->free && c->bump == c->capacity) drop_open(p, c);
            return s;
        }
        if (!add_chunk(p)) return nullptr;
    }
}

void pool_free(Pool& p, void* slot) noexcept {
    auto* s = static_cast<unsigned char*>(slot);
    Chunk* c = chunk_of(p, s);
    block_at(s, c->block_offset) = nullptr;
    link_at(s, c->link_offset) = c->free;
    c->free = s;
    poison_slot(c, s);
    if (!c->open) push_open(p, c);
    --c->live;
    --p.live;
    if (c->live == 0) chunk_emptied(p, c);
}

Chunk* pool_detach(Pool& p) noexcept {
    Chunk* chain = p.chunks;
    pool_init(p, p.slot_size, p.block_offset, p.link_offset);
    return chain;
}

void release_chunk_blocks(Chunk* chain) {
    for (Chunk* c = chain; c; c = c->next) {
        unsigned char* s = slots_of(c);
        for (uint32_t i = 0; i < c->bump; ++i, s += c->slot_size) {
            PyObject*& b = block_at(s, c->block_offset);
            if (PyObject* block = b) {
                b = nullptr;
                Py_DECREF(block);
            }
        }
    }
}

void unmap_chunks(Chunk* chain) noexcept {
    while (chain) {
        Chunk* following = chain->next;
        unmap_chunk(chain);
        chain = following;
    }
}

void chain_chunks(Chunk** head, Chunk* tail) noexcept {
    while (*head)
        head = &(*head)->next;
    *head = tail;
}

int visit_pool(const Pool& p, visitproc visit, void* arg) noexcept {
    for (const Chunk* c = p.chunks; c; c = c->next) {
        unsigned char* s = slots_of(c);
        const uint32_t off = c->block_offset, step = c->slot_size;
        for (uint32_t i = 0; i < c->bump; ++i, s += step)
            Py_VISIT(block_at(s, off));
    }
    return 0;
}

void pool_info(const Pool& p, uint64_t* chunks, uint64_t* bytes, uint64_t* huge) noexcept {
    for (const Chunk* c = p.chunks; c; c = c->next) {
        ++*chunks;
        *bytes += c->traced;
        *huge += c->huge ? 1 : 0;
    }
}

}  // namespace spanwood
