// kestrun.memory.slabkit: what the module's source files share.
//
//   module.cpp   set-up, module globals, the CRC-16 table
//   header.cpp   FastSlabHeaderOps: the 16-byte slab header and its bitmap
//   buckets.cpp  FastBucketAllocator and FastStatsCollector
//   helpers.cpp  the alignment, bucket-size and bitmap functions
#pragma once

#include "kestrun_native.hpp"
#include "pylock.hpp"

#include <cstddef>
#include <cstdint>

namespace slabkit {

extern kn::ModuleFrame frame;

// The module's globals (`threading`, `logger`), looked up when used.
extern kn::ModuleGlobals globals;

// ---------------------------------------------------------------- CRC-16/MODBUS

// Fills the byte table once; called by the module set-up before any type
// or function that reads it is published.
void init_crc16_table() noexcept;

// CRC-16/MODBUS (reflected polynomial 0xA001, initial value 0xFFFF, no final
// XOR) of `n` bytes.
uint16_t crc16_modbus(const uint8_t* data, std::size_t n) noexcept;

// ---------------------------------------------------------------- 32-bit arithmetic

// The size and offset arithmetic is signed 32-bit.  Every quantity is worked
// out exactly in 64 bits and must fit back into 32; one that does not raises
// OverflowError naming `where` instead of wrapping or being undefined.
inline bool fits_int32(int64_t v) noexcept { return v >= INT32_MIN && v <= INT32_MAX; }

inline bool overflow32(const char* where) {
    PyErr_Format(PyExc_OverflowError, "%s: arithmetic overflows a signed 32-bit int", where);
    return false;
}

// ((size + step - 1) / step) * step, the division truncating toward zero.
// A zero step raises ValueError "<step_name> must not be zero".
bool round_up_to_step(int32_t size, int32_t step, const char* step_name, const char* where,
                      int32_t* out);

// Every function that takes an alignment accepts only a positive power of
// two: with zero, a negative or any other value the mask arithmetic gives
// an "aligned" offset that is not on a boundary, or lies before the block.
// ValueError "Alignment must be a power of 2" otherwise.
inline bool check_alignment(int32_t alignment) {
    if (alignment > 0 && (alignment & (alignment - 1)) == 0) return true;
    PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
    return false;
}

// (offset + alignment - 1) AND (-alignment): the first address at or above
// `offset` on an `alignment` boundary (a checked alignment).  False,
// with no exception set, when a step leaves the 32-bit range.
inline bool align_offset(int32_t offset, int32_t alignment, int32_t* out) noexcept {
    const int64_t sum = int64_t{offset} + alignment - 1;
    const int64_t mask = -int64_t{alignment};  // -INT32_MIN does not fit
    if (!fits_int32(sum) || !fits_int32(mask)) return false;
    // Both fit in 32 bits, so the 64-bit AND equals the 32-bit one.
    *out = static_cast<int32_t>(sum & mask);
    return true;
}

// Whether `need` bytes at `alignment` fit in the block [offset, offset +
// block_size): aligned offset + need <= offset + block_size, an exact fit
// included.  -1 when a step leaves the 32-bit range.
inline int fits_aligned(int64_t offset, int64_t block_size, int32_t need,
                        int32_t alignment) noexcept {
    int32_t aligned;
    if (!fits_int32(offset) || !align_offset(static_cast<int32_t>(offset), alignment, &aligned))
        return -1;
    const int64_t end = offset + block_size;
    const int64_t used_end = int64_t{aligned} + need;
    if (!fits_int32(end) || !fits_int32(used_end)) return -1;
    return used_end <= end ? 1 : 0;
}

// ---------------------------------------------------------------- types and functions

extern PyTypeObject SlabHeaderType;
extern PyTypeObject BucketAllocatorType;
extern PyTypeObject StatsCollectorType;

// Each type's set-up, run once per process (kn::ready_type_once).
bool ready_header_type();
bool ready_bucket_allocator_type();
bool ready_stats_collector_type();

// The module-level functions, published at the end of the set-up.
extern PyMethodDef helper_methods[];

}  // namespace slabkit
