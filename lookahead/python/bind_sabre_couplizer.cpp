// Python face of the SABRE engine: reads the circuit's qubit lists once, routes natively with
// the GIL released, then builds the output operations.
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/convert.hpp"
#include "common/host.hpp"
#include "common/python_flags.hpp"
#include "lookahead/background_route.hpp"
#include "lookahead/sabre.hpp"
#include "lookahead/sabre_target.hpp"
#include "lookahead/sabre_trials.hpp"
#include "lookahead/step_stream.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

// Circuits of this many operations or more route beside the building of their output. Below,
// starting a thread costs more than the overlap saves.
constexpr std::size_t kBuildBesideFrom = 2048;

struct SabreCouplizer {
    nb::object graph = nb::none();
    bool busy = false;  // a call is running (see BusyGuard)
    // The padded rows of the last routing target routed on: repeated routings on one topology
    // version do not rebuild them. Keyed by the target itself, which the rows keep alive.
    std::shared_ptr<const SabreTarget> rows;
};

// The rows for `target`, rebuilt only when the graph's topology changed since the last call.
std::shared_ptr<const SabreTarget> rows_for(SabreCouplizer& self,
                                            const std::shared_ptr<const RoutingTarget>& target) {
    if (!target) return nullptr;
    if (!self.rows || &self.rows->target() != target.get())
        self.rows = std::make_shared<const SabreTarget>(target);
    return self.rows;
}

// A finite real number: NaN or an infinity would make every SWAP score equal or undefined.
double to_finite_double(nb::handle value, const char* name) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!std::isfinite(result))
        raise(PyExc_ValueError, std::string("Argument '") + name +
                                    "' must be a finite number, not " +
                                    nb::cast<std::string>(nb::repr(nb::float_(result))));
    return result;
}

// The options of the best-quality mode; the defaults give the plain routing.
SabreTrialOptions trial_options_of(nb::handle trials, nb::handle seed, nb::handle threads,
                                   nb::handle change_initial_order) {
    SabreTrialOptions options;
    options.trials = to_uint32(trials);
    if (options.trials == 0) raise(PyExc_ValueError, "trials must be at least 1, got 0");
    int overflow = 0;
    const long long seed_value = read_integer(seed, overflow);
    if (overflow > 0) raise(PyExc_OverflowError, "seed too large to convert to a 64-bit integer");
    if (overflow < 0 || seed_value < 0)
        raise(PyExc_ValueError, "seed must be a non-negative integer, got " +
                                    nb::cast<std::string>(nb::str(to_exact_int(seed))));
    options.seed = static_cast<std::uint64_t>(seed_value);
    if (!threads.is_none()) {
        options.threads = to_uint32(threads);
        if (options.threads == 0) raise(PyExc_ValueError, "threads must be at least 1, got 0");
    }
    options.search_placement = to_bool(change_initial_order);
    return options;
}

nb::object couplize_circuit(SabreCouplizer& self, nb::handle circuit, nb::handle basic_heuristic,
                            nb::handle weight, nb::handle delta, nb::handle window_size,
                            nb::handle trials, nb::handle seed, nb::handle threads,
                            nb::handle change_initial_order) {
    BusyGuard busy(self.busy, "SabreCouplizer");
    SabreOptions options;
    options.basic_heuristic = to_bool(basic_heuristic);
    options.weight = to_finite_double(weight, "weight");
    options.delta = to_finite_double(delta, "delta");
    // A negative window becomes a very large depth: the look-ahead reaches every later group.
    options.window_size = static_cast<unsigned>(to_int32(window_size));
    const SabreTrialOptions trial_options =
        trial_options_of(trials, seed, threads, change_initial_order);
    const bool plain = trial_options.trials == 1 && !trial_options.search_placement;

    const std::uint32_t nbqbits = to_uint32(circuit.attr("nbqbits"));
    // A snapshot, so that the operations read now are the ones copied at the end.
    nb::object ops_field = circuit.attr("ops");
    const nb::tuple ops = snapshot_ops(ops_field);
    const Py_ssize_t nb_ops = PyTuple_GET_SIZE(ops.ptr());
    std::vector<std::vector<std::uint32_t>> gates(static_cast<std::size_t>(nb_ops));
    nb::str qbits_name("qbits");
    constexpr Py_ssize_t kAhead = 8;  // operations loaded ahead of the one being read
    for (Py_ssize_t k = 0; k < nb_ops; ++k) {
        if (k + kAhead < nb_ops) prefetch_object(PyTuple_GET_ITEM(ops.ptr(), k + kAhead));
        to_uint32_list(nb::handle(PyTuple_GET_ITEM(ops.ptr(), k)).attr(qbits_name), gates[k]);
    }

    nb::object graph_object = self.graph;
    std::shared_ptr<const RoutingTarget> target;
    if (!graph_object.is_none()) {
        if (!nb::isinstance<QubitGraph>(graph_object))
            raise(PyExc_TypeError, "The graph of a SabreCouplizer must be a QubitGraph, not " +
                                       std::string(Py_TYPE(graph_object.ptr())->tp_name));
        target = native_ref<QubitGraph>(graph_object, "graph").routing_target();
    }

    // Output operations: a SWAP, an input gate on its own qubits (a begin gate, placed by the
    // identity), or an input gate moved to the step's physical qubits.
    std::vector<nb::object> built;
    constexpr std::size_t kAheadSteps = kAhead;
    OpFactory& factory = OpFactory::get();
    const bool placed = trial_options.search_placement;
    auto build = [&](const SabreStep* steps, std::size_t nb, std::size_t first_index,
                     std::size_t nb_begin_gates) {
        for (std::size_t i = 0; i < nb; ++i) {
            if (i + kAheadSteps < nb && !steps[i + kAheadSteps].is_swap())
                prefetch_object(PyTuple_GET_ITEM(ops.ptr(), steps[i + kAheadSteps].gate));
            const SabreStep& step = steps[i];
            if (step.is_swap()) {
                built.push_back(factory.swap(index(step.first), index(step.second)));
            } else if (first_index + i < nb_begin_gates && !placed) {
                built.push_back(factory.copy(PyTuple_GET_ITEM(ops.ptr(), step.gate)));
            } else {
                const std::uint32_t qubits[2] = {index(step.first), index(step.second)};
                built.push_back(factory.copy(PyTuple_GET_ITEM(ops.ptr(), step.gate), qubits,
                                             step.second == SabreStep::kNone ? 1 : 2));
            }
        }
    };
    // Large plain routings run on a thread of their own while this one builds the operations of
    // the steps already made: the building then costs little beyond the routing.
    const bool beside = plain && static_cast<std::size_t>(nb_ops) >= kBuildBesideFrom &&
                        trial_options.threads != 1 && std::thread::hardware_concurrency() > 1;

    std::optional<GcPause> gc_pause;
    bool built_beside = false;
    nb::object result;
    SabreResult routed;
    // The routers take the graph's immutable snapshot while the GIL is held, so another thread
    // may use or change the graph while this one routes.
    try {
        const std::shared_ptr<const SabreTarget> rows = rows_for(self, target);
        if (plain) {
            SabreRouter router(rows, options);
            BackgroundRoute background(router);
            built_beside = beside && background.start(gates, nbqbits);
            if (built_beside) {
                gc_pause.emplace();
                result = copy_circuit_without_ops(circuit, ops_field, ops);
                built.reserve(static_cast<std::size_t>(nb_ops) * 2);
                StepStream& stream = background.stream();
                std::vector<SabreStep> batch;
                for (;;) {
                    StepStream::Take got = stream.take(batch, false);
                    if (got == StepStream::Take::none_yet) {
                        nb::gil_scoped_release release;
                        got = stream.take(batch, true);
                    }
                    if (got == StepStream::Take::ended) break;
                    build(batch.data(), batch.size(), built.size(), stream.nb_begin_gates());
                }
                nb::gil_scoped_release release;
                routed = background.finish();
            } else {
                nb::gil_scoped_release release;
                routed = router.route(std::move(gates), nbqbits);
            }
        } else {
            SabreTrials search(rows, options);
            nb::gil_scoped_release release;
            routed = search.route(gates, nbqbits, trial_options);
        }
    } catch (const MissingTopology&) {
        raise(PyExc_AttributeError,
              "SabreCouplizer has no graph: call set_graph before routing a circuit with "
              "two-qubit gates");
    }

    if (!gc_pause) gc_pause.emplace();
    // Deep copy of everything but the operations, without copying the operations first.
    if (!result.is_valid()) result = copy_circuit_without_ops(circuit, ops_field, ops);
    if (!built_beside) {
        built.reserve(routed.steps.size());
        build(routed.steps.data(), routed.steps.size(), 0, routed.nb_begin_gates);
    }

    // With placement search the circuit opens with the REMAP that places the logical qubits.
    const std::size_t first = placed ? 1 : 0;
    const std::size_t nb_steps = built.size();
    nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(first + nb_steps + 1)));
    if (!out.is_valid()) throw nb::python_error();
    if (placed)
        PyList_SET_ITEM(out.ptr(), 0, make_full_remap(routed.initial_order).release().ptr());
    for (std::size_t k = 0; k < nb_steps; ++k)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(first + k), built[k].release().ptr());
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(first + nb_steps),
                    make_full_remap(routed.final_layout).release().ptr());
    result.attr("ops") = out;
    return result;
}

}  // namespace

void bind_sabre_couplizer(nb::module_& m) {
    nb::class_<SabreCouplizer>(m, "SabreCouplizer", "Couplizer based on SABRE algorithm")
        .def(nb::init<>(), nb::sig("def __init__(self) -> None"),
             R"DOC(A SABRE engine without a topology yet: give it one with set_graph

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = SabreCouplizer()
>>> engine.set_graph(graph)
>>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> [op.gate for op in routed.ops]
['SWAP', 'CNOT', None])DOC")
        .def(
            "set_graph",
            [](SabreCouplizer& self, nb::handle graph) {
                BusyGuard busy(self.busy, "SabreCouplizer");
                if (!nb::isinstance<QubitGraph>(graph) && assertions_enabled()) {
                    PyErr_SetNone(PyExc_AssertionError);
                    throw nb::python_error();
                }
                // A subclass instance whose __init__ skipped QubitGraph's is refused now, not
                // at the first couplize.
                if (nb::isinstance<QubitGraph>(graph)) native_ref<QubitGraph>(graph, "graph");
                self.graph = nb::borrow(graph);
            },
            "graph"_a, nb::sig("def set_graph(self, graph: QubitGraph) -> None"),
            R"DOC(Set the topology (a QubitGraph) on which circuits are routed

The engine keeps the graph itself, not a copy: edges added later count in later routings.

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = SabreCouplizer()
>>> engine.set_graph(graph))DOC")
        .def("couplize", &couplize_circuit, "circuit"_a, "basic_heuristic"_a = false,
             "weight"_a = 0.5, "delta"_a = 0.001, "window_size"_a = 1, nb::kw_only(),
             "trials"_a = 1, "seed"_a = 0, "threads"_a.none() = nb::none(),
             "change_initial_order"_a = false,
             nb::sig("def couplize(self, circuit: mirel.comm.datamodel.ttypes.Circuit, "
                     "basic_heuristic: bool = False, "
                     "weight: float = 0.5, delta: float = 0.001, "
                     "window_size: typing.SupportsIndex = 1, *, trials: typing.SupportsIndex = 1, "
                     "seed: typing.SupportsIndex = 0, threads: typing.SupportsIndex | None = None, "
                     "change_initial_order: bool = False) -> mirel.comm.datamodel.ttypes.Circuit"),
             R"DOC(Route a circuit with the SABRE heuristic and return a new circuit on physical
qubits, with SWAP gates inserted and a final REMAP giving, for each physical
qubit, the logical qubit it holds. The input circuit is not modified.

When SWAPs stop executing gates for long (the heuristic circles), the closest
pair of the front layer is brought together along a shortest path and routing
goes on, so every circuit whose gates join connected qubits is routed.

Args:
    circuit (Circuit): the circuit to route
    basic_heuristic (bool): score SWAPs by the front layer only
    weight (float): weight of the look-ahead term (extended heuristic)
    delta (float): decay increment of swapped qubits (extended heuristic)
    window_size (int): look-ahead depth below the front layer
    trials (int): routings to run, keeping the one with the fewest SWAPs (the
        first on ties); trial 0 is the plain routing, later ones break score
        ties at random and look ahead 0, 1 or 2 levels deeper in turn; every
        eighth scores by the front layer only
    seed (int): seed of the random tie-breaks; the result depends on it and
        never on the number of threads
    threads (int | None): native threads running the trials (None: one per
        hardware thread); with one trial, a circuit of 2048 operations or more
        routes on a thread of its own while this one builds the output, unless
        threads is 1
    change_initial_order (bool): search a placement first (route forward, then
        backward and forward again four times, carrying the placement); the
        result then opens with a REMAP placing the logical qubits

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = SabreCouplizer()
>>> engine.set_graph(graph)
>>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> [(op.gate, op.qbits) for op in routed.ops]
[('SWAP', [1, 0]), ('CNOT', [1, 2]), (None, [0, 1, 2])]
>>> routed.ops[-1].remap  # physical qubit 0 holds logical 1, and 1 holds 0
[1, 0, 2])DOC")
        .def(
            "__getstate__", [](const SabreCouplizer& self) { return nb::make_tuple(self.graph); },
            nb::sig("def __getstate__(self) -> tuple[QubitGraph | None]"))
        .def(
            "__setstate__",
            [](SabreCouplizer& self, nb::handle state) {
                if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 1)
                    raise(PyExc_TypeError, "Invalid state of a SabreCouplizer");
                nb::handle graph = PyTuple_GET_ITEM(state.ptr(), 0);
                if (nb::isinstance<QubitGraph>(graph)) native_ref<QubitGraph>(graph, "graph");
                new (&self) SabreCouplizer{nb::borrow(PyTuple_GET_ITEM(state.ptr(), 0))};
            },
            nb::sig("def __setstate__(self, state: tuple[QubitGraph | None], /) -> None"));
}

}  // namespace couplize::py
