// FastBucketAllocator keeps freed block offsets in exact-size buckets (a dict
// of lists used as stacks) and finds a block for a size at an alignment;
// FastStatsCollector counts the allocator's allocations.  Each owns a lock,
// held around every step that reads or changes its state: the allocator a
// private native one, the collector a threading.Lock (its Python methods
// hold it as `with self.lock` would).
// Nothing that can run Python code happens while a lock is held (no object
// the collector tracks is created there), so a finaliser that calls back
// into the same object cannot deadlock on it.  The bucket dict and its lists
// are never handed out.  The lists change only under the lock; the dict also
// changes in `_init_buckets`, which takes no lock (it runs in the
// constructor, and a later call only replaces buckets with new empty ones),
// so the search holds a critical section on the dict and keeps the chosen
// list by a strong reference.
#include "slabkit.hpp"

#include <new>

namespace slabkit {

PyTypeObject BucketAllocatorType;
PyTypeObject StatsCollectorType;

namespace {

// ---------------------------------------------------------------- FastBucketAllocator

struct BucketObject;

// The native operations (one), reached through this table.
struct BucketOps {
    // -1 for a size above both tiers; -1 with an exception set on failure.
    int32_t (*get_bucket_size_fast)(const BucketObject*, int32_t size);
};

struct BucketObject {
    PyObject_HEAD
    const BucketOps* ops;
    int32_t bucket_size_step;
    int32_t small_block_max;
    int32_t medium_block_max;
    PyObject* buckets;  // dict: bucket size -> list of offsets; nullptr once cleared
    kn::NativeLock lock;
};

// The allocator's lock for a scope.
struct AllocatorScope : kn::NativeScope {
    explicit AllocatorScope(BucketObject* b)
        : kn::NativeScope(b->lock,
                          "re-entrant call into a FastBucketAllocator from the thread that holds "
                          "its lock") {}
};

inline BucketObject* allocator_of(PyObject* self) { return reinterpret_cast<BucketObject*>(self); }

// Both tiers round up to a multiple of the step the same way.
int32_t get_bucket_size_fast(const BucketObject* b, int32_t size) {
    if (size > b->small_block_max && size > b->medium_block_max) return -1;
    int32_t rounded;
    if (!round_up_to_step(size, b->bucket_size_step, "bucket_size_step", "get_bucket_size_fast",
                          &rounded))
        return -1;
    return rounded;
}

const BucketOps bucket_ops = {get_bucket_size_fast};

// The bucket size for `size`; false with an exception set.
bool bucket_size_of(const BucketObject* b, int32_t size, int32_t* out) {
    const int32_t r = b->ops->get_bucket_size_fast(b, size);
    if (r == -1 && PyErr_Occurred()) return false;
    *out = r;
    return true;
}

PyObject* s_init_buckets = nullptr;  // interned "_init_buckets"

constexpr kn::Signature<3> kBucketAllocatorNewSig{
    "FastBucketAllocator", {"bucket_size_step", "small_block_max", "medium_block_max"}, 0};

PyObject* allocator_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 3> a;
    int32_t step = 8, small = 256, medium = 4096;
    if (!kn::bind_tuple(kBucketAllocatorNewSig, args, kwds, a) ||
        (a[0] && !kn::to_int32(a[0], &step)) || (a[1] && !kn::to_int32(a[1], &small)) ||
        (a[2] && !kn::to_int32(a[2], &medium)))
        return nullptr;
    kn::Ref self = kn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    BucketObject* b = allocator_of(self.get());
    b->ops = &bucket_ops;
    b->bucket_size_step = step;
    b->small_block_max = small;
    b->medium_block_max = medium;
    new (&b->lock) kn::NativeLock();
    if (!(b->buckets = PyDict_New())) return nullptr;
    // Looked up on the instance, so a subclass may lay out its own buckets.
    kn::Ref done = kn::Ref::steal(PyObject_CallMethodNoArgs(self.get(), s_init_buckets));
    if (!done) return nullptr;
    return self.release();
}

int allocator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    BucketObject* b = allocator_of(self);
    Py_VISIT(b->buckets);
    return 0;
}

int allocator_clear(PyObject* self) {
    Py_CLEAR(allocator_of(self)->buckets);
    return 0;
}

void allocator_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, kn::guarded<allocator_dealloc>)
    allocator_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// The number of values of range(start, stop, step), step not 0.
int64_t range_length(int64_t start, int64_t stop, int64_t step) {
    const int64_t span = step > 0 ? stop - start : start - stop;
    const int64_t by = step > 0 ? step : -step;
    return span > 0 ? (span + by - 1) / by : 0;
}

// More buckets than this are refused before any is made: the two ranges
// can describe billions of size classes (step 1 up to 2**31 - 1), which
// would exhaust memory long before they were all made.  The default
// allocator has 512.
constexpr int64_t kMaxBuckets = int64_t{1} << 22;

// buckets[size] = [] for each size in range(start, stop, step), walked as
// Python's range walks it (a negative step counts down).
bool fill_buckets(PyObject* buckets, int64_t start, int64_t stop, int64_t step) {
    for (int64_t size = start; step > 0 ? size < stop : size > stop; size += step) {
        kn::Ref key = kn::Ref::steal(PyLong_FromLongLong(size));
        if (!key) return false;
        kn::Ref list = kn::Ref::steal(PyList_New(0));
        if (!list || PyDict_SetItem(buckets, key.get(), list.get()) < 0) return false;
    }
    return true;
}

PyObject* allocator_init_buckets(PyObject* self, PyObject*) {
    BucketObject* b = allocator_of(self);
    kn::Ref buckets = kn::Ref::borrow(b->buckets);
    if (!buckets) return kn::none();
    const int64_t step = b->bucket_size_step, small = b->small_block_max;
    const int64_t medium_start = small + step, medium_stop = int64_t{b->medium_block_max} + 1;
    if (step == 0) {
        PyErr_SetString(PyExc_ValueError, "range() arg 3 must not be zero");
        return nullptr;
    }
    const int64_t count =
        range_length(step, small + 1, step) + range_length(medium_start, medium_stop, step);
    if (count > kMaxBuckets) {
        PyErr_Format(PyExc_ValueError,
                     "%lld size classes requested (bucket_size_step %d, small_block_max %d, "
                     "medium_block_max %d); at most %lld are supported",
                     static_cast<long long>(count), b->bucket_size_step, b->small_block_max,
                     b->medium_block_max, static_cast<long long>(kMaxBuckets));
        return nullptr;
    }
    // Each bucket is replaced in one step.  (Without the interpreter lock a
    // search, which holds the dict's critical section throughout, waits for
    // the step in progress; holding that section here too would make every
    // insertion below take the dict's lock again, which 3.13 does only
    // through its slow path.)
    if (!fill_buckets(buckets.get(), step, small + 1, step) ||
        !fill_buckets(buckets.get(), medium_start, medium_stop, step))
        return nullptr;
    return kn::none();
}

// The list under `key` as a new reference in *list; false with an exception
// set.  A missing key (or an allocator already cleared) leaves *list empty.
bool bucket_at(const BucketObject* b, PyObject* key, kn::Ref* list) {
    if (!b->buckets) return true;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(b->buckets, key, &found) < 0) return false;
    *list = kn::Ref::steal(found);
    if (*list && !PyList_Check(list->get())) list->reset();
    return true;
}

// Removes and returns the last item of a non-empty list.
PyObject* pop_last(PyObject* list) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    kn::Ref item = kn::Ref::borrow(PyList_GET_ITEM(list, n - 1));
    if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return nullptr;
    return item.release();
}

constexpr kn::Signature<2> kBucketAllocatorAddToBucketSig{"add_to_bucket", {"offset", "size"}, 2};

PyObject* allocator_add_to_bucket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    int32_t offset, size, bucket;
    BucketObject* b = allocator_of(self);
    if (!kn::bind(kBucketAllocatorAddToBucketSig, args, nargs, kwnames, a) ||
        !kn::to_int32(a[0], &offset) || !kn::to_int32(a[1], &size) ||
        !bucket_size_of(b, size, &bucket))
        return nullptr;
    // Only blocks whose size is exactly a bucket size are kept.
    if (bucket <= 0 || bucket != size) Py_RETURN_FALSE;
    kn::Ref key = kn::Ref::steal(PyLong_FromLong(bucket));
    kn::Ref value = key ? kn::Ref::steal(PyLong_FromLong(offset)) : kn::Ref();
    if (!value) return nullptr;

    AllocatorScope scope(b);
    if (!scope.ok()) return nullptr;
    kn::Ref list;
    if (!bucket_at(b, key.get(), &list)) return scope.leave(nullptr);
    if (!list) return scope.leave(kn::boolean(false));
    if (PyList_Append(list.get(), value.get()) < 0) return scope.leave(nullptr);
    return scope.leave(kn::boolean(true));
}

constexpr kn::Signature<1> kBucketAllocatorRemoveFromBucketSig{"remove_from_bucket", {"size"}, 1};

PyObject* allocator_remove_from_bucket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int32_t size, bucket;
    BucketObject* b = allocator_of(self);
    if (!kn::bind(kBucketAllocatorRemoveFromBucketSig, args, nargs, kwnames, a) ||
        !kn::to_int32(a[0], &size) || !bucket_size_of(b, size, &bucket))
        return nullptr;
    if (bucket <= 0) return kn::none();
    kn::Ref key = kn::Ref::steal(PyLong_FromLong(bucket));
    if (!key) return nullptr;

    AllocatorScope scope(b);
    if (!scope.ok()) return nullptr;
    kn::Ref list;
    if (!bucket_at(b, key.get(), &list)) return scope.leave(nullptr);
    if (!list || PyList_GET_SIZE(list.get()) == 0) return scope.leave(kn::none());
    return scope.leave(pop_last(list.get()));
}

// The fit of a bucket's most recently stored offset (the only one tried):
// 1 fits, 0 does not, -1 a step leaves the 32-bit range.
int last_offset_fits(PyObject* list, int64_t bucket, int32_t size, int32_t alignment) {
    PyObject* last = PyList_GET_ITEM(list, PyList_GET_SIZE(list) - 1);
    int overflow = 0;
    const long long offset = PyLong_AsLongLongAndOverflow(last, &overflow);
    if (overflow || (offset == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return -1;
    }
    return fits_aligned(offset, bucket, size, alignment);
}

// Under the lock.  The exact bucket first, then the larger buckets in
// ascending order of size; in each only the last offset is tried, and the
// first that fits is taken out and returned.  The scan never moves an
// offset that is not taken, so one pass over the dict that remembers the
// smallest deciding bucket gives the ascending scan's answer without
// sorting the keys.  A bucket whose arithmetic leaves the 32-bit range
// decides too: OverflowError, with every bucket left as it was.
PyObject* best_fit_locked(const BucketObject* b, int32_t size, int32_t alignment, int32_t bucket) {
    constexpr const char* where = "find_best_fit_bucket";
    kn::Ref buckets = kn::Ref::borrow(b->buckets);
    if (!buckets) return kn::none();
    kn::Ref chosen;                              // the list to take from, once found
    kn::CriticalSection section(buckets.get());  // one state of the dict throughout
    kn::Ref key = kn::Ref::steal(PyLong_FromLong(bucket));
    if (!key) return nullptr;
    kn::Ref list;
    if (!bucket_at(b, key.get(), &list)) return nullptr;
    if (list && PyList_GET_SIZE(list.get()) > 0) {
        const int fit = last_offset_fits(list.get(), bucket, size, alignment);
        if (fit < 0) {
            overflow32(where);
            return nullptr;
        }
        if (fit) return pop_last(list.get());
    }

    int64_t chosen_size = 0;
    int chosen_fit = 0;
    Py_ssize_t pos = 0;
    PyObject *k, *v;  // borrowed from the dict: nothing changes it during the section
    while (PyDict_Next(buckets.get(), &pos, &k, &v)) {
        if (!PyLong_Check(k) || !PyList_Check(v) || PyList_GET_SIZE(v) == 0) continue;
        int overflow = 0;
        const long long check_size = PyLong_AsLongLongAndOverflow(k, &overflow);
        if (overflow < 0 || check_size <= bucket) continue;
        // A larger key cannot come before the one already chosen.
        if (chosen && (overflow > 0 || check_size >= chosen_size)) continue;
        const int fit = overflow > 0 ? -1 : last_offset_fits(v, check_size, size, alignment);
        if (fit == 0) continue;
        chosen = kn::Ref::borrow(v);
        chosen_size = overflow > 0 ? INT64_MAX : check_size;
        chosen_fit = fit;
    }
    if (!chosen) return kn::none();
    if (chosen_fit < 0) {
        overflow32(where);
        return nullptr;
    }
    return pop_last(chosen.get());
}

constexpr kn::Signature<2> kBucketAllocatorFindBestFitBucketSig{
    "find_best_fit_bucket", {"size", "alignment"}, 2};

PyObject* allocator_find_best_fit_bucket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    int32_t size, alignment, bucket;
    BucketObject* b = allocator_of(self);
    if (!kn::bind(kBucketAllocatorFindBestFitBucketSig, args, nargs, kwnames, a) ||
        !kn::to_int32(a[0], &size) || !kn::to_int32(a[1], &alignment) ||
        !check_alignment(alignment) || !bucket_size_of(b, size, &bucket))
        return nullptr;
    if (bucket <= 0) return kn::none();  // without taking the lock
    AllocatorScope scope(b);
    if (!scope.ok()) return nullptr;
    return scope.leave(best_fit_locked(b, size, alignment, bucket));
}

PyMethodDef allocator_methods[] = {
    KN_NO_PICKLE,
    kn::def<allocator_init_buckets>(
        "_init_buckets",
        "_init_buckets($self, /)\n--\n\n"
        "Creates an empty bucket for each size class: multiples of the step up to\n"
        "small_block_max, then steps above it up to medium_block_max."),
    kn::def<allocator_add_to_bucket>(
        "add_to_bucket",
        "add_to_bucket($self, /, offset, size)\n--\n\n"
        "Stores a free block's offset in the bucket of its size; True when stored (the\n"
        "size must be exactly a bucket size)."),
    kn::def<allocator_remove_from_bucket>(
        "remove_from_bucket",
        "remove_from_bucket($self, /, size)\n--\n\n"
        "The most recently stored offset of the bucket `size` rounds up to, taken out; or\n"
        "None."),
    kn::def<allocator_find_best_fit_bucket>(
        "find_best_fit_bucket",
        "find_best_fit_bucket($self, /, size, alignment)\n--\n\n"
        "Takes out a stored offset whose block holds `size` bytes at `alignment` (a power\n"
        "of 2), trying the exact bucket, then larger ones in ascending order; or None."),
    kn::kEndOfMethods,
};

// ---------------------------------------------------------------- FastStatsCollector

struct StatsObject;

// The native operations, reached through this table.
struct StatsOps {
    void (*record_allocation)(StatsObject*, int32_t size, int32_t padding, bool is_bucketed);
    void (*record_deallocation)(StatsObject*);
};

struct StatsObject {
    PyObject_HEAD
    const StatsOps* ops;
    uint64_t total_allocations;
    uint64_t total_deallocations;
    uint64_t bucketed_allocations;
    uint64_t fallback_allocations;
    uint64_t alignment_padding_bytes;
    PyObject* lock;  // nullptr once cleared
    kn::LockOwner lock_owner;
};

// The collector's lock for a scope.
struct CollectorScope : kn::LockedScope {
    explicit CollectorScope(StatsObject* s)
        : kn::LockedScope(s->lock, s->lock_owner,
                          "re-entrant call into a FastStatsCollector from the thread that holds "
                          "its lock") {}
};

inline StatsObject* collector_of(PyObject* self) { return reinterpret_cast<StatsObject*>(self); }

// Unsigned counters wrap modulo 2**64; a negative padding, sign-extended,
// lowers the padding sum.
void record_allocation(StatsObject* s, int32_t, int32_t padding, bool is_bucketed) {
    s->total_allocations += 1;
    s->alignment_padding_bytes += static_cast<uint64_t>(int64_t{padding});
    if (is_bucketed)
        s->bucketed_allocations += 1;
    else
        s->fallback_allocations += 1;
}

void record_deallocation(StatsObject* s) { s->total_deallocations += 1; }

const StatsOps stats_ops = {record_allocation, record_deallocation};

// Takes any arguments and ignores them.
PyObject* collector_new(PyTypeObject* type, PyObject*, PyObject*) {
    kn::Ref self = kn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    StatsObject* s = collector_of(self.get());
    s->ops = &stats_ops;
    s->total_allocations = s->total_deallocations = 0;
    s->bucketed_allocations = s->fallback_allocations = s->alignment_padding_bytes = 0;
    if (!(s->lock = globals.new_lock().release())) return nullptr;
    return self.release();
}

int collector_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(collector_of(self)->lock);
    return 0;
}

int collector_clear(PyObject* self) {
    Py_CLEAR(collector_of(self)->lock);
    return 0;
}

void collector_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, kn::guarded<collector_dealloc>)
    collector_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

constexpr kn::Signature<3> kStatsCollectorPyRecordAllocationSig{
    "py_record_allocation", {"size", "padding", "is_bucketed"}, 3};

PyObject* collector_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    int32_t size, padding;
    bool bucketed;
    if (!kn::bind(kStatsCollectorPyRecordAllocationSig, args, nargs, kwnames, a) ||
        !kn::to_int32(a[0], &size) || !kn::to_int32(a[1], &padding) ||
        !kn::to_truth(a[2], &bucketed))
        return nullptr;
    StatsObject* s = collector_of(self);
    CollectorScope scope(s);
    if (!scope.ok()) return nullptr;
    s->ops->record_allocation(s, size, padding, bucketed);
    return scope.leave() ? kn::none() : nullptr;
}

PyObject* collector_record_deallocation(PyObject* self, PyObject*) {
    StatsObject* s = collector_of(self);
    CollectorScope scope(s);
    if (!scope.ok()) return nullptr;
    s->ops->record_deallocation(s);
    return scope.leave() ? kn::none() : nullptr;
}

// bucketed / total * 100 with ".1f" and "%"; "0.0%" without allocations.
// The division is Python's true division of the two integers: exact doubles
// below 2**53, the interpreter's correctly rounded division above.
PyObject* ratio_text(uint64_t bucketed, uint64_t total) {
    double ratio = 0.0;
    if (total != 0) {
        constexpr uint64_t kExact = uint64_t{1} << 53;
        if (bucketed < kExact && total < kExact) {
            ratio = static_cast<double>(bucketed) / static_cast<double>(total);
        } else {
            kn::Ref n = kn::Ref::steal(PyLong_FromUnsignedLongLong(bucketed));
            kn::Ref d = n ? kn::Ref::steal(PyLong_FromUnsignedLongLong(total)) : kn::Ref();
            kn::Ref q = d ? kn::Ref::steal(PyNumber_TrueDivide(n.get(), d.get())) : kn::Ref();
            if (!q) return nullptr;
            ratio = PyFloat_AsDouble(q.get());
        }
        ratio *= 100.0;
    }
    char* digits = PyOS_double_to_string(ratio, 'f', 1, 0, nullptr);
    if (!digits) return nullptr;
    PyObject* text = PyUnicode_FromFormat("%s%%", digits);
    PyMem_Free(digits);
    return text;
}

PyObject* collector_get_stats(PyObject* self, PyObject*) {
    StatsObject* s = collector_of(self);
    uint64_t c[5];
    {
        // Read under one acquisition; the dict is built after it, since
        // building it may run the garbage collector.
        CollectorScope scope(s);
        if (!scope.ok()) return nullptr;
        c[0] = s->total_allocations;
        c[1] = s->total_deallocations;
        c[2] = s->bucketed_allocations;
        c[3] = s->fallback_allocations;
        c[4] = s->alignment_padding_bytes;
        if (!scope.leave()) return nullptr;
    }
    kn::Ref ratio = kn::Ref::steal(ratio_text(c[2], c[0]));
    if (!ratio) return nullptr;
    kn::Ref dict = kn::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, uint64_t> counts[] = {
        {"total_allocations", c[0]},
        {"total_deallocations", c[1]},
        {"bucketed_allocations", c[2]},
        {"fallback_allocations", c[3]},
    };
    for (const auto& [name, value] : counts) {
        kn::Ref v = kn::Ref::steal(PyLong_FromUnsignedLongLong(value));
        if (!v || PyDict_SetItemString(dict.get(), name, v.get()) < 0) return nullptr;
    }
    kn::Ref padding = kn::Ref::steal(PyLong_FromUnsignedLongLong(c[4]));
    if (PyDict_SetItemString(dict.get(), "bucketed_allocation_ratio", ratio.get()) < 0 ||
        !padding || PyDict_SetItemString(dict.get(), "alignment_padding_bytes", padding.get()) < 0)
        return nullptr;
    return dict.release();
}

PyObject* collector_reset_stats(PyObject* self, PyObject*) {
    StatsObject* s = collector_of(self);
    CollectorScope scope(s);
    if (!scope.ok()) return nullptr;
    s->total_allocations = s->total_deallocations = 0;
    s->bucketed_allocations = s->fallback_allocations = s->alignment_padding_bytes = 0;
    return scope.leave() ? kn::none() : nullptr;
}

PyMethodDef collector_methods[] = {
    KN_NO_PICKLE,
    kn::def<collector_record_allocation>(
        "py_record_allocation",
        "py_record_allocation($self, /, size, padding, is_bucketed)\n--\n\n"
        "Counts one allocation, served from a bucket when `is_bucketed` is true, and adds\n"
        "`padding` to the alignment padding bytes."),
    kn::def<collector_record_deallocation>("py_record_deallocation",
                                           "py_record_deallocation($self, /)\n--\n\n"
                                           "Counts one deallocation."),
    kn::def<collector_get_stats>("get_stats",
                                 "get_stats($self, /)\n--\n\n"
                                 "The counters and the bucketed share (\"75.0%\") as a new dict."),
    kn::def<collector_reset_stats>("reset_stats",
                                   "reset_stats($self, /)\n--\n\nSets every counter back to 0."),
    kn::kEndOfMethods,
};

}  // namespace

bool ready_bucket_allocator_type() {
    if (!kn::create_once(s_init_buckets,
                         [] { return PyUnicode_InternFromString("_init_buckets"); }))
        return false;
    return kn::ready_type_once(BucketAllocatorType, [](PyTypeObject& t) {
        t = kn::static_type<allocator_new>(
            "kestrun.memory.slabkit.FastBucketAllocator", sizeof(BucketObject),
            "FastBucketAllocator(bucket_size_step=8, small_block_max=256, medium_block_max=4096)\n"
            "--\n\n"
            "Free block offsets kept in exact-size buckets, with an aligned best-fit search.",
            allocator_methods, true);
        t.tp_traverse = kn::guarded<allocator_traverse>;
        t.tp_clear = kn::guarded<allocator_clear>;
        t.tp_dealloc = kn::guarded<allocator_dealloc>;
    });
}

bool ready_stats_collector_type() {
    return kn::ready_type_once(StatsCollectorType, [](PyTypeObject& t) {
        t = kn::static_type<collector_new>(
            "kestrun.memory.slabkit.FastStatsCollector", sizeof(StatsObject),
            "FastStatsCollector(*args, **kwargs)\n--\n\n"
            "The slab allocator's counters: allocations (bucketed or not), deallocations\n"
            "and alignment padding.  Constructor arguments are accepted and ignored.",
            collector_methods, true);
        t.tp_traverse = kn::guarded<collector_traverse>;
        t.tp_clear = kn::guarded<collector_clear>;
        t.tp_dealloc = kn::guarded<collector_dealloc>;
    });
}

}  // namespace slabkit
