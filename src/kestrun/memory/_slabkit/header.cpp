// FastSlabHeaderOps: one slab's header.  The slot operations are single
// 64-bit word bit operations that run no Python code; the header converts to
// and from its 16-byte little-endian byte form, whose bytes 6-7 hold the
// CRC-16/MODBUS of bytes 0-5.
//
// Each method reads and changes the fields in one critical section on the
// header (nothing without the interpreter lock, which keeps them whole
// already), so threads sharing a header see every change whole: no lost
// change count, no bitmap and flags from two different moments.
#include "slabkit.hpp"

#include <bit>
#include <cstdio>

namespace slabkit {

PyTypeObject SlabHeaderType;

namespace {

constexpr uint8_t SLAB_FLAG_IN_USE = 0x10;
constexpr uint8_t SLAB_FLAG_CORRUPT = 0x80;
constexpr Py_ssize_t kHeaderBytes = 16;

// In memory as in its byte form on a little-endian host; the byte form is
// always written and read byte by byte, so it is the same on any host.
struct __attribute__((packed)) SlabHeader {
    uint8_t size_class;
    uint8_t flags;
    uint32_t version;
    uint16_t checksum;
    uint64_t bitmap;
};
static_assert(sizeof(SlabHeader) == kHeaderBytes);

struct HeaderObject;

// The native operations, reached by the Python methods through this table.
struct HeaderOps {
    bool (*is_object_free)(const HeaderObject*, int32_t index);
    void (*allocate_object)(HeaderObject*, int32_t index);
    void (*deallocate_object)(HeaderObject*, int32_t index);
    int32_t (*find_free_object)(const HeaderObject*);
    uint16_t (*compute_checksum)(const HeaderObject*);
};

struct HeaderObject {
    PyObject_HEAD
    const HeaderOps* ops;
    SlabHeader header;
    int32_t objects_per_slab;
};

inline HeaderObject* header_of(PyObject* self) { return reinterpret_cast<HeaderObject*>(self); }

// ---------------------------------------------------------------- native operations

// The bit of slot `index`; 0 for an index outside 0..63, which therefore is
// never free and never changes a bit (and is never a shift by 64 or more).
inline uint64_t slot_bit(int32_t index) noexcept {
    return index >= 0 && index < 64 ? uint64_t{1} << index : 0;
}

// Every slot free: the low `objects` bits; all 64 from 64 slots up, none for
// zero or a negative count.
inline uint64_t all_free_mask(int32_t objects) noexcept {
    if (objects <= 0) return 0;
    if (objects >= 64) return ~uint64_t{0};
    return (uint64_t{1} << objects) - 1;
}

bool is_object_free(const HeaderObject* h, int32_t index) noexcept {
    return (h->header.bitmap & slot_bit(index)) != 0;
}

void allocate_object(HeaderObject* h, int32_t index) noexcept {
    h->header.bitmap = h->header.bitmap & ~slot_bit(index);
    h->header.flags = static_cast<uint8_t>(h->header.flags | SLAB_FLAG_IN_USE);
    h->header.version = h->header.version + 1;  // unsigned: wraps modulo 2**32
}

void deallocate_object(HeaderObject* h, int32_t index) noexcept {
    h->header.bitmap = h->header.bitmap | slot_bit(index);
    h->header.version = h->header.version + 1;
    if (h->header.bitmap == all_free_mask(h->objects_per_slab))
        h->header.flags = static_cast<uint8_t>(h->header.flags & ~SLAB_FLAG_IN_USE);
}

int32_t find_free_object(const HeaderObject* h) noexcept {
    const uint64_t bitmap = h->header.bitmap;
    return bitmap ? std::countr_zero(bitmap) : -1;
}

// Bytes 0-5 of the byte form: size class, flags, version (low byte first).
void checked_bytes(const SlabHeader& h, uint8_t out[6]) noexcept {
    out[0] = h.size_class;
    out[1] = h.flags;
    const uint32_t v = h.version;
    for (int i = 0; i < 4; ++i)
        out[2 + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t compute_checksum(const HeaderObject* h) noexcept {
    uint8_t bytes[6];
    checked_bytes(h->header, bytes);
    return crc16_modbus(bytes, sizeof bytes);
}

const HeaderOps header_ops = {is_object_free, allocate_object, deallocate_object, find_free_object,
                              compute_checksum};

// ---------------------------------------------------------------- construction

constexpr kn::Signature<2> kHeaderNewSig{
    "FastSlabHeaderOps", {"size_class_index", "objects_per_slab"}, 2};

PyObject* header_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 2> a;
    int32_t size_class, objects;
    if (!kn::bind_tuple(kHeaderNewSig, args, kwds, a) || !kn::to_int32(a[0], &size_class) ||
        !kn::to_int32(a[1], &objects))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    HeaderObject* h = header_of(self);
    h->ops = &header_ops;
    // The low 8 bits: the size class modulo 256.
    h->header.size_class = static_cast<uint8_t>(static_cast<uint32_t>(size_class) & 0xFFu);
    h->header.flags = 0;
    h->header.version = 0;
    h->header.checksum = 0;
    h->header.bitmap = all_free_mask(objects);
    h->objects_per_slab = objects;
    return self;
}

// ---------------------------------------------------------------- byte form

PyObject* header_pack(PyObject* self, PyObject*) {
    HeaderObject* h = header_of(self);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, kHeaderBytes);
    if (!out) return nullptr;
    kn::CriticalSection section(self);
    h->header.checksum = h->ops->compute_checksum(h);
    auto* p = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out));
    checked_bytes(h->header, p);
    const uint16_t crc = h->header.checksum;
    p[6] = static_cast<uint8_t>(crc);
    p[7] = static_cast<uint8_t>(crc >> 8);
    const uint64_t bitmap = h->header.bitmap;
    for (int i = 0; i < 8; ++i)
        p[8 + i] = static_cast<uint8_t>(bitmap >> (8 * i));
    return out;
}

// The corruption warning, logged through the module's `logger` as
// logger.warning(text).
bool log_corruption(uint16_t stored, uint16_t computed) {
    char text[80];
    std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x",
                  static_cast<unsigned>(stored), static_cast<unsigned>(computed));
    // Held: the call may drop the module's reference to the logger.
    kn::Ref logger = globals.get("logger");
    if (!logger) return false;
    kn::Ref done = kn::Ref::steal(PyObject_CallMethod(logger.get(), "warning", "s", text));
    return static_cast<bool>(done);
}

constexpr kn::Signature<1> kHeaderUnpackHeaderSig{"unpack_header", {"data"}, 1};

PyObject* header_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kHeaderUnpackHeaderSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    if (data == Py_None) return kn::none_has_no_len();
    if (!PyBytes_Check(data)) {
        kn::incorrect_type("data", "bytes", data);
        return nullptr;
    }
    // The stored length of the bytes themselves (a subclass's __len__ is not
    // consulted: these are the bytes that are read).
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n != kHeaderBytes) {
        PyErr_Format(PyExc_ValueError, "a slab header is %zd bytes long, got %zd bytes",
                     kHeaderBytes, n);
        return nullptr;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
    uint32_t version = 0;
    for (int i = 0; i < 4; ++i)
        version |= uint32_t{p[2 + i]} << (8 * i);
    const uint16_t stored = static_cast<uint16_t>(p[6] | (p[7] << 8));
    uint64_t bitmap = 0;
    for (int i = 0; i < 8; ++i)
        bitmap |= uint64_t{p[8 + i]} << (8 * i);

    // The stored checksum is compared, not kept: `checksum` changes only in
    // pack_header.
    HeaderObject* h = header_of(self);
    uint16_t computed;
    {
        kn::CriticalSection section(self);
        h->header.size_class = p[0];
        h->header.flags = p[1];
        h->header.version = version;
        h->header.bitmap = bitmap;
        computed = h->ops->compute_checksum(h);
        if (stored != computed)
            h->header.flags = static_cast<uint8_t>(h->header.flags | SLAB_FLAG_CORRUPT);
    }
    // Logged after the section: the logger runs Python code.
    if (stored != computed && !log_corruption(stored, computed)) return nullptr;
    return kn::none();
}

// ---------------------------------------------------------------- slots

constexpr kn::Signature<1> kHeaderPyIsObjectFreeSig{"py_is_object_free", {"object_index"}, 1};

PyObject* header_is_object_free(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int32_t index;
    if (!kn::bind(kHeaderPyIsObjectFreeSig, args, nargs, kwnames, a) || !kn::to_int32(a[0], &index))
        return nullptr;
    HeaderObject* h = header_of(self);
    bool free;
    {
        kn::CriticalSection section(self);
        free = h->ops->is_object_free(h, index);
    }
    return kn::boolean(free);
}

PyObject* header_find_free_object(PyObject* self, PyObject*) {
    HeaderObject* h = header_of(self);
    int32_t index;
    {
        kn::CriticalSection section(self);
        index = h->ops->find_free_object(h);
    }
    return PyLong_FromLong(index);
}

constexpr kn::Signature<1> kHeaderPyAllocateObjectAtSig{
    "py_allocate_object_at", {"object_index"}, 1};

PyObject* header_allocate_object_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int32_t index;
    if (!kn::bind(kHeaderPyAllocateObjectAtSig, args, nargs, kwnames, a) ||
        !kn::to_int32(a[0], &index))
        return nullptr;
    HeaderObject* h = header_of(self);
    kn::CriticalSection section(self);
    h->ops->allocate_object(h, index);
    return kn::none();
}

constexpr kn::Signature<1> kHeaderPyDeallocateObjectAtSig{
    "py_deallocate_object_at", {"object_index"}, 1};

PyObject* header_deallocate_object_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int32_t index;
    if (!kn::bind(kHeaderPyDeallocateObjectAtSig, args, nargs, kwnames, a) ||
        !kn::to_int32(a[0], &index))
        return nullptr;
    HeaderObject* h = header_of(self);
    kn::CriticalSection section(self);
    h->ops->deallocate_object(h, index);
    return kn::none();
}

PyMethodDef header_methods[] = {
    KN_NO_PICKLE,
    kn::def<header_pack>("pack_header",
                         "pack_header($self, /)\n--\n\n"
                         "Refreshes the checksum and returns the header's 16-byte form."),
    kn::def<header_unpack>(
        "unpack_header",
        "unpack_header($self, /, data)\n--\n\n"
        "Replaces the header from its 16-byte form; a checksum mismatch sets the corrupt\n"
        "flag (0x80) and logs a warning."),
    kn::def<header_is_object_free>("py_is_object_free",
                                   "py_is_object_free($self, /, object_index)\n--\n\n"
                                   "Whether slot `object_index` (0 to 63) is free."),
    kn::def<header_find_free_object>("py_find_free_object",
                                     "py_find_free_object($self, /)\n--\n\n"
                                     "The lowest free slot, or -1 when none is free."),
    kn::def<header_allocate_object_at>(
        "py_allocate_object_at",
        "py_allocate_object_at($self, /, object_index)\n--\n\n"
        "Marks slot `object_index` allocated, sets the in-use flag and counts a change."),
    kn::def<header_deallocate_object_at>(
        "py_deallocate_object_at",
        "py_deallocate_object_at($self, /, object_index)\n--\n\n"
        "Marks slot `object_index` free and counts a change; the in-use flag clears when\n"
        "every slot is free again."),
    kn::kEndOfMethods,
};

}  // namespace

bool ready_header_type() {
    return kn::ready_type_once(SlabHeaderType, [](PyTypeObject& t) {
        t = kn::static_type<header_new>(
            "kestrun.memory.slabkit.FastSlabHeaderOps", sizeof(HeaderObject),
            "FastSlabHeaderOps(size_class_index, objects_per_slab)\n--\n\n"
            "One slab's 16-byte header: size class, flags, change counter, CRC-16 and the\n"
            "bitmap of free object slots (bit i set: slot i is free).",
            header_methods, false);
    });
}

}  // namespace slabkit
