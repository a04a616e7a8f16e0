// FastRedBlackTree: the Python face of the free-block tree.
//
// Writers (insert, delete, remove_ge, clear) run in a write section: the
// write lock is held and the sequence counter is odd.  The two lookups take
// no lock: they walk the tree with the interpreter lock released and keep
// the answer only when the counter was even before and is unchanged after;
// when writers keep them from a stable view they ask once under the lock.
// Everything that can run Python code (size conversions, the
// operation counters, a released block's finaliser, building results) is
// done outside the write section where the order of effects allows; the one
// exception is a block's == during delete.  A call that comes back into a
// writer of the same tree from inside a write section (from that ==, a
// finaliser or an overridden method) raises RuntimeError instead of waiting
// forever on the lock its own thread holds; so does a lookup from there.
#include "spanwood.hpp"

#include <array>
#include <initializer_list>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace spanwood {

PyTypeObject TreeType;

namespace {

// ---------------------------------------------------------------- instance

// The statistics, kept as native counters and presented as the dict of
// get_stats().  "bucket_hits" and "tree_hits" are always 0; the key
// "circuit_breaker_trips" exists from the first reset_circuit_breaker()
// until the next clear().
struct Stats {
    std::atomic<int64_t> total_blocks;
    std::atomic<int64_t> total_insertions;
    std::atomic<int64_t> total_deletions;
    std::atomic<int64_t> total_searches;
    std::atomic<int64_t> operation_count;
    std::atomic<int64_t> circuit_breaker_trips;
    std::atomic<bool> has_trips;
};

// The statistics as get_stats() reports them.
struct StatsSnapshot {
    int64_t total_blocks;
    int64_t total_insertions;
    int64_t total_deletions;
    int64_t total_searches;
    int64_t operation_count;
    int64_t circuit_breaker_trips;
    bool has_trips;
};

constexpr auto kRelaxed = std::memory_order_relaxed;

void reset_stats(Stats& s) {
    for (auto* c : {&s.total_blocks, &s.total_insertions, &s.total_deletions, &s.total_searches,
                    &s.operation_count, &s.circuit_breaker_trips})
        c->store(0, kRelaxed);
    s.has_trips.store(false, kRelaxed);
}

StatsSnapshot snapshot_of(const Stats& s) {
    return {s.total_blocks.load(kRelaxed),    s.total_insertions.load(kRelaxed),
            s.total_deletions.load(kRelaxed), s.total_searches.load(kRelaxed),
            s.operation_count.load(kRelaxed), s.circuit_breaker_trips.load(kRelaxed),
            s.has_trips.load(kRelaxed)};
}

struct TreeObject {
    PyObject_HEAD
    Core core;
    std::atomic<uint64_t> seq_counter;  // odd while a write section is open
    uint32_t sample_rate;
    bool use_atomic;
    kn::NativeLock write_lock;  // its owner: the thread in a write section
    kn::NativeLock stats_lock;
    PyObject* op_counter;       // AtomicCounter, or None
    PyObject* sampled_counter;  // AtomicCounter, or None
    Stats stats;
    kn::ForkLink fork_link;  // both locks are held across fork()
};

// The sequence counter's steps, by writers in their section.  Without the
// interpreter lock the step is ordered against the readers' count (see
// wait_for_readers); with it a plain increment.
inline void bump_sequence(TreeObject* t) {
#ifdef Py_GIL_DISABLED
    t->seq_counter.fetch_add(1);
#else
    add_relaxed(t->seq_counter, 1);
#endif
}

// A lock-free reader enters and leaves the tree.
inline void enter_reader(Core& core) {
#ifdef Py_GIL_DISABLED
    core.readers.fetch_add(1);
#else
    add_relaxed(core.readers, 1);
#endif
}
inline void leave_reader(Core& core) {
#ifdef Py_GIL_DISABLED
    core.readers.fetch_sub(1);
#else
    add_relaxed(core.readers, -1);
#endif
}

// A lock-free reader inside the tree for a scope.  Without the interpreter
// lock leaving is one atomic step, safe without a thread state too; with it
// the count is a plain one that only the lock's holder may change, so a
// daemon thread ended at exit stays counted (its tree then keeps the nodes
// it retires: a leak in a process that is ending).
class ReaderScope {
public:
    explicit ReaderScope(Core& core) : core_(core) { enter_reader(core); }
    ReaderScope(const ReaderScope&) = delete;
    ReaderScope& operator=(const ReaderScope&) = delete;
    ~ReaderScope() {
#ifndef Py_GIL_DISABLED
        if (!kn::has_thread_state()) return;
#endif
        leave();
    }
    void leave() {
        if (inside_) leave_reader(core_);
        inside_ = false;
    }

private:
    Core& core_;
    bool inside_ = true;
};

// Without the interpreter lock: a writer, its section announced (the counter
// odd, so no new reader stays), waits for the readers still inside the tree
// before it changes anything, so no reader ever meets a change half done or
// a block the tree has let go of.  Their walks are short and take no lock.
// With the interpreter lock readers validate instead, and nothing waits.
inline void wait_for_readers([[maybe_unused]] Core& core) {
#ifdef Py_GIL_DISABLED
    if (core.readers.load() == 0) return;
    Py_BEGIN_ALLOW_THREADS
    while (core.readers.load() != 0)
        std::this_thread::yield();
    Py_END_ALLOW_THREADS
#endif
}

inline TreeObject* as_tree(PyObject* o) { return reinterpret_cast<TreeObject*>(o); }

// ---------------------------------------------------------------- sections

constexpr const char* kWriteReentry =
    "re-entrant call into a FastRedBlackTree that this thread is already changing (from a "
    "block's __eq__, a finaliser or an overridden method called inside one of its write "
    "operations)";

// The write lock for a scope, with the sequence counter made odd inside it
// when `announce` is set (get_size_distribution and the lookups' last try
// only exclude writers).  On leaving: counter even again, retired nodes
// freed when no reader is walking, lock released.  A daemon thread ended at
// interpreter exit inside the section (see barrier.hpp) can only be ended
// where the tree is whole (while it waits, searches or runs a block's ==),
// so it leaves the counter even and the lock free, and frees nothing: that
// needs a thread state.
class WriteSection {
public:
    WriteSection(TreeObject* t, bool announce)
        : t_(t), announce_(announce), scope_(t->write_lock, kWriteReentry) {
        if (!scope_.ok()) return;
        if (announce_) bump_sequence(t);
        entered_ = true;
    }
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;
    ~WriteSection() {
        if (!entered_) return;
        if (announce_) bump_sequence(t_);
        // Still under the lock: without the interpreter lock only writers
        // drain, one at a time.
        if (t_->core.retired && kn::has_thread_state()) drain_if_idle(t_->core);
    }  // scope_ releases the lock
    bool ok() const { return entered_; }

private:
    TreeObject* t_;
    bool announce_;
    bool entered_ = false;
    kn::NativeScope scope_;
};

// The statistics lock for a scope.  Nothing inside runs Python code.
class StatsSection : public kn::NativeScope {
public:
    explicit StatsSection(TreeObject* t)
        : kn::NativeScope(t->stats_lock,
                          "re-entrant call into a FastRedBlackTree's statistics from the thread "
                          "that holds their lock") {}
};

// ---------------------------------------------------------------- arguments

PyObject* call_method0(PyObject* name, PyObject* obj) {
    PyObject* args[] = {obj};
    return PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ValueError "Invalid size: <size>".
void invalid_size(PyObject* size) { PyErr_Format(PyExc_ValueError, "Invalid size: %S", size); }

enum class Sane { kOk, kInvalid, kError };

// self._sanitize_size(size), then unsigned 64-bit.  `size` is the argument
// after the int rule.  kInvalid: the sanitizer's ValueError, left pending
// only when `keep_error` is set.  An exact FastRedBlackTree has the class's
// own static method (the type cannot be changed and its instances have no
// attribute dict), which is done inline.
Sane sanitize(PyObject* self, PyObject* size, uint64_t* out, bool keep_error) {
    kn::Ref sane;
    if (Py_IS_TYPE(self, &TreeType)) {
        const int sign = kn::int_sign(size);
        if (sign == -2) return Sane::kError;
        if (sign < 0) {
            if (keep_error) invalid_size(size);
            return Sane::kInvalid;
        }
        sane = kn::Ref::borrow(size);
    } else {
        PyObject* args[] = {self, size};
        sane = kn::Ref::steal(PyObject_VectorcallMethod(
            s_sanitize_size, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!sane) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Sane::kError;
            if (!keep_error) PyErr_Clear();
            return Sane::kInvalid;
        }
    }
    return kn::to_uint64(sane.get(), out) ? Sane::kOk : Sane::kError;
}

// The size argument of an exact FastRedBlackTree given as an exact int from
// 0 to 2**63-1, the common case: its own _sanitize_size accepts it
// unchanged and the conversion cannot fail, so nothing else need be asked.
// False leaves everything else (and every error) to size_arg's full path.
inline bool plain_size(PyObject* self, PyObject* arg, uint64_t* out) {
    if (!PyLong_CheckExact(arg) || !Py_IS_TYPE(self, &TreeType)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    // An int below 2**30 (one digit) is read in place.
    const auto* n = reinterpret_cast<const PyLongObject*>(arg);
    if (PyUnstable_Long_IsCompact(n)) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(n);
        if (v < 0) return false;
        *out = static_cast<uint64_t>(v);
        return true;
    }
#endif
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(arg, &overflow);
    if (overflow || v < 0) return false;  // -1 here is the value, never an error
    *out = static_cast<uint64_t>(v);
    return true;
}

// A method's size argument: the int rule, then sanitize() (see there).
Sane size_arg(PyObject* self, PyObject* arg, uint64_t* out, bool keep_error) {
    if (plain_size(self, arg, out)) return Sane::kOk;
    kn::Ref n = kn::int_arg(arg, "size");
    if (!n) return Sane::kError;
    return sanitize(self, n.get(), out, keep_error);
}

// n % rate == 0 with Python's semantics for whatever the counter returned.
int divisible(PyObject* n, uint32_t rate) {
    if (PyLong_CheckExact(n)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (!overflow) return v % static_cast<long long>(rate) == 0;
    }
    kn::Ref r = kn::Ref::steal(PyLong_FromUnsignedLong(rate));
    kn::Ref rem = r ? kn::Ref::steal(PyNumber_Remainder(n, r.get())) : kn::Ref();
    kn::Ref zero = rem ? kn::Ref::steal(PyLong_FromLong(0)) : kn::Ref();
    return zero ? PyObject_RichCompareBool(rem.get(), zero.get(), Py_EQ) : -1;
}

// stored == block, the stored block on the left; -1 on error.
int blocks_equal(PyObject* stored, PyObject* block) {
    kn::Ref keep = kn::Ref::borrow(stored);
    kn::Ref r = kn::Ref::steal(PyObject_RichCompare(stored, block, Py_EQ));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// ---------------------------------------------------------------- construction

// fork(): both locks are held across it (writers first); in the child no
// lock-free reader is walking any more.
void tree_fork_locks(PyObject* self, std::vector<kn::ForkLock>& out) {
    TreeObject* t = as_tree(self);
    out.push_back(kn::fork_native_lock(t->write_lock));
    out.push_back(kn::fork_native_lock(t->stats_lock));
}

void tree_fork_child(PyObject* self) { as_tree(self)->core.readers.store(0); }

constexpr kn::Signature<1> kTreeNewSig{"FastRedBlackTree", {"sample_rate"}, 0};

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 1> a;
    if (!kn::bind_tuple(kTreeNewSig, args, kwds, a)) return nullptr;
    uint32_t sample_rate = 100;
    if (a[0] && !kn::to_uint32(a[0], &sample_rate)) return nullptr;
    // The operation counters, when the counter type could be imported.
    kn::Ref available = globals.get(s_atomic_available);
    if (!available) return nullptr;
    int use_atomic = PyObject_IsTrue(available.get());
    if (use_atomic < 0) return nullptr;
    kn::Ref op = kn::Ref::borrow(Py_None), sampled = kn::Ref::borrow(Py_None);
    if (use_atomic) {
        kn::Ref cls = globals.get(s_atomic_counter);
        if (!cls || (use_atomic = PyObject_IsTrue(cls.get())) < 0) return nullptr;
        if (use_atomic) {
            op = kn::Ref::steal(PyObject_CallFunction(cls.get(), "i", 0));
            if (!op) return nullptr;
            sampled = kn::Ref::steal(PyObject_CallFunction(cls.get(), "i", 0));
            if (!sampled) return nullptr;
        }
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    TreeObject* t = as_tree(self);
    init_core(t->core);
    new (&t->seq_counter) std::atomic<uint64_t>(0);
    t->sample_rate = sample_rate;
    t->use_atomic = use_atomic != 0;
    new (&t->write_lock) kn::NativeLock();
    new (&t->stats_lock) kn::NativeLock();
    t->op_counter = op.release();
    t->sampled_counter = sampled.release();
    reset_stats(t->stats);
    t->fork_link = kn::ForkLink{};
    t->fork_link.obj = self;
    t->fork_link.locks = tree_fork_locks;
    t->fork_link.child = tree_fork_child;
    kn::fork_register(t->fork_link);
    return self;
}

// Blocks are reported to the collector, so reference cycles through stored
// blocks are freed.
int tree_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    TreeObject* t = as_tree(self);
    if (int r = traverse_blocks(t->core, visit, arg)) return r;
    Py_VISIT(t->op_counter);
    Py_VISIT(t->sampled_counter);
    return 0;
}

int tree_clear(PyObject* self) {
    TreeObject* t = as_tree(self);
    Chunk* chunks = detach_all(t->core);
    t->stats.total_blocks.store(0, kRelaxed);
    release_detached(t->core, chunks);
    drain_if_idle(t->core);
    Py_CLEAR(t->op_counter);
    Py_CLEAR(t->sampled_counter);
    return 0;
}

// Trees holding trees are freed through the trashcan, so a long chain of
// them does not nest one call per link.
void tree_dealloc(PyObject* self) {
    kn::fork_unregister(as_tree(self)->fork_link);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, kn::guarded<tree_dealloc>)
    tree_clear(self);
    // Nothing can walk a tree that is being destroyed.
    drain_retired(as_tree(self)->core);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------- methods

constexpr kn::Signature<1> kTreeSanitizeSizeSig{"_sanitize_size", {"size"}, 1};

PyObject* tree_sanitize_size(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kTreeSanitizeSizeSig, args, nargs, kwnames, a)) return nullptr;
    kn::Ref size = kn::int_arg(a[0], "size");
    if (!size) return nullptr;
    const int sign = kn::int_sign(size.get());
    if (sign == -2) return nullptr;
    if (sign < 0) {
        invalid_size(size.get());
        return nullptr;
    }
    return size.release();
}

constexpr kn::Signature<2> kTreeInsertSig{"insert", {"size", "block"}, 2};

PyObject* tree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kTreeInsertSig, args, nargs, kwnames, a)) return nullptr;
    TreeObject* t = as_tree(self);
    uint64_t size;
    if (size_arg(self, a[0], &size, true) != Sane::kOk) return nullptr;

    // Sampling happens before the lock: every insert counts, and one in
    // sample_rate is also counted as sampled once it is stored.  An exact
    // AtomicCounter takes its step through its native table, inside the
    // critical section that keeps clear() from replacing it meanwhile.
    bool sampled = false;
    kn::Ref counter;
    if (t->use_atomic) {
        bool stepped = false;
        int64_t value = 0;
        {
            kn::CriticalSection fields(self);  // clear() replaces the counters
            PyObject* op = t->op_counter;
            if (is_exact_counter(op)) {
                value = counter_ops->_c_increment(op, nullptr);
                stepped = true;
            } else {
                counter = kn::Ref::borrow(op);
            }
        }
        if (stepped) {
            sampled = t->sample_rate != 0 && value % static_cast<int64_t>(t->sample_rate) == 0;
        } else if (counter) {
            kn::Ref r = kn::Ref::steal(call_method0(s_increment, counter.get()));
            if (!r) return nullptr;
            if (t->sample_rate != 0) {
                int d = divisible(r.get(), t->sample_rate);
                if (d < 0) return nullptr;
                sampled = d != 0;
            }
        }
    }
    kn::Ref sampled_counter;
    {
        WriteSection ws(t, true);
        if (!ws.ok()) return nullptr;
        wait_for_readers(t->core);
        if (!insert_block(t->core, size, a[1])) return nullptr;
        add_relaxed(t->stats.total_blocks, 1);
        add_relaxed(t->stats.total_insertions, 1);
        add_shared(t->stats.operation_count, 1);
        if (sampled && t->use_atomic) {
            // clear() replaces the counter only inside a write section.
            if (is_exact_counter(t->sampled_counter))
                counter_ops->_c_increment(t->sampled_counter, nullptr);
            else
                sampled_counter = kn::Ref::borrow(t->sampled_counter);
        }
    }
    if (sampled_counter) {
        kn::Ref r = kn::Ref::steal(call_method0(s_increment, sampled_counter.get()));
        if (!r) return nullptr;
    }
    Py_RETURN_TRUE;
}

// How many times a lock-free reader tries for a stable view of the tree.
constexpr int kReadAttempts = 100;

#ifndef Py_GIL_DISABLED
// With the interpreter lock, a search of a tree of at most this many sizes
// keeps the lock.  Such a tree is at most 32 levels deep and its nodes fit in
// 4 MiB (a last-level cache): the walk takes 30 to 200 ns, where releasing
// and taking back the lock costs about 50 ns alone and, when another thread
// is waiting for it, tens of microseconds to milliseconds (the waiter runs
// until its switch interval ends).  Longer, memory-bound walks release it.
// While the test hook holds lock-free readers inside nodes, every lookup
// walks lock-free, so that tests reach that path with small trees.
constexpr uint64_t kKeepLockSizes = uint64_t{1} << 16;
inline bool short_search(const Core& core) noexcept {
    return core.heads.load(kRelaxed) <= kKeepLockSizes && reader_pause_us.load(kRelaxed) == 0;
}
#endif

// One lookup of `size`, the best fit or the exact size.  The tree is walked
// with the interpreter lock released and no lock held; the node found counts
// only when no writer ran meanwhile (the sequence counter was even before and
// is unchanged after).  `take(node)` then reads what the caller needs from
// the node (null: nothing found) and must run no Python code.  When every
// try met a writer, the tree is searched once more with writers kept out, so
// contention never reads as "nothing fits".  A lookup from inside this
// thread's own write section raises RuntimeError, as a writer would.
// Returns false with an exception set.
template <typename Take>
bool lookup(TreeObject* t, uint64_t size, bool best_fit, Take&& take, bool count = true) {
    Core& core = t->core;
#ifndef Py_GIL_DISABLED
    // Writers change the tree only while they hold the interpreter lock, so
    // with the counter even and the lock kept for the whole walk the view
    // is stable: no reader count, no validation.
    if (short_search(core) && !(t->seq_counter.load(kRelaxed) & 1)) {
        take(best_fit ? find_best_fit_node(core, size) : find_node(core, size));
        drain_if_idle(core);
        if (count) add_shared(t->stats.total_searches, 1);
        return true;
    }
#endif
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        // Counted in for this try, and out again however it ends (a failed
        // allocation, a daemon thread ended at exit): a reader left counted
        // would keep writers waiting for ever.
        ReaderScope reader(core);
        const uint64_t seq_start = t->seq_counter.load();
        if (seq_start & 1) {
            reader.leave();
            if (kn::held_by_this_thread(t->write_lock.owner)) {
                PyErr_SetString(PyExc_RuntimeError, kWriteReentry);
                return false;
            }
            if (!short_sleep()) return false;
            continue;
        }
        RBNode* found;
        bool walked;
#ifdef Py_GIL_DISABLED
        // Without the interpreter lock the walk keeps the thread state: a
        // daemon thread stopped at interpreter exit where it re-attaches
        // would stay counted for ever, and every later writer (a finaliser
        // at exit) would wait for it for ever.  The walk is short and takes
        // no lock, so a stop-the-world pause waits for it only briefly.
        walked = best_fit ? read_find_best_fit_node(core, size, &found)
                          : read_find_node(core, size, &found);
#else
        Py_BEGIN_ALLOW_THREADS
        walked = best_fit ? read_find_best_fit_node(core, size, &found)
                          : read_find_node(core, size, &found);
        Py_END_ALLOW_THREADS
#endif
        std::atomic_thread_fence(std::memory_order_acquire);
        const bool stable = walked && t->seq_counter.load(kRelaxed) == seq_start;
        if (stable) take(found);  // the node is in the tree
        reader.leave();
#ifndef Py_GIL_DISABLED
        drain_if_idle(core);  // without the interpreter lock only writers drain
#endif
        if (stable) {
            if (count) add_shared(t->stats.total_searches, 1);
            return true;
        }
    }
    WriteSection ws(t, false);
    if (!ws.ok()) return false;
    take(best_fit ? find_best_fit_node(core, size) : find_node(core, size));
    if (count) add_shared(t->stats.total_searches, 1);
    return true;
}

constexpr kn::Signature<2> kTreeFindBestFitSig{"find_best_fit", {"size", "alignment"}, 1};

PyObject* tree_find_best_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kTreeFindBestFitSig, args, nargs, kwnames, a)) return nullptr;
    // The alignment is checked after the size's int rule and before its
    // sanitizer; plain_size() asks nothing, so it may come first.
    uint64_t size;
    const bool plain = plain_size(self, a[0], &size);
    kn::Ref n = plain ? kn::Ref() : kn::int_arg(a[0], "size");
    if (!plain && !n) return nullptr;
    if (a[1] && !PyLong_CheckExact(a[1]) && !kn::int_arg(a[1], "alignment"))
        return nullptr;  // accepted, not used
    switch (plain ? Sane::kOk : sanitize(self, n.get(), &size, false)) {
    case Sane::kOk:
        break;
    case Sane::kInvalid:
        return kn::none();
    case Sane::kError:
        return nullptr;
    }
    kn::Ref block;
    if (!lookup(as_tree(self), size, true, [&block](const RBNode* found) {
            block = kn::Ref::borrow(found ? found->block : Py_None);
        }))
        return nullptr;
    return block.release();
}

constexpr kn::Signature<1> kTreeFindAllExactSig{"find_all_exact", {"size"}, 1};

PyObject* tree_find_all_exact(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kTreeFindAllExactSig, args, nargs, kwnames, a)) return nullptr;
    uint64_t size;
    switch (size_arg(self, a[0], &size, false)) {
    case Sane::kOk:
        break;
    case Sane::kInvalid:
        return PyList_New(0);
    case Sane::kError:
        return nullptr;
    }
    // The blocks are taken while the tree is stable; the list is made
    // afterwards, since making it may run the collector and with it any code.
    std::vector<kn::Ref> blocks;
    if (!lookup(as_tree(self), size, false, [&blocks](const RBNode* head) {
            if (!head) return;
            blocks.push_back(kn::Ref::borrow(head->block));
            for (const Entry* e = head->next; e; e = e->next)
                blocks.push_back(kn::Ref::borrow(e->block));
        }))
        return nullptr;
    kn::Ref list = kn::Ref::steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < blocks.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), blocks[i].release());
    return list.release();
}

constexpr kn::Signature<2> kTreeDeleteSig{"delete", {"size", "block"}, 2};

PyObject* tree_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kTreeDeleteSig, args, nargs, kwnames, a)) return nullptr;
    TreeObject* t = as_tree(self);
    uint64_t size;
    switch (size_arg(self, a[0], &size, false)) {
    case Sane::kOk:
        break;
    case Sane::kInvalid:
        Py_RETURN_FALSE;
    case Sane::kError:
        return nullptr;
    }
    PyObject* block = a[1];
    kn::Ref removed;  // released after the write section: its finaliser may run then
    {
        WriteSection ws(t, true);
        if (!ws.ok()) return nullptr;
        // While == runs, this thread's writers are refused and other threads'
        // wait for the lock, so the nodes stay where they are.
        RBNode* head = find_node(t->core, size);
        if (!head) Py_RETURN_FALSE;
        int eq = blocks_equal(head->block, block);
        if (eq < 0) return nullptr;
        if (eq) {
            wait_for_readers(t->core);
            removed = kn::Ref::steal(take_head_block(t->core, head));
        } else {
            Entry* prev = nullptr;
            for (Entry* e = head->next; e; prev = e, e = e->next) {
                eq = blocks_equal(e->block, block);
                if (eq < 0) return nullptr;
                if (eq) {
                    wait_for_readers(t->core);
                    removed = kn::Ref::steal(take_entry_block(t->core, head, prev, e));
                    break;
                }
            }
            if (!removed) Py_RETURN_FALSE;
        }
        add_relaxed(t->stats.total_blocks, -1);
        add_relaxed(t->stats.total_deletions, 1);
    }
    Py_RETURN_TRUE;
}

constexpr kn::Signature<1> kTreeRemoveGeSig{"remove_ge", {"size"}, 1};

PyObject* tree_remove_ge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kTreeRemoveGeSig, args, nargs, kwnames, a)) return nullptr;
    TreeObject* t = as_tree(self);
    uint64_t size;
    Sane sane = size_arg(self, a[0], &size, false);
    if (sane == Sane::kError) return nullptr;
    // Made first: allocating a tuple may run the collector.
    kn::Ref result = kn::Ref::steal(PyTuple_New(2));
    if (!result) return nullptr;
    kn::Ref found_size, block;
    if (sane == Sane::kOk) {
        WriteSection ws(t, true);
        if (!ws.ok()) return nullptr;
        RBNode* head;
#ifndef Py_GIL_DISABLED
        if (short_search(t->core)) {
            head = find_best_fit_node(t->core, size);
        } else
#endif
        {
            Py_BEGIN_ALLOW_THREADS
            head = find_best_fit_node(t->core, size);
            Py_END_ALLOW_THREADS
        }
        if (head) {
            // An int allocation runs no Python code.
            found_size = kn::Ref::steal(PyLong_FromUnsignedLongLong(head->size));
            if (!found_size) return nullptr;
            wait_for_readers(t->core);
            block = kn::Ref::steal(take_head_block(t->core, head));
            add_relaxed(t->stats.total_blocks, -1);
            add_relaxed(t->stats.total_deletions, 1);
        }
    }
    if (!block) {
        found_size = kn::Ref::borrow(Py_None);
        block = kn::Ref::borrow(Py_None);
    }
    PyTuple_SET_ITEM(result.get(), 0, found_size.release());
    PyTuple_SET_ITEM(result.get(), 1, block.release());
    return result.release();
}

// Builds the statistics dict from a snapshot.
PyObject* stats_dict(const StatsSnapshot& s, uint64_t node_count, int32_t height,
                     PyObject* sampled) {
    kn::Ref d = kn::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    auto put = [&d](const char* key, PyObject* value) {
        kn::Ref v = kn::Ref::steal(value);
        return v && PyDict_SetItemString(d.get(), key, v.get()) == 0;
    };
    bool ok = put("total_blocks", PyLong_FromLongLong(s.total_blocks)) &&
              put("total_insertions", PyLong_FromLongLong(s.total_insertions)) &&
              put("total_deletions", PyLong_FromLongLong(s.total_deletions)) &&
              put("total_searches", PyLong_FromLongLong(s.total_searches)) &&
              put("bucket_hits", PyLong_FromLong(0)) && put("tree_hits", PyLong_FromLong(0)) &&
              put("operation_count", PyLong_FromLongLong(s.operation_count)) &&
              (!s.has_trips ||
               put("circuit_breaker_trips", PyLong_FromLongLong(s.circuit_breaker_trips))) &&
              put("node_count", PyLong_FromUnsignedLongLong(node_count)) &&
              put("height", PyLong_FromLong(height)) &&
              put("sampled_operations", Py_NewRef(sampled)) && put("is_valid", Py_NewRef(Py_True));
    return ok ? d.release() : nullptr;
}

PyObject* tree_get_stats(PyObject* self, PyObject*) {
    TreeObject* t = as_tree(self);
    StatsSnapshot snapshot;
    uint64_t node_count;
    int32_t height;
    kn::Ref counter;
    int64_t sampled_value = 0;
    {
        StatsSection section(t);
        if (!section.ok()) return nullptr;
        snapshot = snapshot_of(t->stats);
        node_count = t->core.count.load(kRelaxed);
#ifndef Py_GIL_DISABLED
        height = compute_height(t->core.root.load(std::memory_order_relaxed));
#endif
        kn::CriticalSection fields(self);  // clear() replaces the counters
        if (!t->use_atomic)
            sampled_value = 0;
        else if (is_exact_counter(t->sampled_counter))
            sampled_value = counter_ops->_c_load(t->sampled_counter);
        else
            counter = kn::Ref::borrow(t->sampled_counter);
    }
#ifdef Py_GIL_DISABLED
    // Without the interpreter lock the tree is walked as a lookup walks it,
    // unless this thread is the writer (then nothing changes it meanwhile).
    if (kn::held_by_this_thread(t->write_lock.owner))
        height = compute_height(t->core.root.load(std::memory_order_relaxed));
    else if (!lookup(
                 t, 0, true,
                 [&height, t](const RBNode*) {
                     height = compute_height(t->core.root.load(std::memory_order_relaxed));
                 },
                 false))
        return nullptr;
#endif
    kn::Ref sampled = counter ? kn::Ref::steal(call_method0(s_load, counter.get()))
                              : kn::Ref::steal(PyLong_FromLongLong(sampled_value));
    if (!sampled) return nullptr;
    return stats_dict(snapshot, node_count, height, sampled.get());
}

PyObject* tree_size(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_tree(self)->core.count.load(kRelaxed));
}

PyObject* tree_clear_method(PyObject* self, PyObject*) {
    TreeObject* t = as_tree(self);
    // New counters first, through the module global: a failure changes nothing.
    kn::Ref op, sampled;
    if (t->use_atomic) {
        kn::Ref cls = globals.get(s_atomic_counter);
        if (!cls) return nullptr;
        op = kn::Ref::steal(PyObject_CallFunction(cls.get(), "i", 0));
        if (!op) return nullptr;
        sampled = kn::Ref::steal(PyObject_CallFunction(cls.get(), "i", 0));
        if (!sampled) return nullptr;
    }
    Chunk* detached;
    {
        WriteSection ws(t, true);
        if (!ws.ok()) return nullptr;
        wait_for_readers(t->core);
        detached = detach_all(t->core);
        reset_stats(t->stats);
        if (t->use_atomic) {
            // The old counters are released with `op` and `sampled`, after the section.
            kn::CriticalSection fields(self);
            PyObject* old_op = std::exchange(t->op_counter, op.release());
            PyObject* old_sampled = std::exchange(t->sampled_counter, sampled.release());
            op = kn::Ref::steal(old_op);
            sampled = kn::Ref::steal(old_sampled);
        }
    }
    // The blocks are released outside the lock: their finalisers may use the tree.
    release_detached(t->core, detached);
#ifndef Py_GIL_DISABLED
    drain_if_idle(t->core);  // without the interpreter lock only writers drain, under the lock
#endif
    return kn::none();
}

PyObject* tree_get_size_distribution(PyObject* self, PyObject*) {
    TreeObject* t = as_tree(self);
    // From the C++ heap, which needs no thread state to be given back.
    std::vector<SizeCount> entries;
    {
        // Writers are kept out while the sizes are copied; the dict is built
        // afterwards, since making it may run Python code.
        WriteSection ws(t, false);
        if (!ws.ok()) return nullptr;
        entries.resize(t->core.heads.load(kRelaxed));
        entries.resize(
            collect_distribution(t->core.root.load(std::memory_order_relaxed), entries.data()));
    }
    kn::Ref d = kn::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const SizeCount& e : entries) {
        kn::Ref key = kn::Ref::steal(PyLong_FromUnsignedLongLong(e.size));
        kn::Ref value = key ? kn::Ref::steal(PyLong_FromUnsignedLongLong(e.count)) : kn::Ref();
        if (!value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* tree_reset_circuit_breaker(PyObject* self, PyObject*) {
    TreeObject* t = as_tree(self);
    StatsSection section(t);
    if (!section.ok()) return nullptr;
    t->stats.has_trips.store(true, kRelaxed);
    t->stats.circuit_breaker_trips.store(0, kRelaxed);
    t->stats.operation_count.store(0, kRelaxed);
    return kn::none();
}

PyObject* tree_get_statistics(PyObject*, PyObject*) { return PyDict_New(); }

// Checks the tree's rules (search order, colours, equal black heights,
// parent links, list entries, counts); returns the black height or raises
// AssertionError naming the first broken rule.  For tests.
PyObject* tree_check_invariants(PyObject* self, PyObject*) {
    TreeObject* t = as_tree(self);
    int black_height = 0;
    const char* why = check_tree(t->core, &black_height);
    if (!why && static_cast<uint64_t>(t->stats.total_blocks.load()) != t->core.count.load())
        why = "the statistics' block total differs from the count";
    if (!why && (t->seq_counter.load() & 1) && !t->write_lock.owner.load(kRelaxed))
        why = "the sequence counter is odd outside a write";
    if (why) {
        PyErr_SetString(PyExc_AssertionError, why);
        return nullptr;
    }
    return PyLong_FromLong(black_height);
}

// (chunks, traced bytes, chunks advised for huge pages) of the tree's
// pools, read under the write lock.  For tests.
PyObject* tree_pool_info(PyObject* self, PyObject*) {
    TreeObject* t = as_tree(self);
    uint64_t chunks = 0, bytes = 0, huge = 0;
    {
        WriteSection ws(t, false);
        if (!ws.ok()) return nullptr;
        pool_info(t->core.node_pool, &chunks, &bytes, &huge);
        pool_info(t->core.entry_pool, &chunks, &bytes, &huge);
    }
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(chunks),
                         static_cast<unsigned long long>(bytes),
                         static_cast<unsigned long long>(huge));
}

PyMethodDef static_method(PyMethodDef def) {
    def.ml_flags |= METH_STATIC;
    return def;
}

PyMethodDef tree_methods[] = {
    KN_NO_PICKLE,
    static_method(kn::def<tree_sanitize_size>(
        "_sanitize_size",
        "_sanitize_size(size)\n--\n\n"
        "Returns size when it is 0 or more; a negative size raises ValueError.")),
    kn::def<tree_insert>(
        "insert", "insert($self, /, size, block)\n--\n\nStores block under size; returns True."),
    kn::def<tree_find_best_fit>(
        "find_best_fit",
        "find_best_fit($self, /, size, alignment=1)\n--\n\n"
        "The block of the smallest stored size that is at least size, or None; takes no lock.\n"
        "alignment is accepted and not used."),
    kn::def<tree_find_all_exact>(
        "find_all_exact",
        "find_all_exact($self, /, size)\n--\n\n"
        "All blocks stored under exactly size, in removal order; takes no lock."),
    kn::def<tree_delete>("delete",
                         "delete($self, /, size, block)\n--\n\n"
                         "Removes the first block stored under size that equals block; returns "
                         "whether one was found."),
    kn::def<tree_remove_ge>("remove_ge",
                            "remove_ge($self, /, size)\n--\n\n"
                            "Removes the best-fit block for size and returns (size, block), or "
                            "(None, None)."),
    kn::def<tree_get_stats>("get_stats",
                            "get_stats($self, /)\n--\n\nA snapshot of the statistics."),
    kn::def<tree_size>("size", "size($self, /)\n--\n\nNumber of stored blocks."),
    kn::def<tree_clear_method>("clear",
                               "clear($self, /)\n--\n\n"
                               "Removes every block and resets the statistics and counters."),
    kn::def<tree_get_size_distribution>(
        "get_size_distribution",
        "get_size_distribution($self, /)\n--\n\nNumber of stored blocks for each size."),
    kn::def<tree_reset_circuit_breaker>(
        "reset_circuit_breaker",
        "reset_circuit_breaker($self, /)\n--\n\n"
        "Sets the statistics circuit_breaker_trips and operation_count to 0."),
    kn::def<tree_get_statistics>("get_statistics",
                                 "get_statistics($self, /)\n--\n\nAlways a new empty dict."),
    kn::def<tree_check_invariants>(
        "_check_invariants",
        "_check_invariants($self, /)\n--\n\n"
        "Checks every rule of the tree; returns its black height or raises AssertionError."),
    kn::def<tree_pool_info>("_pool_info",
                            "_pool_info($self, /)\n--\n\n"
                            "(chunks, traced bytes, chunks advised for huge pages) of the "
                            "tree's node pools."),
    kn::kEndOfMethods,
};

// ---------------------------------------------------------------- slots

PyObject* tree_repr(PyObject* self) {
    return PyUnicode_FromFormat(
        "FastRedBlackTree(blocks=%llu, native=True)",
        static_cast<unsigned long long>(as_tree(self)->core.count.load(kRelaxed)));
}

// len() and bool() ask self.size(), so a subclass's size() is used; an
// exact FastRedBlackTree answers from its count.
Py_ssize_t tree_length(PyObject* self) {
    if (Py_IS_TYPE(self, &TreeType)) {
        const uint64_t count = as_tree(self)->core.count.load(kRelaxed);
        if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
            return -1;
        }
        return static_cast<Py_ssize_t>(count);
    }
    kn::Ref r = kn::Ref::steal(call_method0(s_size, self));
    if (!r) return -1;
    Py_ssize_t v = PyNumber_AsSsize_t(r.get(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < 0) {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return v;
}

int tree_bool(PyObject* self) {
    if (Py_IS_TYPE(self, &TreeType)) return as_tree(self)->core.count.load(kRelaxed) > 0;
    kn::Ref r = kn::Ref::steal(call_method0(s_size, self));
    kn::Ref zero = r ? kn::Ref::steal(PyLong_FromLong(0)) : kn::Ref();
    kn::Ref gt =
        zero ? kn::Ref::steal(PyObject_RichCompare(r.get(), zero.get(), Py_GT)) : kn::Ref();
    return gt ? PyObject_IsTrue(gt.get()) : -1;
}

PySequenceMethods tree_as_sequence = {};
PyNumberMethods tree_as_number = {};

}  // namespace

bool ready_tree_type() {
    return kn::ready_type_once(TreeType, [](PyTypeObject& t) {
        t = kn::static_type<tree_new>(
            "kestrun.memory.spanwood.FastRedBlackTree", sizeof(TreeObject),
            "FastRedBlackTree(sample_rate=100)\n--\n\n"
            "Free memory blocks keyed by size, with best-fit search.  Writers are serialised by\n"
            "a lock; find_best_fit and find_all_exact take none.",
            tree_methods, true);
        t.tp_traverse = kn::guarded<tree_traverse>;
        t.tp_clear = kn::guarded<tree_clear>;
        t.tp_dealloc = kn::guarded<tree_dealloc>;
        t.tp_repr = kn::guarded<tree_repr>;
        tree_as_sequence.sq_length = kn::guarded<tree_length>;
        tree_as_number.nb_bool = kn::guarded<tree_bool>;
        t.tp_as_sequence = &tree_as_sequence;
        t.tp_as_number = &tree_as_number;
    });
}

}  // namespace spanwood
