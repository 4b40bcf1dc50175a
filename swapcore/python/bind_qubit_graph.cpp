// Python face of the native topology graph. Compiled into swapcore and, under its own nanobind
// domain, into bestfirst, so both modules expose the same interface over the same native class.
#include "swapcore/python/bind_qubit_graph.hpp"

#include "common/convert.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize::py {

using namespace nb::literals;

void bind_qubit_graph(nb::module_& m) {
    nb::class_<QubitGraph>(m, "QubitGraph",
                           R"DOC(Undirected hardware topology over the physical qubits 0..nbqbits-1

>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> graph.get_neighbours(1)
[0, 2])DOC")
        .def(
            "__init__",
            [](QubitGraph* self, nb::handle nbqbits) { new (self) QubitGraph(to_uint32(nbqbits)); },
            nb::arg("nbqbits").none(),
            nb::sig("def __init__(self, nbqbits: typing.SupportsIndex) -> None"))
        .def("get_nbqbits", &QubitGraph::get_nbqubits, nb::sig("def get_nbqbits(self) -> int"),
             R"DOC(Get the number of qubits used in the graph

>>> QubitGraph(5).get_nbqbits()
5)DOC")
        .def(
            "get_neighbours",
            [](const QubitGraph& g, nb::handle node) {
                return to_int_list(g.neighbours(to_uint32(node)));
            },
            nb::arg("node").none(),
            nb::sig("def get_neighbours(self, node: typing.SupportsIndex) -> list[int]"),
            R"DOC(Get all neighbours of a given node

>>> graph = QubitGraph(3)
>>> graph.add_edge(1, 0)
>>> graph.add_edge(1, 2)
>>> graph.get_neighbours(1)
[0, 2])DOC")
        .def(
            "add_edge",
            [](QubitGraph& g, nb::handle i, nb::handle j) {
                g.add_edge(to_uint32(i), to_uint32(j));
            },
            nb::arg("i").none(), nb::arg("j").none(),
            nb::sig("def add_edge(self, i: typing.SupportsIndex, j: typing.SupportsIndex) -> None"),
            R"DOC(Create an edge between two qubits. An edge means that the two given
qubits may interact

Args:
    i (int): index of the first qubit
    j (int): index of the second qubit

>>> graph = QubitGraph(2)
>>> graph.add_edge(0, 1)
>>> graph.get_neighbours(0)
[1])DOC")
        .def(
            "path",
            [](QubitGraph& g, nb::handle i, nb::handle j) {
                return to_int_list(g.path(to_uint32(i), to_uint32(j)));
            },
            nb::arg("i").none(), nb::arg("j").none(),
            nb::sig(
                "def path(self, i: typing.SupportsIndex, j: typing.SupportsIndex) -> list[int]"),
            R"DOC(Return the shortest path between two qubits. Each edge has a weight
of 1

Args:
    i (int): index of the first qubit
    j (int): index of the second qubit

Returns:
    list<int>: the shortest path between the two qubits (an empty list
    means that there is no path)

>>> graph = QubitGraph(4)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> graph.path(0, 2)
[0, 1, 2]
>>> graph.path(0, 3)
[])DOC")
        .def(
            "__reduce__",
            [](nb::handle) -> nb::object {
                raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
            },
            nb::sig("def __reduce__(self) -> typing.NoReturn"));
}

}  // namespace couplize::py
