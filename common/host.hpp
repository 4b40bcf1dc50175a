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

inline bool is_circuit(nb::handle obj) {
    return PyObject_IsInstance(obj.ptr(), HostTypes::get().Circuit.ptr()) == 1;
}

inline bool is_op(nb::handle obj) {
    return PyObject_IsInstance(obj.ptr(), HostTypes::get().Op.ptr()) == 1;
}

inline bool is_remap(nb::handle op) { return op.attr("type").equal(HostTypes::get().REMAP); }

// New SWAP gate between two physical qubits.
inline nb::object make_swap(std::uint32_t a, std::uint32_t b) {
    nb::object op = HostTypes::get().Op();
    op.attr("gate") = "SWAP";
    op.attr("type") = HostTypes::get().GATETYPE;
    nb::list qbits;
    qbits.append(nb::int_(a));
    qbits.append(nb::int_(b));
    op.attr("qbits") = qbits;
    return op;
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
