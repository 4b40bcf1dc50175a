#pragma once
// Conversions of routed paths between native entries and their Python form: a gate is a 2-tuple
// (bool, list of int), a path a list of such tuples.
#include <nanobind/nanobind.h>

#include "common/convert.hpp"
#include "swapcore/gate.hpp"
#include "swapcore/path_finder.hpp"

namespace couplize::py {

inline nb::object gate_to_python(bool flag, const Physical* qubits, std::size_t n) {
    nb::list list;
    for (std::size_t k = 0; k < n; ++k) list.append(nb::int_(index(qubits[k])));
    return nb::make_tuple(nb::bool_(flag), list);
}

inline nb::list steps_to_python(const PathStep* begin, const PathStep* end) {
    nb::list result;
    for (const PathStep* s = begin; s != end; ++s)
        result.append(gate_to_python(s->is_input, s->qubits, s->arity));
    return result;
}

inline nb::list candidates_to_python(const CandidateSet& candidates) {
    nb::list result;
    for (std::size_t c = 0; c < candidates.size(); ++c)
        result.append(steps_to_python(candidates.begin(c), candidates.end(c)));
    return result;
}

// A Python list of (bool, list of int) tuples as a native GateList.
inline GateList gate_list_from_python(nb::handle value) {
    nb::tuple items = to_owned_sequence(value, "A path");
    GateList result;
    result.reserve(nb::len(items));
    for (nb::handle item : items) {
        nb::tuple gate = to_owned_sequence(item, "A gate");
        if (nb::len(gate) != 2)
            raise(PyExc_TypeError, "a gate must be a pair (bool, list of qubit indices)");
        const bool flag = to_bool(gate[0]);
        result.emplace_back(flag, to_uint32_list(gate[1]));
    }
    return result;
}

}  // namespace couplize::py
