#pragma once
// Access to the host data model from native bindings: the classes are looked up once per
// process, and every engine builds its SWAP and REMAP operations through these helpers so the
// REMAP convention lives in one place.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "common/convert.hpp"

namespace couplize::py {

struct HostTypes {
    nb::object Circuit, Op, REMAP, GATETYPE, copy, deepcopy;
    nb::object circuit_fields;  // the names of a Circuit's own fields (a tuple of str)
    nb::object copy_value;      // the host's deep copy of one field value

    static const HostTypes& get() {
        static const HostTypes* types = [] {
            auto* t = new HostTypes();  // intentionally leaked: lives as long as the interpreter
            nb::module_ ttypes = nb::module_::import_("mirel.comm.datamodel.ttypes");
            nb::module_ copy_module = nb::module_::import_("copy");
            t->Circuit = ttypes.attr("Circuit");
            t->Op = ttypes.attr("Op");
            t->REMAP = ttypes.attr("OpType").attr("REMAP");
            t->GATETYPE = ttypes.attr("OpType").attr("GATETYPE");
            t->copy = copy_module.attr("copy");
            t->deepcopy = copy_module.attr("deepcopy");
            t->circuit_fields = nb::tuple(t->Circuit.attr("_fields"));
            t->copy_value = nb::module_::import_("mirel.comm.record").attr("copy_value");
            return t;
        }();
        return *types;
    }
};

// Pauses the cyclic garbage collector while a binding builds many acyclic host objects (the
// operations of a routed circuit): collections triggered by those allocations would otherwise
// walk every live object again and again. Restores the previous state when it goes out of scope.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

inline bool is_circuit(nb::handle obj) { return is_instance(obj, HostTypes::get().Circuit); }

inline bool is_op(nb::handle obj) { return is_instance(obj, HostTypes::get().Op); }

inline bool is_remap(nb::handle op) { return op.attr("type").equal(HostTypes::get().REMAP); }

// Asks the CPU to start loading an object that the caller reads a few iterations later: a
// routing reads and copies tens of thousands of operations that are no longer in cache, and
// waiting for each one in turn costs as much as the reading. Also loads the words just before
// the object, where the interpreter keeps a tracked object's collector header and instance
// dictionary pointer. A hint only: it never faults and never changes a result.
inline void prefetch_object(PyObject* obj) {
    const char* address = reinterpret_cast<const char*>(obj);
    __builtin_prefetch(address);
    __builtin_prefetch(address - 32);
}

// The circuit's operations, read once into a tuple the engine owns: later Python code (a
// metric, a copy method) may change or empty the caller's list, never what the engine reads.
inline nb::tuple snapshot_ops(nb::handle ops_field) {
    if (ops_field.is_none()) return nb::steal<nb::tuple>(PyTuple_New(0));
    return to_owned_sequence(ops_field, "The circuit's ops");
}

// Deep copy of `obj` that is a new object: copying through a __deepcopy__ / __copy__ that returns
// the object itself would let the engine write into the caller's data.
inline nb::object fresh_deepcopy(nb::handle obj, nb::handle memo = nb::handle()) {
    nb::object clone =
        memo.is_valid() ? HostTypes::get().deepcopy(obj, memo) : HostTypes::get().deepcopy(obj);
    if (clone.is(obj))
        raise(PyExc_TypeError, std::string("Deep copy of a ") + Py_TYPE(obj.ptr())->tp_name +
                                   " returned the object itself; the input cannot be copied");
    return clone;
}

// Copy of a circuit of exactly the host's plain Circuit class whose state is its own fields: a
// bare Circuit with the scalar fields shared and the others copied as the class's own deep copy
// does (its `copy_value`, with the circuit and its `ops_field` in the memo), and `ops` a new empty
// list. Skips the per-operation walk of the generic copy, which costs as much as routing a
// short circuit. An invalid object when the circuit does not qualify.
inline nb::object plain_circuit_copy(nb::handle circuit, nb::handle ops_field) {
    const HostTypes& host = HostTypes::get();
    PyTypeObject* type = Py_TYPE(circuit.ptr());
    if (reinterpret_cast<PyObject*>(type) != host.Circuit.ptr() ||
        type->tp_new != PyBaseObject_Type.tp_new)
        return {};
    PyObject* dict = PyObject_GenericGetDict(circuit.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return {};
    }
    nb::object fields = nb::steal(dict);
    // Only the class's own fields: anything else (an instance-level __deepcopy__, say) is left
    // to the generic protocol.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return {};
        const int own = PySequence_Contains(host.circuit_fields.ptr(), key);
        if (own < 0) throw nb::python_error();
        if (own == 0) return {};
    }
    nb::object empty = nb::steal(PyTuple_New(0));
    nb::object clone = nb::steal(type->tp_new(type, empty.ptr(), nullptr));
    if (!clone.is_valid()) throw nb::python_error();
    nb::object ops = nb::steal(PyList_New(0));
    if (!ops.is_valid()) throw nb::python_error();
    nb::dict memo;
    memo[nb::int_(reinterpret_cast<std::intptr_t>(circuit.ptr()))] = clone;
    memo[nb::int_(reinterpret_cast<std::intptr_t>(ops_field.ptr()))] = ops;
    // The values are read from a snapshot: a field's copy method may change the source.
    nb::object items = nb::steal(PyDict_Items(fields.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : nb::borrow<nb::list>(items)) {
        nb::handle name = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle field = PyTuple_GET_ITEM(item.ptr(), 1);
        nb::object copied = PyUnicode_CompareWithASCIIString(name.ptr(), "ops") == 0
                                ? ops
                                : host.copy_value(field, memo);
        if (PyObject_SetAttr(clone.ptr(), name.ptr(), copied.ptr()) < 0) throw nb::python_error();
    }
    return clone;
}

// Deep copy of a circuit without deep-copying its operations, which the caller replaces by the
// routed ones. A plain host Circuit is copied field by field (above). For any other class, the
// memo maps the `ops_field` read from the circuit to a new empty list and each operation of the
// snapshot `ops` to a placeholder, so neither the generic protocol nor a class's own
// __deepcopy__ copies them. Refuses a copy that is the input itself or not a circuit.
inline nb::object copy_circuit_without_ops(nb::handle circuit, nb::handle ops_field,
                                           const nb::tuple& ops) {
    nb::object result = plain_circuit_copy(circuit, ops_field);
    if (result.is_valid()) return result;
    nb::dict memo;
    memo[nb::int_(reinterpret_cast<std::intptr_t>(ops_field.ptr()))] = nb::list();
    for (nb::handle op : ops)
        memo[nb::int_(reinterpret_cast<std::intptr_t>(op.ptr()))] = nb::ellipsis();
    result = fresh_deepcopy(circuit, memo);
    if (!is_circuit(result))
        raise(PyExc_TypeError, std::string("Deep copy of a ") + Py_TYPE(circuit.ptr())->tp_name +
                                   " returned a " + Py_TYPE(result.ptr())->tp_name +
                                   ", not a Circuit");
    result.attr("ops") = nb::list();
    return result;
}

// Fast construction of routed operations. The host's operations are plain value objects whose
// fields live in the instance dictionary; for those, a new operation is a bare object of the same
// class whose attributes are set one by one from the source's (lists copied), which skips the
// Python-level __init__ / __deepcopy__ (about ten times faster) and keeps the class's shared key
// layout (faster to build and to free than a dictionary of its own). Only operations of exactly
// the host's Op class qualify: a subclass may keep a field behind a property or need its own
// copy method. Anything else goes through the Python protocol.
class OpFactory {
public:
    static OpFactory& get() {
        static OpFactory* factory = new OpFactory();  // lives as long as the interpreter
        return *factory;
    }

    // New SWAP gate between two physical qubits.
    nb::object swap(std::uint32_t a, std::uint32_t b) {
        const std::uint32_t qubits[2] = {a, b};
        if (swap_fields_.empty()) return copy(swap_prototype_, qubits, 2);
        // The prototype's fields are read once: routings insert SWAPs by the hundred thousand.
        PyTypeObject* type = Py_TYPE(swap_prototype_.ptr());
        nb::object empty = nb::steal(PyTuple_New(0));
        nb::object clone = nb::steal(type->tp_new(type, empty.ptr(), nullptr));
        if (!clone.is_valid()) throw nb::python_error();
        nb::object pair = qubit_list(qubits, 2);
        for (const auto& [key, value] : swap_fields_) {
            PyObject* field = key.ptr() == qbits_key_.ptr() ? pair.ptr() : value.ptr();
            if (PyObject_GenericSetAttr(clone.ptr(), key.ptr(), field) < 0)
                throw nb::python_error();
        }
        return clone;
    }

    // Deep copy of `op`; when `qubits` is given, its `qbits` becomes that list (n entries).
    nb::object copy(nb::handle op, const std::uint32_t* qubits = nullptr, std::size_t n = 0) {
        nb::object clone = plain_copy(op, qubits, n);
        if (clone.is_valid()) return clone;
        clone = fresh_deepcopy(op);
        if (qubits) clone.attr(qbits_key_) = qubit_list(qubits, n);
        return clone;
    }

private:
    OpFactory() {
        swap_prototype_ = HostTypes::get().Op();
        swap_prototype_.attr("gate") = "SWAP";
        swap_prototype_.attr("type") = HostTypes::get().GATETYPE;
        swap_prototype_.attr(qbits_key_) = nb::none();
        // Its fields, when the class is plain and they are all scalars (qbits is None here).
        if (!is_plain_type(Py_TYPE(swap_prototype_.ptr()))) return;
        PyObject* dict = PyObject_GenericGetDict(swap_prototype_.ptr(), nullptr);
        if (!dict) {
            PyErr_Clear();
            return;
        }
        nb::object fields = nb::steal(dict);
        std::vector<std::pair<nb::object, nb::object>> found;
        bool has_qbits = false;  // under the interned name, which swap() looks for
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(fields.ptr(), &pos, &key, &value)) {
            if (!is_immutable_scalar(value)) return;
            has_qbits |= key == qbits_key_.ptr();
            found.emplace_back(nb::borrow(key), nb::borrow(value));
        }
        if (has_qbits) swap_fields_ = std::move(found);
    }

    static bool is_plain_type(PyTypeObject* type) {
        return type->tp_new == PyBaseObject_Type.tp_new;
    }

    static bool is_immutable_scalar(PyObject* value) {
        return value == Py_None || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
               PyUnicode_CheckExact(value) || PyBool_Check(value) || PyComplex_CheckExact(value);
    }

    // A new object of op's class with op's attributes, in op's order: immutable scalars shared,
    // flat lists of them copied, `qbits` replaced when `qubits` is given. An invalid object when
    // some field is of another kind or the class is not exactly the host's plain Op.
    nb::object plain_copy(nb::handle op, const std::uint32_t* qubits, std::size_t n) const {
        PyTypeObject* type = Py_TYPE(op.ptr());
        if (type != Py_TYPE(swap_prototype_.ptr()) || !is_plain_type(type)) return {};
        PyObject* dict = PyObject_GenericGetDict(op.ptr(), nullptr);
        if (!dict) {
            PyErr_Clear();
            return {};
        }
        nb::object source = nb::steal(dict);
        nb::object empty = nb::steal(PyTuple_New(0));
        nb::object clone = nb::steal(type->tp_new(type, empty.ptr(), nullptr));
        if (!clone.is_valid()) throw nb::python_error();
        bool replaced = false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(source.ptr(), &pos, &key, &value)) {
            PyObject* field = value;                  // immutable scalars are shared
            nb::object made;                          // a new list, when the field needs one
            if (qubits && key == qbits_key_.ptr()) {  // attribute names are interned
                made = qubit_list(qubits, n);
                replaced = true;
            } else if (PyList_CheckExact(value)) {
                const Py_ssize_t size = PyList_GET_SIZE(value);
                for (Py_ssize_t k = 0; k < size; ++k)
                    if (!is_immutable_scalar(PyList_GET_ITEM(value, k))) return {};
                made = nb::steal(PyList_GetSlice(value, 0, size));
                if (!made.is_valid()) throw nb::python_error();
            } else if (!is_immutable_scalar(value)) {
                return {};
            }
            if (made.is_valid()) field = made.ptr();
            if (PyObject_GenericSetAttr(clone.ptr(), key, field) < 0) throw nb::python_error();
        }
        // No qbits entry, or one under a key that is not the interned name: set it now.
        if (qubits && !replaced &&
            PyObject_GenericSetAttr(clone.ptr(), qbits_key_.ptr(), qubit_list(qubits, n).ptr()) < 0)
            throw nb::python_error();
        return clone;
    }

    static nb::object qubit_list(const std::uint32_t* qubits, std::size_t n) {
        nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list.is_valid()) throw nb::python_error();
        for (std::size_t k = 0; k < n; ++k)
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k),
                            PyLong_FromUnsignedLong(qubits[k]));
        return list;
    }

    nb::object qbits_key_ = nb::steal(PyUnicode_InternFromString("qbits"));
    nb::object swap_prototype_;  // a SWAP with qbits None, copied for every new SWAP
    std::vector<std::pair<nb::object, nb::object>> swap_fields_;  // its fields, if plain
};

// New SWAP gate between two physical qubits.
inline nb::object make_swap(std::uint32_t a, std::uint32_t b) {
    return OpFactory::get().swap(a, b);
}

// New REMAP: the state on qbits[i] moves to qbits[remap[i]] (entries are positions in qbits).
inline nb::object make_remap(const std::vector<std::uint32_t>& qbits,
                             const std::vector<std::uint32_t>& remap) {
    nb::object op = HostTypes::get().Op();
    op.attr("type") = HostTypes::get().REMAP;
    op.attr("qbits") = to_int_list(qbits);
    op.attr("remap") = to_int_list(remap);
    return op;
}

// REMAP over qubits 0..n-1 whose entry p is `remap[p]`. For a final placement, pass the logical
// qubit held by each physical qubit: the REMAP then brings every logical state home.
inline nb::object make_full_remap(const std::vector<std::uint32_t>& remap) {
    std::vector<std::uint32_t> qbits(remap.size());
    for (std::uint32_t p = 0; p < remap.size(); ++p) qbits[p] = p;
    return make_remap(qbits, remap);
}

}  // namespace couplize::py
