// Conversions from Python arguments to native values, each with the exact
// error texts callers see.  Every function returns false (or an empty Ref)
// with a Python exception set on failure.
#pragma once

#include "ref.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace kn {

// "Argument 'x' has incorrect type (expected int, got str)".
inline void incorrect_type(const char* argname, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(got)->tp_name);
}

// The TypeError `len(None)` gives, for a None argument whose length is needed.
inline PyObject* none_has_no_len() {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return nullptr;
}

// The TypeError `str.lower(None)` gives, for a None text that must be lower-cased.
inline PyObject* none_has_no_lower() {
    PyErr_SetString(PyExc_TypeError,
                    "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
    return nullptr;
}

// Accepts an object of exactly `type` (a subclass is refused), or None when
// `allow_none` is set; anything else raises the incorrect-type TypeError.
inline bool check_exact(PyObject* o, PyTypeObject* type, const char* argname,
                        bool allow_none = true) {
    if (Py_IS_TYPE(o, type) || (allow_none && o == Py_None)) return true;
    incorrect_type(argname, type->tp_name, o);
    return false;
}

namespace detail {

inline bool has_int_conversion(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_int || nb->nb_index);
}

// Turns `o` into an int through its own integer conversion (__int__, else
// __index__), so 2.9 becomes 2.  Objects without one: "an integer is required".
inline Ref integer_of(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    if (!has_int_conversion(o)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    return Ref::steal(PyNumber_Long(o));
}

}  // namespace detail

// Signed 64-bit through the integer protocol; OverflowError out of range.
inline bool to_int64(PyObject* o, int64_t* out) {
    if (PyLong_CheckExact(o)) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) return false;
        *out = v;
        return true;
    }
    Ref n = detail::integer_of(o);
    if (!n) return false;
    long long v = PyLong_AsLongLong(n.get());
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// Signed 32-bit: "value too large to convert to int" outside the range.
inline bool to_int32(PyObject* o, int32_t* out) {
    Ref n = detail::integer_of(o);
    if (!n) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

// Unsigned 64-bit: "can't convert negative value to uint64_t" below zero.
inline bool to_uint64(PyObject* o, uint64_t* out) {
    Ref n = detail::integer_of(o);
    if (!n) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
        return false;
    }
    if (!overflow) {
        *out = static_cast<uint64_t>(v);
        return true;
    }
    unsigned long long u = PyLong_AsUnsignedLongLong(n.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint64_t");
        return false;
    }
    *out = u;
    return true;
}

// Unsigned 32-bit: "can't convert negative value to uint32_t" below zero,
// "value too large to convert to uint32_t" above 4294967295.
inline bool to_uint32(PyObject* o, uint32_t* out) {
    Ref n = detail::integer_of(o);
    if (!n) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint32_t");
        return false;
    }
    if (overflow || v > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// Sign of an int without overflow: -1, 0 or 1; -2 with an exception set.
inline int int_sign(PyObject* n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) return -2;
    if (overflow) return overflow;
    return (v > 0) - (v < 0);
}

// Double through the float protocol (__float__, else __index__).
inline bool to_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// Truth value, as `bool(o)`.
inline bool to_truth(PyObject* o, bool* out) {
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    *out = t != 0;
    return true;
}

// An argument annotated `int`: an exact int passes as it is, any other number
// goes through int() (2.9 -> 2, True -> 1), anything else raises the
// incorrect-type TypeError naming the argument.
inline Ref int_arg(PyObject* o, const char* argname) {
    if (PyLong_CheckExact(o)) return Ref::borrow(o);
    if (!detail::has_int_conversion(o)) {
        incorrect_type(argname, "int", o);
        return Ref();
    }
    return Ref::steal(PyNumber_Long(o));
}

// The same rule, then converted to signed 64-bit (OverflowError out of range).
inline bool int_arg_int64(PyObject* o, const char* argname, int64_t* out) {
    if (PyLong_CheckExact(o)) return to_int64(o, out);
    Ref n = int_arg(o, argname);
    return n && to_int64(n.get(), out);
}

// A double truncated toward zero into an integer type, saturating at the
// type's ends; NaN gives 0.  Never undefined, whatever the double holds.
template <typename Int>
inline Int saturate_cast(double d) noexcept {
    static_assert(std::is_integral_v<Int>);
    if (std::isnan(d)) return 0;
    // The bounds are exact powers of two, so these comparisons are exact.
    constexpr double lo = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double hi =
        std::is_signed_v<Int>
            ? -lo
            : 2.0 * (static_cast<double>(std::numeric_limits<Int>::max() / 2) + 1.0);
    if (d <= lo) return std::numeric_limits<Int>::min();
    if (d >= hi) return std::numeric_limits<Int>::max();
    return static_cast<Int>(d);
}

}  // namespace kn
