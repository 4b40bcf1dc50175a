#pragma once
#include <cstdint>

#include "common/qubits.hpp"

namespace couplize {

// What the router reads of one vertex of the gate-group DAG, for every front and look-ahead
// group of every layer: a maximal run of two-qubit gates on one pair of logical qubits. `first`
// and `second` come from the gate that created the group; a later gate of the run may list the
// pair in the other order.
struct GateGroup {
    Logical first{0};
    Logical second{0};
    std::int32_t nb_two_qubit_gates = 0;  // at least 1 for a group vertex
};

}  // namespace couplize
