// Python face of the A* engine: AstarCouplizer and to_networkx.
//
// The circuit's qubit lists cross into native code once, the whole search runs without the GIL,
// and the routed circuit is built at the end from copies of the input operations.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "bestfirst/astar.hpp"
#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/order.hpp"
#include "swapcore/qubit_graph.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

struct NetworkX {
    nb::object Graph, max_weight_matching;

    static const NetworkX& get() {
        static const NetworkX* nx = [] {
            auto* t = new NetworkX();  // intentionally leaked: lives as long as the interpreter
            nb::module_ networkx = nb::module_::import_("networkx");
            t->Graph = networkx.attr("Graph");
            t->max_weight_matching = networkx.attr("max_weight_matching");
            return t;
        }();
        return *nx;
    }
};

nb::object to_networkx(const QubitGraph& graph) {
    nb::object result = NetworkX::get().Graph();
    nb::object add_node = result.attr("add_node"), add_edge = result.attr("add_edge");
    const std::uint32_t n = graph.get_nbqubits();
    for (std::uint32_t i = 0; i < n; ++i) add_node(i);
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j : graph.neighbours(i)) add_edge(i, j);
    return result;
}

// Number of edges of a maximum matching: the most two-qubit gates the topology runs at once.
std::uint32_t max_matching(const QubitGraph& graph) {
    nb::object blossom = NetworkX::get().max_weight_matching(to_networkx(graph));
    const std::size_t size = nb::len(blossom);  // a dict holds both ends of every matched pair
    return static_cast<std::uint32_t>(PyDict_Check(blossom.ptr()) ? size / 2 : size);
}

struct AstarEngine {
    // The topology given to set_graph, as the snapshot taken then: later changes to that graph
    // do not reach the engine, and routing reads it without the GIL.
    std::shared_ptr<const RoutingTarget> target;
    bool busy = false;             // a call is running (see BusyGuard)
    std::uint32_t slice_cap = 0;   // the constructor's size, lowered by each topology; 0: none yet
    std::uint32_t size_slice = 0;  // in use: slice_cap, or 0 on a topology without edges
    std::size_t max_nodes = default_max_nodes;  // per search; 0: no limit
    std::size_t max_expanded = 0;               // statistics of the last couplize
    std::size_t split_searches = 0;
    std::size_t summed_searches = 0;

    // About 1 MB and a few ms of search at 50 qubits. Slices of a wide circuit often need far
    // more (the estimate is about half the true count when most gates need their own SWAPs);
    // they are redone with the sum estimate, then gate by gate, so that the whole run stays in
    // seconds. Measured on the benchmark suite, 5000 routes as well as 20000 in a quarter of
    // the time.
    static constexpr std::size_t default_max_nodes = 5'000;

    void set_graph(nb::handle given) {
        BusyGuard guard(busy, "AstarCouplizer");
        // Only bestfirst's own QubitGraph is accepted; both names are given in full so that
        // swapcore's type of the same name is told apart.
        if (!nb::isinstance<QubitGraph>(given)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         "graph", nb::type_name(nb::type<QubitGraph>()).c_str(),
                         nb::type_name(given.type()).c_str());
            throw nb::python_error();
        }
        const QubitGraph& native = native_ref<QubitGraph>(given, "graph");
        const std::uint32_t matching = max_matching(native);
        target = native.routing_target();
        // Each topology may only lower the size; one without edges (matching 0) leaves the engine
        // unable to place two-qubit gates on it but does not make it forget the size for the
        // next topology.
        if (matching > 0) slice_cap = slice_cap == 0 ? matching : std::min(slice_cap, matching);
        size_slice = matching == 0 ? 0 : slice_cap;
    }

    nb::object couplize(nb::handle circuit, nb::handle use_sum_heuristic, nb::handle lookahead,
                        double lookahead_discount) {
        BusyGuard guard(busy, "AstarCouplizer");
        if (!is_circuit(circuit))
            raise(PyExc_TypeError,
                  "The given argument is not an instance of Circuit. Cannot not couplize");
        if (!target) raise(PyExc_ValueError, "The graph is not defined");
        // Held for the whole call, while the GIL is held: the search runs without the GIL on
        // this snapshot only.
        const std::shared_ptr<const RoutingTarget> snapshot = target;
        const AstarEstimate estimate =
            to_bool(use_sum_heuristic) ? AstarEstimate::kSumDistance : AstarEstimate::kMaxDistance;
        const std::uint32_t lookahead_slices = to_uint32(lookahead);

        nb::object ops_attr = circuit.attr("ops");
        const nb::tuple ops = snapshot_ops(ops_attr);
        std::vector<Interaction> gates(nb::len(ops));
        for (std::size_t k = 0; k < gates.size(); ++k)
            to_uint32_list(
                nb::handle(PyTuple_GET_ITEM(ops.ptr(), static_cast<Py_ssize_t>(k))).attr("qbits"),
                gates[k]);
        const std::uint32_t nbqbits = to_uint32(circuit.attr("nbqbits"));
        // The search sizes its tables by nbqbits: refuse a circuit larger than the topology
        // before building them.
        if (nbqbits > snapshot->nb_physical())
            raise(PyExc_ValueError, "The circuit uses " + std::to_string(nbqbits) +
                                        " qubits but the topology has only " +
                                        std::to_string(snapshot->nb_physical()));

        // Without edges no two-qubit gate can be placed, but a circuit without one routes
        // as it is (any positive slice size then gives the same single pass).
        if (size_slice == 0 && std::any_of(gates.begin(), gates.end(),
                                           [](const Interaction& g) { return g.size() == 2; }))
            raise(PyExc_ValueError,
                  "The topology has no edge (its maximum matching is 0), so no two-qubit gate "
                  "can be placed");

        // Set up while holding the GIL (it reads this object's state); only the search runs
        // without it.
        AstarCouplizer engine(gates, nbqbits, std::max(size_slice, 1u), estimate);
        engine.set_target(snapshot);
        engine.set_node_limit(max_nodes);
        engine.set_lookahead(lookahead_slices, lookahead_discount);
        std::vector<AstarCouplizer::Step> steps;
        std::exception_ptr failure;
        {
            nb::gil_scoped_release release;
            try {
                steps = engine.start_couplization();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        // The statistics describe the last call even when it failed.
        max_expanded = engine.max_expanded();
        split_searches = engine.split_searches();
        summed_searches = engine.summed_searches();
        if (failure) std::rethrow_exception(failure);

        // The placement spans every physical qubit, so spare ones of a larger topology can
        // carry logical qubits too; `nbqbits` stays the circuit's, as with the other engines.
        // The engine's snapshot: Python code run below cannot change it.
        const std::uint32_t nb_physical = snapshot->nb_physical();

        // Deep copy of the circuit without deep-copying its operations.
        nb::list routed_ops;
        nb::object routed = copy_circuit_without_ops(circuit, ops_attr, ops);
        Order layout(nb_physical);
        GcPause gc_pause;  // many acyclic objects follow
        OpFactory& factory = OpFactory::get();
        for (const AstarCouplizer::Step& step : steps) {
            if (step.is_swap) {
                const Physical a = layout.get_physical_qubit(step.logical_a);
                const Physical b = layout.get_physical_qubit(step.logical_b);
                routed_ops.append(factory.swap(index(a), index(b)));
                layout.insert_physical_swap(a, b);
                continue;
            }
            const std::vector<std::uint32_t>& logical = gates[step.gate];
            std::uint32_t physical[2];
            for (std::size_t k = 0; k < logical.size(); ++k)
                physical[k] = index(layout.get_physical_qubit(Logical{logical[k]}));
            routed_ops.append(
                factory.copy(PyTuple_GET_ITEM(ops.ptr(), step.gate), physical, logical.size()));
        }
        routed_ops.append(make_full_remap(layout.get()));  // physical -> logical held there
        routed.attr("ops") = routed_ops;
        return routed;
    }
};

}  // namespace

void bind_astar_couplizer(nb::module_& m) {
    NetworkX::get();  // the engine needs networkx; fail at import when it is missing

    m.def(
        "to_networkx", [](const QubitGraph& graph) { return to_networkx(graph); }, "graph"_a,
        nb::sig("def to_networkx(graph: QubitGraph) -> networkx.Graph"),
        R"DOC(Return the topology as a networkx Graph: one node per qubit, one edge per neighbour
entry

>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> sorted(to_networkx(graph).edges)
[(0, 1), (1, 2)])DOC");

    nb::class_<AstarEngine>(m, "AstarCouplizer",
                            R"DOC(Swap insertion by A* search over qubit placements, slice by slice

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = AstarCouplizer()
>>> engine.set_graph(graph)
>>> engine.size_slice  # the topology's maximum matching: one gate at a time
1
>>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> [op.gate for op in routed.ops]
['SWAP', 'CNOT', None])DOC")
        .def(
            "__init__",
            [](AstarEngine* self, nb::handle size_slice, nb::handle max_nodes) {
                const std::uint32_t requested = to_uint32(size_slice);
                const std::uint32_t limit = to_uint32(max_nodes);
                new (self) AstarEngine();
                self->slice_cap = self->size_slice = requested;
                self->max_nodes = limit;
            },
            "size_slice"_a = 0, nb::kw_only(), "max_nodes"_a = AstarEngine::default_max_nodes,
            nb::sig("def __init__(self, size_slice: typing.SupportsIndex = 0, *, "
                    "max_nodes: typing.SupportsIndex = 5000) -> None"),
            R"DOC(size_slice: largest number of two-qubit gates per slice (0: the topology's maximum
matching). max_nodes: largest number of nodes of one search (0: no limit); a
search that reaches it is redone with the sum estimate, then, if that reaches it
too, for each gate of its slice in turn.

>>> AstarCouplizer(2, max_nodes=0).size_slice
2)DOC")
        .def("set_graph", &AstarEngine::set_graph, "graph"_a.none(),
             nb::sig("def set_graph(self, graph: QubitGraph) -> None"),
             R"DOC(Set the topology; the slice size is capped by its maximum matching

>>> graph = QubitGraph(4)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(2, 3)
>>> engine = AstarCouplizer(size_slice=5)
>>> engine.set_graph(graph)
>>> engine.size_slice
2)DOC")
        .def("couplize", &AstarEngine::couplize, "circuit"_a.none(), "use_sum_heuristic"_a = false,
             nb::kw_only(), "lookahead"_a = 0, "lookahead_discount"_a = 0.5,
             nb::sig("def couplize(self, circuit: mirel.comm.datamodel.ttypes.Circuit, "
                     "use_sum_heuristic: bool = False, *, "
                     "lookahead: typing.SupportsIndex = 0, lookahead_discount: float = 0.5) "
                     "-> mirel.comm.datamodel.ttypes.Circuit"),
             R"DOC(Return a routed copy of the circuit: SWAPs inserted before each slice of gates
that does not fit the topology, then a final REMAP.

Each slice gets the fewest SWAPs possible from the placement it starts from (unless
its search reaches max_nodes and is redone), found by A* with the estimate
max(largest excess, ceil(summed excess / 2)), a gate's excess being its distance
minus one. use_sum_heuristic: estimate with the summed excess instead; it can
overestimate (one SWAP can shorten two gates), so searches are shorter but a slice
may get more SWAPs than the fewest. lookahead: also count the excess of the next
`lookahead` slices' gates, slice k after the current one weighted by
lookahead_discount**k (0 < discount <= 1); this steers each slice's placement
towards the gates that follow, at the price of the per-slice guarantee. 0 (the
default) turns it off.

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = AstarCouplizer()
>>> engine.set_graph(graph)
>>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> [(op.gate, op.qbits) for op in routed.ops]
[('SWAP', [0, 1]), ('CNOT', [1, 2]), (None, [0, 1, 2])]
>>> routed.ops[-1].remap
[1, 0, 2])DOC")
        .def_prop_ro(
            "size_slice", [](const AstarEngine& e) { return e.size_slice; },
            nb::sig("def size_slice(self, /) -> int"),
            "Largest number of two-qubit gates per slice (0: not chosen yet)")
        .def_prop_ro(
            "max_nodes_expanded", [](const AstarEngine& e) { return e.max_expanded; },
            nb::sig("def max_nodes_expanded(self, /) -> int"),
            "Largest number of nodes expanded by one search in the last couplize")
        .def_prop_ro(
            "summed_searches", [](const AstarEngine& e) { return e.summed_searches; },
            nb::sig("def summed_searches(self, /) -> int"),
            R"DOC(Searches of the last couplize that reached max_nodes and were redone with the sum
estimate (their slice may get more than the fewest SWAPs))DOC")
        .def_prop_ro(
            "split_searches", [](const AstarEngine& e) { return e.split_searches; },
            nb::sig("def split_searches(self, /) -> int"),
            "Searches of the last couplize that were redone gate by gate");
}

}  // namespace couplize::py
