#pragma once
// Access to the host data model from native bindings: the classes are looked up once per
// process, and every engine builds its SWAP and REMAP operations through these helpers so the
// REMAP convention lives in one place.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "common/convert.hpp"

namespace couplize::py {

struct HostTypes {
    nb::object Circuit, Op, REMAP, GATETYPE, copy, deepcopy;

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

// Deep copy of a circuit without deep-copying its operations, which the caller replaces by the
// routed ones. The memo maps the `ops_field` read from the circuit to a new empty list and each
// operation of the snapshot `ops` to a placeholder, so neither the generic protocol nor a class's
// own __deepcopy__ copies them. Refuses a copy that is the input itself or not a circuit.
inline nb::object copy_circuit_without_ops(nb::handle circuit, nb::handle ops_field,
                                           const nb::tuple& ops) {
    nb::dict memo;
    memo[nb::int_(reinterpret_cast<std::intptr_t>(ops_field.ptr()))] = nb::list();
    for (nb::handle op : ops)
        memo[nb::int_(reinterpret_cast<std::intptr_t>(op.ptr()))] = nb::ellipsis();
    nb::object result = fresh_deepcopy(circuit, memo);
    if (!is_circuit(result))
        raise(PyExc_TypeError, std::string("Deep copy of a ") + Py_TYPE(circuit.ptr())->tp_name +
                                   " returned a " + Py_TYPE(result.ptr())->tp_name +
                                   ", not a Circuit");
    result.attr("ops") = nb::list();
    return result;
}

// Fast construction of routed operations. The host's operations are plain value objects whose
// fields live in the instance dictionary; for those, a new operation is an object of the same
// class given a copied dictionary, which skips the Python-level __init__ / __deepcopy__ (about
// ten times faster). Only operations of exactly the host's Op class qualify: a subclass may keep
// a field behind a property or need its own copy method. Anything else goes through the Python
// protocol.
class OpFactory {
public:
    static OpFactory& get() {
        static OpFactory* factory = new OpFactory();  // lives as long as the interpreter
        return *factory;
    }

    // New SWAP gate between two physical qubits.
    nb::object swap(std::uint32_t a, std::uint32_t b) {
        const std::uint32_t qubits[2] = {a, b};
        if (!swap_fields_.is_valid()) {
            nb::object op = HostTypes::get().Op();
            op.attr("gate") = "SWAP";
            op.attr("type") = HostTypes::get().GATETYPE;
            op.attr(qbits_key_) = qubit_list(qubits, 2);
            return op;
        }
        nb::object fields = nb::steal(PyDict_Copy(swap_fields_.ptr()));
        if (!fields.is_valid()) throw nb::python_error();
        set_item(fields, qubit_list(qubits, 2));
        return with_fields(op_type_, fields);
    }

    // Deep copy of `op`; when `qubits` is given, its `qbits` becomes that list (n entries).
    nb::object copy(nb::handle op, const std::uint32_t* qubits = nullptr, std::size_t n = 0) {
        nb::object fields = plain_copy_of_fields(op);
        if (fields.is_valid()) {
            if (qubits) set_item(fields, qubit_list(qubits, n));
            return with_fields(Py_TYPE(op.ptr()), fields);
        }
        nb::object clone = fresh_deepcopy(op);
        if (qubits) clone.attr(qbits_key_) = qubit_list(qubits, n);
        return clone;
    }

private:
    OpFactory() {
        nb::object prototype = HostTypes::get().Op();
        PyTypeObject* type = Py_TYPE(prototype.ptr());
        PyObject* dict = PyObject_GenericGetDict(prototype.ptr(), nullptr);
        if (!dict) {  // fields not in an instance dictionary: always use the Python protocol
            PyErr_Clear();
            return;
        }
        nb::object fields = nb::steal(dict);
        if (type->tp_new != PyBaseObject_Type.tp_new) return;
        op_type_ = type;
        fields[qbits_key_] = nb::none();
        fields["gate"] = "SWAP";
        fields["type"] = HostTypes::get().GATETYPE;
        swap_fields_ = fields;
    }

    static bool is_immutable_scalar(PyObject* value) {
        return value == Py_None || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
               PyUnicode_CheckExact(value) || PyBool_Check(value) || PyComplex_CheckExact(value);
    }

    // A copy of the instance dictionary with fresh lists, or an invalid object when some field
    // is neither an immutable scalar nor a flat list of them (or the class is not plain).
    nb::object plain_copy_of_fields(nb::handle op) const {
        if (!op_type_ || Py_TYPE(op.ptr()) != op_type_) return {};
        PyObject* dict = PyObject_GenericGetDict(op.ptr(), nullptr);
        if (!dict) {
            PyErr_Clear();
            return {};
        }
        nb::object source = nb::steal(dict);
        nb::object copy = nb::steal(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(source.ptr(), &pos, &key, &value)) {
            nb::object copied;
            if (is_immutable_scalar(value)) {
                copied = nb::borrow(value);
            } else if (PyList_CheckExact(value)) {
                const Py_ssize_t size = PyList_GET_SIZE(value);
                for (Py_ssize_t k = 0; k < size; ++k)
                    if (!is_immutable_scalar(PyList_GET_ITEM(value, k))) return {};
                copied = nb::steal(PyList_GetSlice(value, 0, size));
            } else {
                return {};
            }
            if (PyDict_SetItem(copy.ptr(), key, copied.ptr()) < 0) throw nb::python_error();
        }
        return copy;
    }

    static nb::object with_fields(PyTypeObject* type, nb::handle fields) {
        nb::object empty = nb::steal(PyTuple_New(0));
        nb::object op = nb::steal(type->tp_new(type, empty.ptr(), nullptr));
        if (!op.is_valid() || PyObject_GenericSetDict(op.ptr(), fields.ptr(), nullptr) < 0)
            throw nb::python_error();
        return op;
    }

    static nb::object qubit_list(const std::uint32_t* qubits, std::size_t n) {
        nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t k = 0; k < n; ++k)
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(k),
                            PyLong_FromUnsignedLong(qubits[k]));
        return list;
    }

    void set_item(nb::handle fields, nb::handle qubits) const {
        if (PyDict_SetItem(fields.ptr(), qbits_key_.ptr(), qubits.ptr()) < 0)
            throw nb::python_error();
    }

    nb::str qbits_key_{"qbits"};
    PyTypeObject* op_type_ = nullptr;
    nb::object swap_fields_;  // fields of a new SWAP (qbits set per operation); unset if not plain
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
