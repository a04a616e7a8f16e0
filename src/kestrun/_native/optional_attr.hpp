// An attribute that may be missing, as hasattr()/getattr(obj, name, default)
// see it: only AttributeError counts as "missing"; any other error raised
// while looking the attribute up propagates.
#pragma once

#include "ref.hpp"

namespace kn {

// 1 with a new reference in *out, 0 (and *out empty) when the attribute is
// missing, -1 with an exception set.
inline int optional_attr(PyObject* o, PyObject* name, Ref* out) {
    PyObject* v = nullptr;
    const int found = PyObject_GetOptionalAttr(o, name, &v);  // compat.hpp below 3.13
    *out = Ref::steal(v);
    return found;
}

inline int optional_attr(PyObject* o, const char* name, Ref* out) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) {
        *out = Ref();
        return -1;
    }
    return optional_attr(o, key.get(), out);
}

}  // namespace kn
