// Argument binding for METH_FASTCALL | METH_KEYWORDS functions.
//
// A Signature names the parameters in order; the first `required` of them
// must be given.  bind() fills one borrowed reference per parameter (nullptr
// for an optional parameter that was not passed) and raises the usual Python
// TypeErrors for too many, missing, unexpected or repeated arguments.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace kn {

template <std::size_t N>
struct Signature {
    const char* name;  // function name as shown in messages
    std::array<const char*, N> params;
    std::size_t required;
};

namespace detail {

inline std::string quoted_list(const char* const* names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += (i + 1 == n) ? (n > 2 ? ", and " : " and ") : ", ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

inline bool keyword_is(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// The general path: keywords present or a positional count out of range.
inline bool bind_slow(const char* fname, const char* const* params, std::size_t n,
                      std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out) {
    if (static_cast<std::size_t>(nargs) > n) {
        if (required == n) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                         fname, n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zu positional arguments but %zd %s given", fname,
                         required, n, nargs, nargs == 1 ? "was" : "were");
        }
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t i = 0;
            while (i < n && !keyword_is(key, params[i]))
                ++i;
            if (i == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname,
                             key);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                             params[i]);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    const char* missing[32];
    std::size_t nmissing = 0;
    for (std::size_t i = 0; i < required && nmissing < 32; ++i)
        if (!out[i]) missing[nmissing++] = params[i];
    if (nmissing) {
        std::string names = quoted_list(missing, nmissing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", fname,
                     nmissing, nmissing == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

}  // namespace detail

// Binds positional and keyword arguments; returns false with a TypeError set.
template <std::size_t N>
inline bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, std::array<PyObject*, N>& out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames && static_cast<std::size_t>(nargs) >= sig.required &&
        static_cast<std::size_t>(nargs) <= N) {
        for (std::size_t i = 0; i < N; ++i)
            out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
        return true;
    }
    return detail::bind_slow(sig.name, sig.params.data(), N, sig.required, args, nargs, kwnames,
                             out.data());
}

// The same for a (tuple, dict) call such as tp_new: keyword values are
// matched by name exactly as in the vectorcall form.
template <std::size_t N>
inline bool bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwds,
                       std::array<PyObject*, N>& out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return bind(sig, items, nargs, nullptr, out);
    Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i)
        stack[i] = items[i];
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k] = value;
        ++k;
    }
    return detail::bind_slow(sig.name, sig.params.data(), N, sig.required, stack.data(), nargs,
                             kwnames.get(), out.data());
}

}  // namespace kn
