// Python face of the native topology graph. Compiled into swapcore and, under its own nanobind
// domain, into bestfirst, so both modules expose the same interface over the same native class.
#include "swapcore/python/bind_qubit_graph.hpp"

#include "common/convert.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize::py {

using namespace nb::literals;

void bind_qubit_graph(nb::module_& m) {
    nb::class_<QubitGraph>(m, "QubitGraph",
                           "Undirected hardware topology over the physical qubits 0..nbqbits-1")
        .def(
            "__init__",
            [](QubitGraph* self, nb::handle nbqbits) { new (self) QubitGraph(to_uint32(nbqbits)); },
            nb::arg("nbqbits").none())
        .def("get_nbqbits", &QubitGraph::get_nbqubits, "Get the number of qubits used in the graph")
        .def(
            "get_neighbours",
            [](const QubitGraph& g, nb::handle node) {
                return to_int_list(g.get_neighbours(to_uint32(node)));
            },
            nb::arg("node").none(), "Get all neighbours of a given node")
        .def(
            "add_edge",
            [](QubitGraph& g, nb::handle i, nb::handle j) {
                g.add_edge(to_uint32(i), to_uint32(j));
            },
            nb::arg("i").none(), nb::arg("j").none(),
            "Create an edge between two qubits. An edge means that the two given\n"
            "qubits may interact\n\n"
            "Args:\n    i (int): index of the first qubit\n    j (int): index of the second qubit")
        .def(
            "path",
            [](QubitGraph& g, nb::handle i, nb::handle j) {
                return to_int_list(g.path(to_uint32(i), to_uint32(j)));
            },
            nb::arg("i").none(), nb::arg("j").none(),
            "Return the shortest path between two qubits. Each edge has a weight\n"
            "of 1\n\n"
            "Args:\n    i (int): index of the first qubit\n    j (int): index of the second "
            "qubit\n\n"
            "Returns:\n    list<int>: the shortest path between the two qubits (an empty list\n"
            "    means that there is no path)")
        .def("__reduce__", [](nb::handle) -> nb::object {
            raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
        });
}

}  // namespace couplize::py
