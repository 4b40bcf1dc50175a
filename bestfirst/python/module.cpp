// The bestfirst extension module: the A* engine and its own QubitGraph type.
#include <nanobind/nanobind.h>

#include "swapcore/python/bind_qubit_graph.hpp"

namespace couplize::py {
void bind_astar_couplizer(nanobind::module_& m);
}

NB_MODULE(bestfirst, m) {
    m.doc() = "Slice-by-slice A* swap-insertion engine";
    couplize::py::bind_qubit_graph(m);
    couplize::py::bind_astar_couplizer(m);
}
