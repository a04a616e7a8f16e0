// kestrun.gpu.cardmem: sizing, chunking and out-of-memory decisions for the
// package's GPU execution.  Every function is pure: numbers, tuples and
// strings in, numbers, tuples, lists and messages out; no device is touched
// and no state survives a call.
#include "kestrun_native.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace {

kn::ModuleFrame frame{"cardmem", "kestrun.gpu.cardmem"};

constexpr uint64_t kMaxEstimate = 9223372036854775807ULL;  // 2**63 - 1

// Built once at import and never changed: the operation-name sets and the
// three strategy decisions that carry no per-call numbers.
PyObject* chunkable_ops = nullptr;
PyObject* non_chunkable_ops = nullptr;
PyObject* fits_decision = nullptr;
PyObject* no_memory_decision = nullptr;
PyObject* not_chunkable_decision = nullptr;

// ---------------------------------------------------------------- Helpers

// The share of `available` that may be used when `headroom_ratio` is kept
// back.  The ratio is clamped to [0, 0.99] (NaN counts as 0.99), so at least
// 1 % always stays free once the ratio reaches 0.99.
uint64_t safe_limit(uint64_t available, double headroom_ratio) {
    double h = headroom_ratio;
    if (h < 0.0)
        h = 0.0;
    else if (h > 0.99 || std::isnan(h))
        h = 0.99;
    const double a = static_cast<double>(available);
    return kn::saturate_cast<uint64_t>(a - h * a);
}

// Case-insensitive (ASCII) substring test of a lower-case ASCII needle in a
// string of any storage kind, without copying it.  Only ASCII letters fold,
// which is exactly what str.lower() does to ASCII text.
template <typename Char>
bool contains_folded(const Char* text, Py_ssize_t n, std::string_view needle) {
    const Py_ssize_t m = static_cast<Py_ssize_t>(needle.size());
    auto fold = [](Char c) -> Py_UCS4 {
        Py_UCS4 u = c;
        return (u >= 'A' && u <= 'Z') ? u + ('a' - 'A') : u;
    };
    const Py_UCS4 first = static_cast<unsigned char>(needle[0]);
    for (Py_ssize_t i = 0; i + m <= n; ++i) {
        if (fold(text[i]) != first) continue;
        Py_ssize_t j = 1;
        while (j < m && fold(text[i + j]) == static_cast<unsigned char>(needle[j]))
            ++j;
        if (j == m) return true;
    }
    return false;
}

// A string searched as str.lower() would leave it.  Short ASCII text is
// lowered into a buffer on the stack; longer ASCII text is searched in place
// with ASCII folding; any other text goes through str.lower() itself, so the
// full Unicode rules apply (some non-ASCII letters lower to ASCII ones).
class LoweredText {
public:
    bool init(PyObject* s) {
        if (!PyUnicode_IS_ASCII(s)) {
            lowered_ = kn::Ref::steal(PyObject_CallMethod(s, "lower", nullptr));
            if (!lowered_) return false;
            s = lowered_.get();
        }
        kind_ = PyUnicode_KIND(s);
        data_ = PyUnicode_DATA(s);
        len_ = PyUnicode_GET_LENGTH(s);
        if (lowered_ && kind_ == PyUnicode_1BYTE_KIND) {
            text_ =
                std::string_view(static_cast<const char*>(data_), static_cast<std::size_t>(len_));
        } else if (!lowered_ && len_ <= static_cast<Py_ssize_t>(sizeof buffer_)) {
            const char* in = static_cast<const char*>(data_);
            for (Py_ssize_t i = 0; i < len_; ++i) {
                const char c = in[i];
                buffer_[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
            }
            text_ = std::string_view(buffer_, static_cast<std::size_t>(len_));
        } else {
            folded_search_ = true;
        }
        return true;
    }

    bool contains(std::string_view needle) const {
        if (!folded_search_) return text_.find(needle) != std::string_view::npos;
        switch (kind_) {
        case PyUnicode_1BYTE_KIND:
            return contains_folded(static_cast<const Py_UCS1*>(data_), len_, needle);
        case PyUnicode_2BYTE_KIND:
            return contains_folded(static_cast<const Py_UCS2*>(data_), len_, needle);
        default:
            return contains_folded(static_cast<const Py_UCS4*>(data_), len_, needle);
        }
    }

private:
    kn::Ref lowered_;
    std::string_view text_;
    bool folded_search_ = false;
    int kind_ = PyUnicode_1BYTE_KIND;
    const void* data_ = nullptr;
    Py_ssize_t len_ = 0;
    char buffer_[256];
};

// Membership of an exact str (or None, never a member) in one of the sets.
int in_set(PyObject* set, PyObject* name) {
    if (name == Py_None) return 0;
    return PySet_Contains(set, name);
}

// One chunk: (rows,) followed by the shape's dimensions after the first.
PyObject* chunk_tuple(PyObject* shape, Py_ssize_t ndim, int64_t rows) {
    kn::Ref chunk = kn::Ref::steal(PyTuple_New(ndim));
    if (!chunk) return nullptr;
    PyObject* first = PyLong_FromLongLong(rows);
    if (!first) return nullptr;
    PyTuple_SET_ITEM(chunk.get(), 0, first);
    for (Py_ssize_t i = 1; i < ndim; ++i)
        PyTuple_SET_ITEM(chunk.get(), i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
    return chunk.release();
}

// (1, chunk_bytes, passes, "Chunking into <passes> GPU passes"), built
// directly: this runs on every chunked decision.
PyObject* chunked_decision(uint64_t chunk_bytes, uint64_t passes) {
    static constexpr std::string_view head = "Chunking into ", tail = " GPU passes";
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, passes);
    (void)ec;  // 24 characters always hold a 64-bit number
    const std::string_view number(digits, static_cast<std::size_t>(end - digits));
    kn::Ref message = kn::Ref::steal(
        PyUnicode_New(static_cast<Py_ssize_t>(head.size() + number.size() + tail.size()), 127));
    if (!message) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(message.get()));
    out = std::copy(head.begin(), head.end(), out);
    out = std::copy(number.begin(), number.end(), out);
    std::copy(tail.begin(), tail.end(), out);

    // A tuple frees the items it holds and skips the slots not yet filled.
    kn::Ref decision = kn::Ref::steal(PyTuple_New(4));
    if (!decision) return nullptr;
    PyTuple_SET_ITEM(decision.get(), 3, message.release());
    PyTuple_SET_ITEM(decision.get(), 0, PyLong_FromLong(1));  // a cached small int
    PyObject* item = PyLong_FromUnsignedLongLong(chunk_bytes);
    if (!item) return nullptr;
    PyTuple_SET_ITEM(decision.get(), 1, item);
    if (!(item = PyLong_FromUnsignedLongLong(passes))) return nullptr;
    PyTuple_SET_ITEM(decision.get(), 2, item);
    return decision.release();
}

// ---------------------------------------------------------------- Sizing

constexpr kn::Signature<3> kEstimateAllocationBytesSig{
    "estimate_allocation_bytes", {"shape", "element_size", "overhead_factor"}, 2};

PyObject* estimate_allocation_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!kn::bind(kEstimateAllocationBytesSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* shape = a[0];
    int32_t element_size;
    double overhead = 1.0;
    if (!kn::check_exact(shape, &PyTuple_Type, "shape") || !kn::to_int32(a[1], &element_size) ||
        (a[2] && !kn::to_double(a[2], &overhead)))
        return nullptr;
    if (shape == Py_None) return kn::none_has_no_len();
    // A negative size would turn the 64-bit product into a huge count.
    if (element_size < 0) {
        PyErr_Format(PyExc_ValueError, "element_size must not be negative (got %d)", element_size);
        return nullptr;
    }

    uint64_t total = 1;
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        int32_t dim;
        if (!kn::to_int32(PyTuple_GET_ITEM(shape, i), &dim)) return nullptr;
        if (dim < 1) return PyLong_FromLong(0);
        if (total > kMaxEstimate / static_cast<uint64_t>(dim))
            return PyLong_FromUnsignedLongLong(kMaxEstimate);
        total *= static_cast<uint64_t>(dim);
    }
    if (element_size >= 1 && total > kMaxEstimate / static_cast<uint64_t>(element_size))
        return PyLong_FromUnsignedLongLong(kMaxEstimate);
    uint64_t bytes = total * static_cast<uint64_t>(element_size);
    // The overhead only ever enlarges the estimate.
    if (overhead > 1.0) bytes = kn::saturate_cast<uint64_t>(static_cast<double>(bytes) * overhead);
    return PyLong_FromUnsignedLongLong(bytes);
}

constexpr kn::Signature<2> kCalculateSafeLimitSig{
    "calculate_safe_limit", {"available_bytes", "headroom_ratio"}, 2};

PyObject* calculate_safe_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kCalculateSafeLimitSig, args, nargs, kwnames, a)) return nullptr;
    uint64_t available;
    double ratio;
    if (!kn::to_uint64(a[0], &available) || !kn::to_double(a[1], &ratio)) return nullptr;
    return PyLong_FromUnsignedLongLong(safe_limit(available, ratio));
}

constexpr kn::Signature<4> kDecideAllocationStrategySig{
    "decide_allocation_strategy",
    {"requested_bytes", "available_bytes", "headroom_ratio", "is_chunkable"},
    4};

PyObject* decide_allocation_strategy(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kDecideAllocationStrategySig, args, nargs, kwnames, a)) return nullptr;
    uint64_t requested, available;
    double ratio;
    bool chunkable;
    if (!kn::to_uint64(a[0], &requested) || !kn::to_uint64(a[1], &available) ||
        !kn::to_double(a[2], &ratio) || !kn::to_truth(a[3], &chunkable))
        return nullptr;

    const uint64_t safe = safe_limit(available, ratio);
    if (safe == 0) return Py_NewRef(no_memory_decision);
    if (requested <= safe) return Py_NewRef(fits_decision);
    if (!chunkable) return Py_NewRef(not_chunkable_decision);
    const uint64_t passes = kn::saturate_cast<uint64_t>(
        std::ceil(static_cast<double>(requested) / static_cast<double>(safe)));
    return chunked_decision(safe, passes);
}

// ---------------------------------------------------------------- Chunking

constexpr kn::Signature<3> kComputeChunkShapesSig{
    "compute_chunk_shapes", {"shape", "element_size", "max_chunk_bytes"}, 3};

PyObject* compute_chunk_shapes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!kn::bind(kComputeChunkShapesSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* shape = a[0];
    int32_t element_size;
    uint64_t max_chunk_bytes;
    if (!kn::check_exact(shape, &PyTuple_Type, "shape") || !kn::to_int32(a[1], &element_size) ||
        !kn::to_uint64(a[2], &max_chunk_bytes))
        return nullptr;
    if (element_size < 1) {
        PyErr_SetString(PyExc_ValueError, "element_size must be positive");
        return nullptr;
    }
    if (max_chunk_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
        return nullptr;
    }
    if (shape == Py_None) return kn::none_has_no_len();

    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    if (ndim == 0) return Py_BuildValue("[O]", shape);

    // Bytes of one row (all dimensions after the first).  A product that
    // leaves 64 bits is a row larger than any budget, not its wrapped
    // remainder; a zero dimension makes the rows empty.
    uint64_t row_bytes = static_cast<uint64_t>(element_size);
    bool row_overflows = false, rows_empty = false;
    for (Py_ssize_t i = 1; i < ndim; ++i) {
        uint64_t dim;
        if (!kn::to_uint64(PyTuple_GET_ITEM(shape, i), &dim)) return nullptr;
        if (dim == 0)
            rows_empty = true;
        else if (!row_overflows && __builtin_mul_overflow(row_bytes, dim, &row_bytes))
            row_overflows = true;
    }
    int32_t remaining;
    if (!kn::to_int32(PyTuple_GET_ITEM(shape, 0), &remaining)) return nullptr;
    if (remaining < 1) return PyList_New(0);

    // Empty rows fit any budget: the whole shape is one chunk.  A row over
    // the budget still makes one-row chunks.
    uint64_t rows_per_chunk;
    if (rows_empty)
        rows_per_chunk = static_cast<uint64_t>(remaining);
    else if (row_overflows || row_bytes > max_chunk_bytes)
        rows_per_chunk = 1;
    else
        rows_per_chunk = max_chunk_bytes / row_bytes;

    const uint64_t rows = static_cast<uint64_t>(remaining);
    const uint64_t full = rows / rows_per_chunk;
    const uint64_t tail = rows % rows_per_chunk;
    const Py_ssize_t count = static_cast<Py_ssize_t>(full + (tail ? 1 : 0));
    kn::Ref chunks = kn::Ref::steal(PyList_New(count));
    if (!chunks) return nullptr;
    // Tuples are immutable, so every full chunk can be the same object.
    if (full) {
        kn::Ref whole =
            kn::Ref::steal(chunk_tuple(shape, ndim, static_cast<int64_t>(rows_per_chunk)));
        if (!whole) return nullptr;
        for (uint64_t i = 0; i < full; ++i)
            PyList_SET_ITEM(chunks.get(), static_cast<Py_ssize_t>(i), Py_NewRef(whole.get()));
    }
    if (tail) {
        PyObject* last = chunk_tuple(shape, ndim, static_cast<int64_t>(tail));
        if (!last) return nullptr;  // the list's empty slots are safe to free
        PyList_SET_ITEM(chunks.get(), count - 1, last);
    }
    return chunks.release();
}

constexpr kn::Signature<5> kCalculateOptimalChunksSig{
    "calculate_optimal_chunks",
    {"total_bytes", "available_bytes", "headroom_ratio", "min_chunks", "max_chunks"},
    3};

PyObject* calculate_optimal_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!kn::bind(kCalculateOptimalChunksSig, args, nargs, kwnames, a)) return nullptr;
    uint64_t total, available;
    double ratio;
    int32_t min_chunks = 1, max_chunks = 1000;
    if (!kn::to_uint64(a[0], &total) || !kn::to_uint64(a[1], &available) ||
        !kn::to_double(a[2], &ratio) || (a[3] && !kn::to_int32(a[3], &min_chunks)) ||
        (a[4] && !kn::to_int32(a[4], &max_chunks)))
        return nullptr;

    const uint64_t safe = safe_limit(available, ratio);
    if (safe == 0) return PyLong_FromLong(max_chunks);
    const int32_t n = kn::saturate_cast<int32_t>(
        std::ceil(static_cast<double>(total) / static_cast<double>(safe)));
    if (n < min_chunks) return PyLong_FromLong(min_chunks);
    return PyLong_FromLong(n < max_chunks ? n : max_chunks);
}

// ---------------------------------------------------------------- OOM and operations

constexpr kn::Signature<2> kIsOomErrorSig{"is_oom_error", {"error_message", "error_type"}, 2};

PyObject* is_oom_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kIsOomErrorSig, args, nargs, kwnames, a)) return nullptr;
    if (!kn::check_exact(a[0], &PyUnicode_Type, "error_message") ||
        !kn::check_exact(a[1], &PyUnicode_Type, "error_type"))
        return nullptr;
    if (a[0] == Py_None || a[1] == Py_None) return kn::none_has_no_lower();

    LoweredText m, t;
    if (!m.init(a[0]) || !t.init(a[1])) return nullptr;
    if (m.contains("out of memory") || t.contains("outofmemoryerror")) Py_RETURN_TRUE;
    const bool memory = m.contains("memory");
    const bool oom = (memory && m.contains("cuda")) ||
                     (m.contains("allocat") && m.contains("failed")) ||
                     (memory && (m.contains("insufficient") || m.contains("gpu")));
    return kn::boolean(oom);
}

constexpr kn::Signature<1> kIsChunkableOperationSig{"is_chunkable_operation", {"operation"}, 1};

PyObject* is_chunkable_operation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kIsChunkableOperationSig, args, nargs, kwnames, a)) return nullptr;
    if (!kn::check_exact(a[0], &PyUnicode_Type, "operation")) return nullptr;
    const int member = in_set(chunkable_ops, a[0]);
    if (member < 0) return nullptr;
    return kn::boolean(member);
}

// ---------------------------------------------------------------- Scores

constexpr kn::Signature<4> kScoreGpuSuitabilitySig{
    "score_gpu_suitability",
    {"data_size_bytes", "operation_type", "available_gpu_memory", "headroom_ratio"},
    4};

PyObject* score_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kScoreGpuSuitabilitySig, args, nargs, kwnames, a)) return nullptr;
    uint64_t data_size, available;
    double ratio;
    if (!kn::to_uint64(a[0], &data_size) ||
        !kn::check_exact(a[1], &PyUnicode_Type, "operation_type") ||
        !kn::to_uint64(a[2], &available) || !kn::to_double(a[3], &ratio))
        return nullptr;

    const uint64_t safe = safe_limit(available, ratio);
    double memory_score = 0.0;
    if (safe != 0) {
        const double s = static_cast<double>(safe), d = static_cast<double>(data_size);
        if (safe < data_size)
            memory_score = s / d;
        else
            memory_score = std::fmin(d / (s * 0.8), 1.0);
    }
    double factor = 0.5;
    int member = in_set(chunkable_ops, a[1]);
    if (member < 0) return nullptr;
    if (member) {
        factor = 0.9;
    } else {
        member = in_set(non_chunkable_ops, a[1]);
        if (member < 0) return nullptr;
        if (member) factor = 0.7;
    }
    return PyFloat_FromDouble(memory_score * factor);
}

constexpr kn::Signature<2> kCalculateMemoryPressureSig{
    "calculate_memory_pressure", {"used_bytes", "total_bytes"}, 2};

PyObject* calculate_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kCalculateMemoryPressureSig, args, nargs, kwnames, a)) return nullptr;
    uint64_t used, total;
    if (!kn::to_uint64(a[0], &used) || !kn::to_uint64(a[1], &total)) return nullptr;
    if (total == 0) return PyFloat_FromDouble(1.0);
    const double p = static_cast<double>(used) / static_cast<double>(total);
    return PyFloat_FromDouble(p < 1.0 ? p : 1.0);
}

constexpr kn::Signature<2> kRecommendHeadroomSig{
    "recommend_headroom", {"current_pressure", "base_headroom"}, 1};

PyObject* recommend_headroom(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kRecommendHeadroomSig, args, nargs, kwnames, a)) return nullptr;
    double p, h = 0.5;
    if (!kn::to_double(a[0], &p) || (a[1] && !kn::to_double(a[1], &h))) return nullptr;

    if (p > 0.8) {
        h = 0.8;
    } else if (p > 0.6) {
        h = h + (p - 0.5) * 0.5;
    } else if (p <= 0.3) {
        h -= 0.1;
        if (h < 0.3) h = 0.3;
    }
    if (h > 0.8) h = 0.8;
    if (h < 0.3) h = 0.3;
    return PyFloat_FromDouble(h);
}

// ---------------------------------------------------------------- Module

PyMethodDef methods[] = {
    kn::def<estimate_allocation_bytes>(
        "estimate_allocation_bytes",
        "estimate_allocation_bytes($module, /, shape, element_size, overhead_factor=1.0)\n--\n\n"
        "Bytes an array of `shape` needs at `element_size` bytes per element, enlarged by\n"
        "`overhead_factor` when it is above 1.0.  The element count times the size is capped\n"
        "at 2**63 - 1; the overhead can raise the result up to 2**64 - 1 (an infinite or\n"
        "huge factor gives 2**64 - 1)."),
    kn::def<calculate_safe_limit>(
        "calculate_safe_limit",
        "calculate_safe_limit($module, /, available_bytes, headroom_ratio)\n--\n\n"
        "Bytes of `available_bytes` usable when `headroom_ratio` (clamped to [0, 0.99])\n"
        "is kept free."),
    kn::def<decide_allocation_strategy>(
        "decide_allocation_strategy",
        "decide_allocation_strategy($module, /, requested_bytes, available_bytes, headroom_ratio,\n"
        "                           is_chunkable)\n--\n\n"
        "(strategy, chunk_bytes, num_chunks, message): 0 runs on the GPU in one pass,\n"
        "1 in `num_chunks` passes of `chunk_bytes`, 2 on the CPU."),
    kn::def<compute_chunk_shapes>(
        "compute_chunk_shapes",
        "compute_chunk_shapes($module, /, shape, element_size, max_chunk_bytes)\n--\n\n"
        "Splits the first dimension of `shape` into chunks of at most `max_chunk_bytes`\n"
        "(at least one row each); a list of chunk shapes."),
    kn::def<calculate_optimal_chunks>(
        "calculate_optimal_chunks",
        "calculate_optimal_chunks($module, /, total_bytes, available_bytes, headroom_ratio,\n"
        "                         min_chunks=1, max_chunks=1000)\n--\n\n"
        "Number of chunks for `total_bytes` within the safe limit, between `min_chunks`\n"
        "and `max_chunks`."),
    kn::def<is_oom_error>(
        "is_oom_error",
        "is_oom_error($module, /, error_message, error_type)\n--\n\n"
        "Whether an error's message or type name says the GPU ran out of memory."),
    kn::def<is_chunkable_operation>(
        "is_chunkable_operation",
        "is_chunkable_operation($module, /, operation)\n--\n\n"
        "Whether the named array operation can be produced in independent chunks."),
    kn::def<score_gpu_suitability>(
        "score_gpu_suitability",
        "score_gpu_suitability($module, /, data_size_bytes, operation_type, available_gpu_memory,\n"
        "                      headroom_ratio)\n--\n\n"
        "How well an operation on `data_size_bytes` suits the GPU, in [0.0, 0.9]."),
    kn::def<calculate_memory_pressure>(
        "calculate_memory_pressure",
        "calculate_memory_pressure($module, /, used_bytes, total_bytes)\n--\n\n"
        "Used share of the memory, at most 1.0; 1.0 when `total_bytes` is 0."),
    kn::def<recommend_headroom>(
        "recommend_headroom",
        "recommend_headroom($module, /, current_pressure, base_headroom=0.5)\n--\n\n"
        "Headroom ratio to keep free at `current_pressure`, in [0.3, 0.8]."),
    kn::kEndOfMethods,
};

PyObject* make_set(std::initializer_list<const char*> names) {
    kn::Ref set = kn::Ref::steal(PySet_New(nullptr));
    if (!set) return nullptr;
    for (const char* name : names) {
        kn::Ref s = kn::Ref::steal(PyUnicode_InternFromString(name));
        if (!s || PySet_Add(set.get(), s.get()) < 0) return nullptr;
    }
    return set.release();
}

int cardmem_exec(PyObject* module) {
    const bool state_ready =
        kn::create_once(
            chunkable_ops,
            [] {
                return make_set({"zeros", "ones", "empty", "full", "random.randn", "random.rand",
                                 "random.random", "random.standard_normal", "random.uniform",
                                 "arange", "linspace"});
            }) &&
        kn::create_once(non_chunkable_ops,
                        [] {
                            return make_set({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd",
                                             "eig", "eigvals", "solve", "inv", "sort", "argsort"});
                        }) &&
        kn::create_once(
            fits_decision,
            [] { return Py_BuildValue("(iiis)", 0, 0, 1, "Allocation fits in GPU memory"); }) &&
        kn::create_once(
            no_memory_decision,
            [] { return Py_BuildValue("(iiis)", 2, 0, 1, "No GPU memory available"); }) &&
        kn::create_once(not_chunkable_decision, [] {
            return Py_BuildValue("(iiis)", 2, 0, 1, "Operation not chunkable, falling back to CPU");
        });
    if (!state_ready || !kn::add_functions(module, methods) ||
        !kn::frame_finish(frame, module, "GPU memory algorithms loaded (native)"))
        return -1;
    return 0;
}

}  // namespace

KN_DEFINE_MODULE(cardmem, frame,
                 "GPU memory algorithms: allocation estimates, safe limits, allocation strategy,\n"
                 "chunk plans, out-of-memory classification, suitability and memory pressure.",
                 cardmem_exec)
