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

// Python integer (or an object with __index__, such as a numpy integer) as an exact Python int;
// floats and other non-integers raise TypeError "an integer is required".
inline nb::object to_exact_int(nb::handle value) {
    PyObject* obj = value.ptr();
    if (PyLong_Check(obj)) return nb::borrow(value);
    if (PyFloat_Check(obj) || !PyIndex_Check(obj)) raise(PyExc_TypeError, "an integer is required");
    nb::object index = nb::steal(PyNumber_Index(obj));
    if (!index.is_valid()) throw nb::python_error();
    return index;
}

// The one strict reading of an integer: its value when it fits a long long, else `overflow` is
// the sign of the out-of-range value (never a silent 0 or -1).
inline long long read_integer(nb::handle value, int& overflow) {
    nb::object exact = to_exact_int(value);
    overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(exact.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

// Signed 64-bit value; out of range raises OverflowError with the interpreter's message.
inline long long to_long_long(nb::handle value) {
    int overflow = 0;
    const long long result = read_integer(value, overflow);
    if (overflow != 0) raise(PyExc_OverflowError, "Python int too large to convert to C long long");
    return result;
}

// The one conversion of every qubit index, size and count crossing into native code.
inline std::uint32_t to_uint32(nb::handle value) {
    int overflow = 0;
    const long long result = read_integer(value, overflow);
    if (overflow < 0 || (overflow == 0 && result < 0))
        raise(PyExc_OverflowError, "can't convert negative value to unsigned int");
    if (overflow > 0 || result > 4294967295LL)
        raise(PyExc_OverflowError, "value too large to convert to unsigned int");
    return static_cast<std::uint32_t>(result);
}

inline std::int32_t to_int32(nb::handle value) {
    int overflow = 0;
    const long long result = read_integer(value, overflow);
    if (overflow < 0 || (overflow == 0 && result < INT32_MIN))
        raise(PyExc_OverflowError, "value too small to convert to int");
    if (overflow > 0 || result > INT32_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<std::int32_t>(result);
}

// Truth value that lets the object's own exception through (a failing __bool__, or numpy's
// ValueError for the truth value of an array) instead of leaving it pending.
inline bool to_bool(nb::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

// isinstance() that reports a failing check (e.g. a raising __class__) as the exception it is.
inline bool is_instance(nb::handle value, nb::handle type) {
    const int ok = PyObject_IsInstance(value.ptr(), type.ptr());
    if (ok < 0) throw nb::python_error();
    return ok == 1;
}

// The one reading of an ordered container (operations of a circuit, qubits, remaps, initial
// orders): a list, a tuple, a numpy array or another sequence, copied into a tuple the caller
// owns, so Python code that runs later (an __index__, a metric, a copy method) cannot change
// or free what is being read. Unordered containers (set, dict) and byte or text strings are
// refused with TypeError: their order or their items are not the caller's intent.
inline nb::tuple to_owned_sequence(nb::handle value, const char* what) {
    PyObject* obj = value.ptr();
    const bool refused = PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
                         PyMemoryView_Check(obj) || PyDict_Check(obj) || PyAnySet_Check(obj);
    if (refused || !PySequence_Check(obj))
        raise(PyExc_TypeError, std::string(what) +
                                   " must be an ordered sequence (list, tuple, array), not " +
                                   Py_TYPE(obj)->tp_name);
    PyObject* tuple = PySequence_Tuple(obj);
    if (!tuple) throw nb::python_error();
    return nb::steal<nb::tuple>(tuple);
}

// Reads a list or tuple (exactly those types) of exact ints in 0..2^32-1 into `out` without
// copying it first: nothing there can run Python code. False, with `out` unspecified, for any
// other container or item, which the general path below then reads (and reports) as usual.
inline bool read_plain_uint32s(PyObject* obj, std::vector<std::uint32_t>& out) {
    PyObject** items;
    Py_ssize_t size;
    if (PyList_CheckExact(obj)) {
        items = PySequence_Fast_ITEMS(obj);
        size = PyList_GET_SIZE(obj);
    } else if (PyTuple_CheckExact(obj)) {
        items = PySequence_Fast_ITEMS(obj);
        size = PyTuple_GET_SIZE(obj);
    } else {
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject* item = items[k];
        if (!PyLong_CheckExact(item)) return false;
        const unsigned long value = PyLong_AsUnsignedLong(item);
        if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();  // negative or too large: the general path raises the usual message
            return false;
        }
        if (value > 4294967295UL) return false;
        out[static_cast<std::size_t>(k)] = static_cast<std::uint32_t>(value);
    }
    return true;
}

// A sequence of integers (e.g. an op's `qbits`) as native indices; None reads as empty.
inline void to_uint32_list(nb::handle sequence, std::vector<std::uint32_t>& out,
                           const char* what = "A list of qubit indices") {
    out.clear();
    if (sequence.is_none()) return;
    if (read_plain_uint32s(sequence.ptr(), out)) return;
    out.clear();
    nb::tuple items = to_owned_sequence(sequence, what);
    const Py_ssize_t size = PyTuple_GET_SIZE(items.ptr());
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k)
        out.push_back(to_uint32(PyTuple_GET_ITEM(items.ptr(), k)));
}

inline std::vector<std::uint32_t> to_uint32_list(nb::handle sequence,
                                                 const char* what = "A list of qubit indices") {
    std::vector<std::uint32_t> out;
    to_uint32_list(sequence, out, what);
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
    if (!is_instance(value, type))
        raise(PyExc_TypeError, std::string("Argument '") + name +
                                   "' has incorrect type (expected " + qualified_type_name(type) +
                                   ", got " + Py_TYPE(value.ptr())->tp_name + ")");
}

// The native object behind an instance of the bound class T: TypeError, naming the argument,
// for another type or for an instance of a subclass whose __init__ never built the native part.
template <class T>
T& native_ref(nb::handle value, const char* name) {
    check_arg_type(value, nb::type<T>(), name);
    if (!nb::inst_ready(value))
        raise(PyExc_TypeError, std::string("Argument '") + name + "' is a " +
                                   Py_TYPE(value.ptr())->tp_name +
                                   " whose __init__ did not initialise its base " +
                                   qualified_type_name(nb::type<T>()));
    return *nb::inst_ptr<T>(value);
}

// Marks an engine busy for the length of one call. Engines call back into Python (metrics,
// copy methods, __index__), and that code may call the same engine again, or another thread may
// while the GIL is released; the engine's state is not built for that, so such a call is refused.
class BusyGuard {
public:
    BusyGuard(bool& busy, const char* engine) : busy_(busy) {
        if (busy_) raise_busy(engine);
        busy_ = true;
    }

    // The RuntimeError of a call refused because the engine is running one.
    [[noreturn]] static void raise_busy(const char* engine) {
        raise(PyExc_RuntimeError,
              std::string("This ") + engine +
                  " is already running a call (re-entered from a metric, a copy method or "
                  "another thread); use a separate engine for nested or parallel work");
    }

    ~BusyGuard() { busy_ = false; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    bool& busy_;
};

}  // namespace couplize::py
