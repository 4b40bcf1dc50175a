// The swapcore extension module: topology graph, default engine, metrics and remap utilities.
#include <nanobind/nanobind.h>

#include "common/host.hpp"
#include "swapcore/python/bind_qubit_graph.hpp"
#include "swapcore/python/duration_metric.hpp"
#include "swapcore/python/engine_types.hpp"

namespace couplize::py {
void bind_remap(nanobind::module_& m);
void bind_initial_order(nanobind::module_& m);
}  // namespace couplize::py

// The host's classes and the op factory are built now, while the import lock keeps other threads
// out of this module: built on first use instead, their function-local statics could deadlock,
// a thread waiting on the guard while holding the GIL that the building thread's Python code
// (the host Op's __init__, an import) needs back.
NB_MODULE(swapcore, m) {
    m.doc() = "Core routing library and the default swap-insertion engine";
    couplize::py::OpFactory::get();  // and HostTypes::get(), which it uses
    couplize::py::bind_qubit_graph(m);
    couplize::py::bind_couplizer(m);
    couplize::py::bind_metrics(m);
    couplize::py::bind_duration_metric(m);
    couplize::py::bind_remap(m);
    couplize::py::bind_initial_order(m);
}
