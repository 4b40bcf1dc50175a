#pragma once
// Routing steps of the windowed engine shared by `couplize` and the initial-order updaters,
// which route one circuit many times from different placements: the circuit's qubit lists are
// read from host objects once, and each routing relabels them natively.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "swapcore/python/engine_types.hpp"

namespace couplize::py {

// A circuit's operations as read once: operation k (ops[k]) acts on
// qubits[offsets[k] .. offsets[k+1]). Routed operations are copies of these.
struct CircuitQubits {
    nb::object ops_field;  // the circuit's `ops` attribute as read
    nb::tuple ops;         // the engine's own snapshot of it
    std::vector<std::uint32_t> qubits;
    std::vector<std::uint32_t> offsets{0};
};

// Binds `circuit` to the engine (the engine's checks: host circuit, graph defined, enough
// qubits) and reads its qubit lists.
CircuitQubits read_circuit(Couplizer& self, nb::handle circuit);

// Routes `input` (read from `circuit`) into the engine's path finder. `placement`, when given,
// is the starting qubit of each circuit qubit. `scratch` is a circuit the callable-metric branch
// fills with trial operations. `init_metric` calls a predefined metric's `init` first.
void route(Couplizer& self, nb::handle circuit, const CircuitQubits& input,
           const std::vector<std::uint32_t>* placement, nb::handle scratch, bool init_metric);

// A deep copy of `circuit` (as read into `input`) with an empty operation list.
nb::object empty_copy(const CircuitQubits& input, nb::handle circuit);

// The routed operations of the last `route`, followed by the final REMAP when the final
// placement is not the identity (unless `final_remap` is false); `remap_due` receives whether
// that REMAP was due. The caller stores the list in its result circuit.
nb::list routed_ops(Couplizer& self, const CircuitQubits& input, bool final_remap,
                    bool* remap_due = nullptr);

// The placement REMAP in front of routed operations and its inverse at the end, merged with the
// routing's own final REMAP when there is one.
void add_placement_remaps(nb::list& ops, const std::vector<std::uint32_t>& placement);

// The routing of the read circuit from `placement` (placement[q] is the qubit circuit qubit q
// starts on), framed by the placement REMAP and its inverse.
nb::object routed_from(Couplizer& self, nb::handle circuit, const CircuitQubits& input,
                       const std::vector<std::uint32_t>& placement);

// Whether the engine's metric scores a circuit by minus its operation count (the default metric
// and QuantumCostMetric), which lets a routing be scored without building it.
bool scores_by_op_count(nb::handle metric);

nb::object couplize_annealing(Couplizer& self, nb::handle circuit, std::int32_t max_iterations,
                              double temperature);
nb::object couplize_reverse(Couplizer& self, nb::handle circuit);

}  // namespace couplize::py
