#pragma once
// Python-visible types of the default engine and its metrics. They hold Python objects, so they
// live in the binding layer; the routing itself is the native PathFinder.
#include <nanobind/nanobind.h>

#include "swapcore/path_finder.hpp"

namespace couplize::py {

namespace nb = nanobind;

// Base of the predefined metrics; carries only its instance dictionary.
struct PredefMetric {};

// Prefers the candidate with the fewest entries; scores a circuit by minus its op count.
struct QuantumCostMetric : PredefMetric {};

// Engine of the windowed method.
struct Couplizer {
    // Routes on the snapshot of the graph given to set_graph (a later change to that graph does
    // not reach the engine), so routing runs without the GIL on state no Python object can touch.
    PathFinder path_finder;
    std::uint32_t window_size = 3;
    bool graph_defined = false;
    bool busy = false;            // a call is running (see BusyGuard)
    bool stepping = false;        // path_finder is being stepped without the GIL
    bool whole_window = false;    // commit each chosen candidate whole (native choice only)
    std::uint32_t lookahead = 0;  // interactions past the first weighed by the native choice
    double lookahead_weight = 0.5;
    nb::object circuit;
    nb::object metric;
};

void bind_metrics(nb::module_& m);
void bind_couplizer(nb::module_& m);

}  // namespace couplize::py
