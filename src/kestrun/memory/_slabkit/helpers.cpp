// The module-level helpers: alignment and bucket-size arithmetic (signed
// 32-bit, checked) and single-word operations on a 64-bit slot bitmap.
#include "slabkit.hpp"

#include <bit>
#include <string_view>

namespace slabkit {

namespace {

// ---------------------------------------------------------------- Sizes and alignment

constexpr kn::Signature<2> kFastAlignSizeSig{"fast_align_size", {"size", "alignment"}, 2};

PyObject* fast_align_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    int32_t size, alignment;
    if (!kn::bind(kFastAlignSizeSig, args, nargs, kwnames, a) || !kn::to_int32(a[0], &size) ||
        !kn::to_int32(a[1], &alignment) || !check_alignment(alignment))
        return nullptr;
    const int64_t sum = int64_t{size} + alignment - 1;
    if (!fits_int32(sum)) {
        overflow32("fast_align_size");
        return nullptr;
    }
    // A sum in the 32-bit range stays in it when its low bits are cleared.
    return PyLong_FromLong(static_cast<long>(sum & ~int64_t{alignment - 1}));
}

constexpr kn::Signature<2> kFastGetBucketSizeSig{"fast_get_bucket_size", {"size", "step"}, 1};

PyObject* fast_get_bucket_size(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    int32_t size, step = 8, rounded;
    if (!kn::bind(kFastGetBucketSizeSig, args, nargs, kwnames, a) || !kn::to_int32(a[0], &size) ||
        (a[1] && !kn::to_int32(a[1], &step)) ||
        !round_up_to_step(size, step, "step", "fast_get_bucket_size", &rounded))
        return nullptr;
    return PyLong_FromLong(rounded);
}

constexpr kn::Signature<4> kFastCanFitAlignedSig{
    "fast_can_fit_aligned", {"block_offset", "block_size", "alloc_size", "alignment"}, 4};

PyObject* fast_can_fit_aligned(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    int32_t offset, block_size, alloc_size, alignment;
    if (!kn::bind(kFastCanFitAlignedSig, args, nargs, kwnames, a) || !kn::to_int32(a[0], &offset) ||
        !kn::to_int32(a[1], &block_size) || !kn::to_int32(a[2], &alloc_size) ||
        !kn::to_int32(a[3], &alignment) || !check_alignment(alignment))
        return nullptr;
    // An allocation that ends exactly at the end of the block fits.
    const int fit = fits_aligned(offset, block_size, alloc_size, alignment);
    if (fit < 0) {
        overflow32("fast_can_fit_aligned");
        return nullptr;
    }
    return kn::boolean(fit);
}

// ---------------------------------------------------------------- Bitmaps

enum class BitmapOp { IsSet, Set, Clear, FindFirst, Unknown };

// The operation a name selects, compared in the order of the table.
BitmapOp bitmap_op(PyObject* name) {
    if (name == Py_None || !PyUnicode_IS_ASCII(name)) return BitmapOp::Unknown;
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(name)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)));
    if (text == "is_set") return BitmapOp::IsSet;
    if (text == "set") return BitmapOp::Set;
    if (text == "clear") return BitmapOp::Clear;
    if (text == "find_first") return BitmapOp::FindFirst;
    return BitmapOp::Unknown;
}

// Bit `index`; 0 outside 0..63 (no shift by 64 or more, none by a negative
// count), so such an index is never set and changes nothing.
inline uint64_t bit_at(int32_t index) {
    return index >= 0 && index < 64 ? uint64_t{1} << index : 0;
}

constexpr kn::Signature<3> kFastBitmapOperationsSig{
    "fast_bitmap_operations", {"bitmap", "index", "operation"}, 3};

PyObject* fast_bitmap_operations(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    uint64_t bitmap;
    int32_t index;
    if (!kn::bind(kFastBitmapOperationsSig, args, nargs, kwnames, a) ||
        !kn::to_uint64(a[0], &bitmap) || !kn::to_int32(a[1], &index) ||
        !kn::check_exact(a[2], &PyUnicode_Type, "operation"))
        return nullptr;
    switch (bitmap_op(a[2])) {
    case BitmapOp::IsSet:
        return kn::boolean((bitmap & bit_at(index)) != 0);
    case BitmapOp::Set:
        return PyLong_FromUnsignedLongLong(bitmap | bit_at(index));
    case BitmapOp::Clear:
        return PyLong_FromUnsignedLongLong(bitmap & ~bit_at(index));
    case BitmapOp::FindFirst:
        return PyLong_FromLong(bitmap ? std::countr_zero(bitmap) : -1);
    case BitmapOp::Unknown:
        break;
    }
    if (a[2] == Py_None)
        PyErr_SetString(PyExc_ValueError, "Unknown operation: None");
    else
        PyErr_Format(PyExc_ValueError, "Unknown operation: %U", a[2]);
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- Method table

PyMethodDef helper_methods[] = {
    kn::def<fast_align_size>("fast_align_size",
                             "fast_align_size($module, /, size, alignment)\n--\n\n"
                             "`size` rounded up to a multiple of `alignment`, a power of 2."),
    kn::def<fast_get_bucket_size>(
        "fast_get_bucket_size",
        "fast_get_bucket_size($module, /, size, step=8)\n--\n\n"
        "((size + step - 1) // step) * step, the division truncating toward zero."),
    kn::def<fast_bitmap_operations>(
        "fast_bitmap_operations",
        "fast_bitmap_operations($module, /, bitmap, index, operation)\n--\n\n"
        "One operation on a 64-bit bitmap: \"is_set\" (bool), \"set\" or \"clear\" (the new\n"
        "bitmap) bit `index`, or \"find_first\" (the lowest set bit, -1 for none)."),
    kn::def<fast_can_fit_aligned>(
        "fast_can_fit_aligned",
        "fast_can_fit_aligned($module, /, block_offset, block_size, alloc_size, alignment)\n"
        "--\n\n"
        "Whether `alloc_size` bytes placed at the first `alignment` boundary at or after\n"
        "`block_offset` end within the block (an exact fit counts); `alignment` is a\n"
        "power of 2."),
    kn::kEndOfMethods,
};

}  // namespace slabkit
