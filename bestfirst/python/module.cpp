// The bestfirst extension module: the A* engine and its own QubitGraph type.
#include <nanobind/nanobind.h>

#include "common/host.hpp"
#include "swapcore/python/bind_qubit_graph.hpp"

namespace couplize::py {
void bind_astar_couplizer(nanobind::module_& m);
}

// The host's classes and the op factory are built now, while the import lock keeps other threads
// out of this module: built on first use instead, their function-local statics could deadlock,
// a thread waiting on the guard while holding the GIL that the building thread's Python code
// (the host Op's __init__, an import) needs back.
NB_MODULE(bestfirst, m) {
    m.doc() = "Slice-by-slice A* swap-insertion engine";
    couplize::py::OpFactory::get();  // and HostTypes::get(), which it uses
    couplize::py::bind_qubit_graph(m);
    couplize::py::bind_astar_couplizer(m);
}
