// get_initial_order: the placement search over a host circuit and a QubitGraph.
#include <memory>
#include <optional>
#include <vector>

#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/initial_mapping.hpp"
#include "swapcore/python/bind_qubit_graph.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

nb::list get_initial_order(nb::handle circuit, nb::handle graph, nb::handle parallel,
                           nb::handle seed) {
    check_arg_type(graph, nb::type<QubitGraph>(), "graph");
    if (!is_circuit(circuit))
        raise(PyExc_TypeError,
              "First argument \"circuit\" is not an instance of "
              "mirel.comm.datamodel.ttypes.Circuit");
    const int exhaustive = PyObject_IsTrue(parallel.ptr());
    if (exhaustive < 0) throw nb::python_error();

    std::vector<Interaction> interactions;
    nb::list ops = nb::borrow<nb::list>(circuit.attr("ops"));
    interactions.reserve(nb::len(ops));
    for (nb::handle op : ops) interactions.push_back(to_uint32_list(op.attr("qbits")));
    // The graph's immutable snapshot, taken with the GIL held.
    const std::shared_ptr<const RoutingTarget> target =
        nb::cast<QubitGraph&>(graph).routing_target();
    std::optional<std::uint32_t> seed_value;
    if (!seed.is_none()) seed_value = to_uint32(seed);

    // The search runs without the interpreter, which now and then handles pending signals so
    // that a long search can be interrupted (Ctrl-C raises KeyboardInterrupt).
    const StopCheck interrupted = [] {
        nb::gil_scoped_acquire acquire;
        return PyErr_CheckSignals() != 0;
    };
    Placement placement;
    bool stopped = false;
    {
        nb::gil_scoped_release release;
        try {
            // The search reseeds under the generator's lock: another thread's search cannot
            // draw between the reseeding and this search's draws.
            placement = find_initial_mapping(interactions, *target, exhaustive == 1, 0, interrupted,
                                             seed_value);
        } catch (const SearchStopped&) {
            stopped = true;
        }
    }
    if (stopped) throw nb::python_error();  // the exception the signal handler raised
    return to_int_list(placement);
}

}  // namespace

void bind_initial_order(nb::module_& m) {
    m.def("get_initial_order", &get_initial_order, "circuit"_a.none(), "graph"_a.none(),
          "parallel"_a.none() = true, "seed"_a.none() = nb::none(),
          nb::sig("def get_initial_order(circuit: mirel.comm.datamodel.ttypes.Circuit, graph: "
                  "QubitGraph, parallel: bool = True, "
                  "seed: typing.SupportsIndex | None = None) -> list[int]"),
          R"DOC(Get an initial order to improve couplization efficiency

The order places logical qubit i on physical qubit order[i] so that qubits interacting early
and often in the circuit sit close together on the graph.

Args:
    circuit (Circuit): circuit whose first two-qubit gates are weighted
    graph (QubitGraph): connected hardware topology
    parallel (bool): use a multi-thread search (exhaustive over every placement, 12 qubits
        at most); False uses a randomised branch and bound
    seed (int or None): when given, reseeds the process-wide generator of the randomised
        search before it runs, so that equal calls return equal orders

Returns:
    list<int>: initial order

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> get_initial_order(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3), graph)
[0, 2, 1])DOC");
}

}  // namespace couplize::py
