#pragma once
// Binding helpers shared by the extension modules: integer conversion with the interpreter's
// own messages, raising arbitrary Python exception types, and reading qubit lists.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <vector>

namespace couplize::py {

namespace nb = nanobind;

// Raises `type` (e.g. PyExc_OverflowError) with `message` through nanobind's error path.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// Python integer (or an object with __index__, such as a numpy integer) to a 64-bit value;
// floats and other non-integers raise TypeError "an integer is required".
inline long long to_long_long(nb::handle value, bool* overflow_positive = nullptr) {
    PyObject* obj = value.ptr();
    if (!PyLong_Check(obj)) {
        if (PyFloat_Check(obj) || !PyIndex_Check(obj))
            raise(PyExc_TypeError, "an integer is required");
        nb::object index = nb::steal(PyNumber_Index(obj));
        if (!index.is_valid()) throw nb::python_error();
        return to_long_long(index, overflow_positive);
    }
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow_positive) *overflow_positive = overflow > 0;
    if (overflow < 0) return -1;
    return overflow > 0 ? 0 : result;
}

// The one conversion of every qubit index, size and count crossing into native code.
inline std::uint32_t to_uint32(nb::handle value) {
    bool too_large = false;
    const long long result = to_long_long(value, &too_large);
    if (too_large || result > 4294967295LL)
        raise(PyExc_OverflowError, "value too large to convert to unsigned int");
    if (result < 0) raise(PyExc_OverflowError, "can't convert negative value to unsigned int");
    return static_cast<std::uint32_t>(result);
}

inline std::int32_t to_int32(nb::handle value) {
    bool too_large = false;
    const long long result = to_long_long(value, &too_large);
    if (too_large || result > INT32_MAX || result < INT32_MIN) {
        if (result < INT32_MIN) raise(PyExc_OverflowError, "value too small to convert to int");
        raise(PyExc_OverflowError, "value too large to convert to int");
    }
    return static_cast<std::int32_t>(result);
}

// A Python sequence of integers (e.g. an op's `qbits`) as native indices.
inline void to_uint32_list(nb::handle sequence, std::vector<std::uint32_t>& out) {
    out.clear();
    if (sequence.is_none()) return;
    PyObject* fast = PySequence_Fast(sequence.ptr(), "expected a sequence of integers");
    if (!fast) throw nb::python_error();
    nb::object owner = nb::steal(fast);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast);
    PyObject** items = PySequence_Fast_ITEMS(fast);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) out.push_back(to_uint32(items[k]));
}

inline std::vector<std::uint32_t> to_uint32_list(nb::handle sequence) {
    std::vector<std::uint32_t> out;
    to_uint32_list(sequence, out);
    return out;
}

// Python list of ints from native indices.
inline nb::list to_int_list(const std::vector<std::uint32_t>& values) {
    nb::list result;
    for (std::uint32_t v : values) result.append(nb::int_(v));
    return result;
}

}  // namespace couplize::py

namespace couplize::py {

// Full dotted name of a Python type, e.g. "mirel.couplize.swapcore.QubitGraph".
inline std::string qualified_type_name(nb::handle type) {
    nb::object module = nb::getattr(type, "__module__", nb::none());
    std::string name = nb::cast<std::string>(nb::getattr(type, "__qualname__"));
    if (module.is_none() || nb::cast<std::string>(nb::str(module)) == "builtins") return name;
    return nb::cast<std::string>(nb::str(module)) + "." + name;
}

// Rejects an argument of the wrong type with the interpreter's usual wording:
// "Argument 'graph' has incorrect type (expected X, got Y)".
inline void check_arg_type(nb::handle value, nb::handle type, const char* name,
                           bool allow_none = false) {
    if (allow_none && value.is_none()) return;
    const int ok = PyObject_IsInstance(value.ptr(), type.ptr());
    if (ok < 0) throw nb::python_error();
    if (ok == 0)
        raise(PyExc_TypeError, std::string("Argument '") + name +
                                   "' has incorrect type (expected " + qualified_type_name(type) +
                                   ", got " + Py_TYPE(value.ptr())->tp_name + ")");
}

}  // namespace couplize::py
