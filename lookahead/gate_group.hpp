#pragma once
#include <cstdint>
#include <vector>

namespace couplize {

// One vertex of the gate-group DAG: a maximal run of two-qubit gates on one pair of qubits,
// together with the one-qubit gates that follow them on either qubit until the next two-qubit
// gate on that qubit. `first_qubit`/`second_qubit` come from the gate that created the group; a
// later gate of the run may list the pair in the other order.
struct GateGroup {
    std::vector<std::uint32_t> gates;  // indices into the circuit, in circuit order
    std::uint32_t first_qubit = 0;
    std::uint32_t second_qubit = 0;
    std::int32_t nb_multiqubit_gates = 0;  // two-qubit gates among `gates`, at least 1
    bool closed = false;  // a later two-qubit gate on one of the qubits started another group
};

}  // namespace couplize
