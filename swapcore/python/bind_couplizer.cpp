// Couplizer: the windowed engine. Reads the circuit once, drives the native PathFinder, asks the
// metric for each step's candidate, then builds the routed host circuit.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/python/couplizer_routing.hpp"
#include "swapcore/python/duration_metric.hpp"
#include "swapcore/python/engine_types.hpp"
#include "swapcore/python/gate_lists.hpp"
#include "swapcore/qubit_graph.hpp"
#include "swapcore/schedule.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

constexpr const char* kNoReduce = "no default __reduce__ due to non-trivial __cinit__";

// Largest window: the cost of a step grows exponentially with it, and 64 is far past the point
// where a step takes seconds.
constexpr std::uint32_t kMaxWindowSize = 64;

// Largest candidate enumeration whose entries are converted to Python objects (about 100 MB).
constexpr std::size_t kPythonEntryLimit = std::size_t{1} << 19;

// The module's default metric: minus the number of operations. The engine recognises it and
// makes the equivalent choice natively (fewest entries, earliest on ties).
nb::object& default_metric() {
    static nb::object* metric = new nb::object();  // set at module load, lives with the interpreter
    return *metric;
}

// Routed host operations built from committed or candidate path entries. Input entries are
// copies of the k-th input operation with physical qubits; SWAPs are new operations. The input
// operations come from the engine's own snapshot, never from the caller's list.
class OpBuilder {
public:
    explicit OpBuilder(nb::tuple ops) : ops_(std::move(ops)) {}

    void append(nb::list& out, const PathStep* begin, const PathStep* end, std::size_t& k) const {
        OpFactory& factory = OpFactory::get();
        for (const PathStep* s = begin; s != end; ++s) {
            const std::uint32_t qubits[2] = {index(s->qubits[0]), index(s->qubits[1])};
            if (!s->is_input) {
                out.append(factory.swap(qubits[0], qubits[1]));
                continue;
            }
            // Operations without qubits keep their own (possibly None) qbits.
            if (k >= nb::len(ops_)) raise(PyExc_RuntimeError, "Routed path and circuit disagree");
            nb::handle source = PyTuple_GET_ITEM(ops_.ptr(), static_cast<Py_ssize_t>(k++));
            out.append(s->arity > 0 ? factory.copy(source, qubits, s->arity)
                                    : factory.copy(source));
        }
    }

private:
    nb::tuple ops_;
};

// Marks the engine's path finder as being stepped without the GIL for the scope's length. Set and
// cleared with the GIL held (declare it before the gil_scoped_release), so other threads read
// the flag safely: get_order then refuses rather than read the order being changed.
class SteppingWithoutGil {
public:
    explicit SteppingWithoutGil(Couplizer& engine) : flag_(engine.stepping) { flag_ = true; }
    ~SteppingWithoutGil() { flag_ = false; }
    SteppingWithoutGil(const SteppingWithoutGil&) = delete;
    SteppingWithoutGil& operator=(const SteppingWithoutGil&) = delete;

private:
    bool& flag_;
};

bool is_strictly_increasing(const std::vector<std::uint32_t>& order) {
    for (std::size_t i = 1; i < order.size(); ++i)
        if (order[i - 1] >= order[i]) return false;
    return true;
}

std::size_t checked_index(nb::handle value, std::size_t count) {
    const long long index = to_long_long(value);
    if (index < 0 || static_cast<unsigned long long>(index) >= count)
        raise(PyExc_ValueError, "The metric chose candidate " + std::to_string(index) +
                                    ", which is not the index of one of the " +
                                    std::to_string(count) + " candidates");
    return static_cast<std::size_t>(index);
}

bool is_predefined(nb::handle metric) {
    const int predefined = PyObject_IsInstance(metric.ptr(), nb::type<PredefMetric>().ptr());
    if (predefined < 0) throw nb::python_error();
    return predefined == 1;
}

// Whether `metric`'s type keeps the built-in method `name` of `base`.
bool keeps_builtin(nb::handle metric, nb::handle base, const char* name) {
    nb::object own = nb::getattr(nb::handle((PyObject*)Py_TYPE(metric.ptr())), name, nb::none());
    return own.is(nb::getattr(base, name));
}

bool uses_native_choice(nb::handle metric, bool predefined) {
    if (metric.is(default_metric())) return true;
    if (!predefined) return false;
    // A QuantumCostMetric, or a subclass that keeps its candidate choice.
    return keeps_builtin(metric, nb::type<QuantumCostMetric>(), "get_best_index");
}

// Loads the circuit's interactions into the path finder, relabelled through `placement`. A
// qubit beyond the placement is outside the graph (read_circuit refused the others); the path
// finder reports it in its own words.
void load(Couplizer& self, const CircuitQubits& input,
          const std::vector<std::uint32_t>* placement) {
    std::vector<Logical> qubits(input.qubits.size());
    for (std::size_t k = 0; k < qubits.size(); ++k) {
        const std::uint32_t q = input.qubits[k];
        qubits[k] = Logical{placement && q < placement->size() ? (*placement)[q] : q};
    }
    self.path_finder.set_interactions(std::move(qubits), input.offsets);
}

// Routes the bound circuit from the identity placement. `placement` maps circuit qubits to the
// qubits routing starts from (an explicit initial order).
nb::object couplize_once(Couplizer& self, nb::handle circuit,
                         const std::vector<std::uint32_t>* placement = nullptr) {
    const CircuitQubits input = read_circuit(self, circuit);
    nb::object result = empty_copy(input, circuit);
    route(self, circuit, input, placement, result, true);
    result.attr("ops") = routed_ops(self, input, true);
    return result;
}

// Routing from an explicit placement: initial_order[q] is the qubit logical q starts on.
nb::object couplize_from(Couplizer& self, nb::handle circuit, nb::handle initial_order) {
    if (!is_circuit(circuit))
        raise(PyExc_AssertionError, "The given argument is not an instance of Circuit");
    const std::uint32_t nbqbits = to_uint32(circuit.attr("nbqbits"));
    std::vector<std::uint32_t> placement = to_uint32_list(initial_order, "initial_order");
    if (placement.size() != nbqbits)
        raise(PyExc_ValueError,
              "Length of \"initial_order\" must be equal to the number of qubits of the circuit");
    std::vector<char> seen(placement.size(), 0);
    for (std::uint32_t p : placement) {
        if (p >= placement.size() || seen[p])
            raise(PyExc_ValueError, "Argument \"initial_order\" is not permutation of [0 ; n - 1]");
        seen[p] = 1;
    }
    return routed_from(self, circuit, read_circuit(self, circuit), placement);
}

}  // namespace

CircuitQubits read_circuit(Couplizer& self, nb::handle circuit) {
    if (!is_circuit(circuit))
        raise(PyExc_AssertionError, "The given argument is not an instance of Circuit");
    if (!self.graph_defined) raise(PyExc_Exception, "No graph defined");
    const std::uint32_t nbqbits = to_uint32(circuit.attr("nbqbits"));
    const std::uint32_t graph_size = self.path_finder.target().nb_physical();
    if (nbqbits > graph_size)
        raise(PyExc_Exception,
              "The graph does not have enought qubits:\nCircuit: " + std::to_string(nbqbits) +
                  " qubits - Graph: " + std::to_string(graph_size) + " qubits");
    self.circuit = nb::borrow(circuit);

    CircuitQubits input;
    input.ops_field = circuit.attr("ops");
    input.ops = snapshot_ops(input.ops_field);
    std::vector<std::uint32_t> scratch;
    const std::size_t count = nb::len(input.ops);
    input.qubits.reserve(2 * count);
    input.offsets.reserve(count + 1);
    for (std::size_t k = 0; k < count; ++k) {
        nb::handle op = PyTuple_GET_ITEM(input.ops.ptr(), static_cast<Py_ssize_t>(k));
        to_uint32_list(op.attr("qbits"), scratch);
        for (std::uint32_t q : scratch)
            // A qubit outside the graph is reported by the path finder, in its own words.
            if (q >= nbqbits && q < graph_size)
                raise(PyExc_ValueError, "Operation " + std::to_string(k) + " acts on qubit " +
                                            std::to_string(q) +
                                            ", which is not below the circuit's nbqbits (" +
                                            std::to_string(nbqbits) + ")");
        input.qubits.insert(input.qubits.end(), scratch.begin(), scratch.end());
        input.offsets.push_back(static_cast<std::uint32_t>(input.qubits.size()));
    }
    return input;
}

nb::object empty_copy(const CircuitQubits& input, nb::handle circuit) {
    return copy_circuit_without_ops(circuit, input.ops_field, input.ops);
}

void route(Couplizer& self, nb::handle circuit, const CircuitQubits& input,
           const std::vector<std::uint32_t>* placement, nb::handle scratch, bool init_metric) {
    self.circuit = nb::borrow(circuit);
    load(self, input, placement);
    nb::object metric = self.metric;
    const bool predefined = is_predefined(metric);
    if (predefined && init_metric) metric.attr("init")();

    PathFinder& finder = self.path_finder;
    auto has_work = [&finder] {
        return finder.candidates().size() > 0 && finder.candidates().length(0) > 0;
    };

    const bool native = uses_native_choice(metric, predefined);
    if (!native && (self.whole_window || self.lookahead > 0))
        raise(PyExc_ValueError,
              "whole_window and lookahead apply to the built-in fewest-operations choice only, "
              "but this engine's metric chooses candidates in Python");
    const std::optional<DurationModel> model =
        native ? std::nullopt : native_duration_model(metric);
    // Candidates handed to Python cost some hundred bytes per entry instead of twelve.
    finder.set_entry_limit(native || model ? PathFinder::kDefaultEntryLimit : kPythonEntryLimit);
    if (native) {
        SteppingWithoutGil stepping(self);
        nb::gil_scoped_release release;
        finder.route_fewest(self.whole_window);
        return;
    }
    if (model) {
        // The durations are copied out of the metric, so the loop needs no Python object.
        SteppingWithoutGil stepping(self);
        nb::gil_scoped_release release;
        DurationScorer scorer(*model);
        finder.step(0);
        while (has_work()) {
            scorer.catch_up(finder.base_path());
            finder.step(static_cast<std::size_t>(scorer.best_index(finder.candidates())));
        }
        return;
    }

    OpBuilder builder(input.ops);
    finder.step(0);
    while (has_work()) {
        const CandidateSet& candidates = finder.candidates();
        const std::vector<PathStep>& base = finder.base_path();
        std::size_t index = 0;
        if (predefined) {
            nb::object chosen = metric.attr("get_best_index")(
                steps_to_python(base.data(), base.data() + base.size()),
                candidates_to_python(candidates));
            index = checked_index(chosen, candidates.size());
        } else {
            nb::list base_ops;
            std::size_t k = 0;
            builder.append(base_ops, base.data(), base.data() + base.size(), k);
            nb::object best_score;
            for (std::size_t c = 0; c < candidates.size(); ++c) {
                nb::list trial =
                    nb::steal<nb::list>(PyList_GetSlice(base_ops.ptr(), 0, PY_SSIZE_T_MAX));
                std::size_t trial_k = k;
                builder.append(trial, candidates.begin(c), candidates.end(c), trial_k);
                scratch.attr("ops") = trial;
                nb::object score = metric(scratch);
                if (!best_score.is_valid() || score > best_score) {
                    best_score = score;
                    index = c;
                }
            }
        }
        finder.step(index);
    }
}

nb::list routed_ops(Couplizer& self, const CircuitQubits& input, bool final_remap,
                    bool* remap_due) {
    nb::list routed;
    std::size_t k = 0;
    const std::vector<PathStep>& base = self.path_finder.base_path();
    {
        // The routed operations hold no cycles; collecting while building them would rescan
        // every one made so far, quadratic in the length of the result.
        GcPause gc_pause;
        OpBuilder(input.ops).append(routed, base.data(), base.data() + base.size(), k);
    }
    const std::vector<std::uint32_t> order = self.path_finder.get_order();
    const bool due = !is_strictly_increasing(order);
    if (due && final_remap) routed.append(make_full_remap(order));
    if (remap_due) *remap_due = due;
    return routed;
}

void add_placement_remaps(nb::list& ops, const std::vector<std::uint32_t>& placement) {
    nb::module_ swapcore = nb::module_::import_("mirel.couplize.swapcore");
    nb::object initial = make_full_remap(placement);
    ops.insert(0, initial);
    nb::object back = swapcore.attr("inverse_remap")(initial);
    const std::size_t size = nb::len(ops);
    if (size > 1 && is_remap(ops[size - 1])) {
        nb::object last = ops.attr("pop")();
        back = swapcore.attr("merge_remaps")(last, back);
    }
    ops.append(back);
}

nb::object routed_from(Couplizer& self, nb::handle circuit, const CircuitQubits& input,
                       const std::vector<std::uint32_t>& placement) {
    nb::object result = empty_copy(input, circuit);
    route(self, circuit, input, &placement, result, true);
    nb::list ops = routed_ops(self, input, true);
    add_placement_remaps(ops, placement);
    result.attr("ops") = ops;
    return result;
}

bool scores_by_op_count(nb::handle metric) {
    if (metric.is(default_metric())) return true;
    return keeps_builtin(metric, nb::type<QuantumCostMetric>(), "__call__");
}

namespace {

// A property whose deletion stores None, as the engine's public attributes do. `name` and
// `type` (the Python type of the value) make the signatures of its getter, setter and deleter.
nb::object nullable_property(nb::object Couplizer::* field, const std::string& name,
                             const std::string& type, const char* doc) {
    const std::string get_sig = "def " + name + "(self, /) -> " + type + " | None";
    // None is refused on assignment (only deletion stores it), so the setter's type has no None.
    const std::string set_sig = "def " + name + "(self, value: " + type + ", /) -> None";
    nb::object getter = nb::cpp_function(
        [field](Couplizer& self) -> nb::object {
            return (self.*field).is_valid() ? self.*field : nb::none();
        },
        nb::is_method(), nb::sig(get_sig.c_str()));
    nb::object setter = nb::cpp_function(
        [field](Couplizer& self, nb::handle value) { self.*field = nb::borrow(value); },
        nb::is_method(), nb::sig(set_sig.c_str()));
    const std::string del_sig = "def " + name + "(self, /) -> None";
    nb::object deleter = nb::cpp_function([field](Couplizer& self) { self.*field = nb::none(); },
                                          nb::is_method(), nb::sig(del_sig.c_str()));
    return nb::module_::import_("builtins").attr("property")(getter, setter, deleter, doc);
}

// The engine holds Python objects (circuit, metric) that may refer back to it, e.g. a metric
// bound to its engine; the garbage collector must see them to break such cycles.
int couplizer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Couplizer* engine = nb::inst_ptr<Couplizer>(self);
    Py_VISIT(engine->circuit.ptr());
    Py_VISIT(engine->metric.ptr());
    return 0;
}

int couplizer_clear(PyObject* self) {
    Couplizer* engine = nb::inst_ptr<Couplizer>(self);
    engine->circuit.reset();
    engine->metric.reset();
    return 0;
}

PyType_Slot couplizer_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(couplizer_traverse)},
                                 {Py_tp_clear, reinterpret_cast<void*>(couplizer_clear)},
                                 {0, nullptr}};

}  // namespace

void bind_couplizer(nb::module_& m) {
    default_metric() = nb::cpp_function(
        [](nb::handle circ) -> long long {
            return -static_cast<long long>(nb::len(nb::object(circ.attr("ops"))));
        },
        nb::arg("circ"), nb::name("default_metric"),
        nb::sig("def default_metric(circ: mirel.comm.datamodel.ttypes.Circuit) -> int"),
        R"DOC(Default metric of the Couplizer: the opposite of the number of operations

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> default_metric(Circuit(ops=[Op(gate="H", qbits=[0]), Op(gate="X", qbits=[0])], nbqbits=1))
-2)DOC");
    m.attr("default_metric") = default_metric();

    nb::class_<Couplizer> cls(m, "Couplizer", nb::type_slots(couplizer_slots),
                              R"DOC(Couplizer inserting SWAP gates with a windowed exhaustive search

>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = Couplizer(window_size=2)
>>> engine.set_graph(graph)
>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> [op.gate for op in routed.ops]
['SWAP', 'CNOT', None])DOC");
    cls.def(
           "__init__",
           [](nb::pointer_and_handle<Couplizer> self, nb::handle window_size, nb::handle metric,
              bool whole_window, nb::handle lookahead, double lookahead_weight) {
               const std::uint32_t window = to_uint32(window_size);
               if (window == 0)
                   raise(PyExc_ValueError, "Window size should be a positive integer (not null)");
               // The search recurses once per interaction of the window and its cost grows
               // exponentially with it: a larger window is refused rather than run for hours.
               if (window > kMaxWindowSize)
                   raise(PyExc_ValueError, "Window size should be at most " +
                                               std::to_string(kMaxWindowSize) + ", got " +
                                               std::to_string(window));
               const std::uint32_t ahead = to_uint32(lookahead);
               if (!(lookahead_weight >= 0.0) || std::isinf(lookahead_weight))
                   raise(PyExc_ValueError, "lookahead_weight must be a finite number >= 0, got " +
                                               std::to_string(lookahead_weight));
               nb::object circuit = HostTypes::get().Circuit();
               nb::handle chosen = metric.is_none() ? default_metric() : metric;
               nb::object own_metric;
               if (is_predefined(chosen)) {
                   // The engine works with its own copy, bound to it; the caller's metric stays
                   // free for other engines. Bound before the engine exists, so that a refusal
                   // (a metric already serving another engine) leaves nothing half-built.
                   own_metric = HostTypes::get().copy(chosen);
                   own_metric.attr("set_couplizer")(self.h);
               } else {
                   own_metric = nb::borrow(chosen);
               }
               new (self.p) Couplizer();
               self.p->window_size = window;
               self.p->whole_window = whole_window;
               self.p->lookahead = ahead;
               self.p->lookahead_weight = lookahead_weight;
               self.p->circuit = std::move(circuit);
               self.p->metric = std::move(own_metric);
           },
           "window_size"_a = 3, "metric"_a.none() = nb::none(), nb::kw_only(),
           "whole_window"_a = false, "lookahead"_a = 0, "lookahead_weight"_a = 0.5,
           nb::sig("def __init__(self, window_size: typing.SupportsIndex = 3, "
                   "metric: PredefMetric | "
                   "collections.abc.Callable[[mirel.comm.datamodel.ttypes.Circuit], typing.Any] | "
                   "None = None, *, whole_window: bool = False, "
                   "lookahead: typing.SupportsIndex = 0, lookahead_weight: float = 0.5) -> None"),
           R"DOC(window_size: interactions each candidate covers (default 3). metric: chooses among
the candidates (default: fewest operations). whole_window: commit each chosen
candidate whole and search the next window after it, instead of committing its
first interaction and searching again from the next one. lookahead: for each
meeting point, also weigh the mean excess distance (distance - 1) of the next
`lookahead` two-qubit interactions under the placement it leaves, times
lookahead_weight; 0 (the default) turns it off. Both only change the built-in
fewest-operations choice, trading it for fewer SWAPs over the whole circuit; with a
Python metric, which sees every candidate of each step, couplize rejects them

>>> Couplizer(4, lookahead=4, lookahead_weight=2.0).metric is default_metric
True)DOC")
        .def(
            "set_graph",
            [](Couplizer& self, nb::handle graph) {
                BusyGuard busy(self.busy, "Couplizer");
                // The graph's snapshot, shared with it until it changes: repeated routings on
                // one topology build its distances once.
                self.path_finder = PathFinder(
                    native_ref<QubitGraph>(graph, "graph").routing_target(), self.window_size);
                self.path_finder.set_lookahead(self.lookahead, self.lookahead_weight);
                self.graph_defined = true;
            },
            "graph"_a.none(), nb::sig("def set_graph(self, graph: QubitGraph) -> None"),
            R"DOC(Define the hardware topology (a copy of the given QubitGraph is kept)

>>> graph = QubitGraph(2)
>>> graph.add_edge(0, 1)
>>> Couplizer().set_graph(graph))DOC")
        .def(
            "couplize",
            [](Couplizer& self, nb::handle circuit, nb::handle change_initial_order,
               nb::handle method, nb::handle initial_order, nb::handle max_iterations,
               nb::handle temperature) -> nb::object {
                BusyGuard busy(self.busy, "Couplizer");
                const bool change = to_bool(change_initial_order);
                const std::int32_t iterations = to_int32(max_iterations);
                const double start_temperature = PyFloat_AsDouble(temperature.ptr());
                if (start_temperature == -1.0 && PyErr_Occurred()) throw nb::python_error();
                if (!method.is_none() && !PyUnicode_CheckExact(method.ptr()))
                    raise(PyExc_TypeError, std::string("Argument 'method' has incorrect type "
                                                       "(expected str, got ") +
                                               Py_TYPE(method.ptr())->tp_name + ")");
                if (initial_order.is_none()) {
                    if (!change) return couplize_once(self, circuit);
                    const std::string name = nb::cast<std::string>(nb::str(method));
                    if (name == "annealing")
                        return couplize_annealing(self, circuit, iterations, start_temperature);
                    if (name == "reverse") return couplize_reverse(self, circuit);
                    raise(PyExc_ValueError, "Unknown method " + name);
                }
                if (change)
                    raise(PyExc_ValueError,
                          "If \"initial_order\" is passed in argument, \"change_initial_order\" "
                          "must be False (or undefined");
                return couplize_from(self, circuit, initial_order);
            },
            "circuit"_a, "change_initial_order"_a.none() = false, "method"_a.none() = "annealing",
            "initial_order"_a.none() = nb::none(), "max_iterations"_a.none() = 250,
            "temperature"_a.none() = 1000.0,
            nb::sig("def couplize(self, circuit: mirel.comm.datamodel.ttypes.Circuit, "
                    "change_initial_order: bool = False, "
                    "method: str | None = 'annealing', "
                    "initial_order: collections.abc.Sequence[typing.SupportsIndex] | None = None, "
                    "max_iterations: typing.SupportsIndex = 250, temperature: float = 1000.0) "
                    "-> mirel.comm.datamodel.ttypes.Circuit"),
            R"DOC(Insert SWAP gates so that every two-qubit gate acts on neighbouring qubits

Args:
    circuit (Circuit): the circuit to route (not modified)
    change_initial_order (bool): search a better initial placement first, with `method`
    method (str): "annealing" (simulated annealing over placements, scored by the metric;
        seed the `random` module for reproducible runs) or "reverse" (route forward, backward
        from where the qubits ended, then forward again from where they ended)
    initial_order (list<int>): explicit placement, entry q being the qubit logical qubit q
        starts on
    max_iterations (int): annealing iterations
    temperature (float): starting annealing temperature, divided by 10 every 10 iterations

Returns:
    Circuit: a new circuit, ending with a REMAP when the final placement is not the identity;
    with a placement, it starts with the placement REMAP and ends with its inverse

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = Couplizer()
>>> engine.set_graph(graph)
>>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> [(op.gate, op.qbits) for op in routed.ops]
[('SWAP', [1, 2]), ('CNOT', [0, 1]), (None, [0, 1, 2])]
>>> routed.ops[-1].remap
[0, 2, 1])DOC")
        .def(
            "get_order",
            [](const Couplizer& self) {
                // A metric called back by couplize may read the order of the routing under way
                // (the GIL is held then); another thread may not while the routing runs without
                // the GIL.
                if (self.stepping) BusyGuard::raise_busy("Couplizer");
                return to_int_list(self.path_finder.get_order());
            },
            nb::sig("def get_order(self) -> list[int]"),
            R"DOC(For each physical qubit, the logical qubit it holds after the last couplization

While another thread's couplize of this engine routes, the order is in flux and the call raises
RuntimeError (a metric called back by couplize reads the order under way).

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> engine = Couplizer()
>>> engine.set_graph(graph)
>>> _ = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
>>> engine.get_order()
[0, 2, 1])DOC")
        .def(
            "__reduce__", [](nb::handle) -> nb::object { raise(PyExc_TypeError, kNoReduce); },
            nb::sig("def __reduce__(self) -> typing.NoReturn"));
    cls.attr("circuit") = nullable_property(
        &Couplizer::circuit, "circuit", "mirel.comm.datamodel.ttypes.Circuit",
        "The circuit being or last routed (an empty Circuit at first; deleting it stores None)");
    cls.attr("metric") = nullable_property(
        &Couplizer::metric, "metric",
        "PredefMetric | collections.abc.Callable[[mirel.comm.datamodel.ttypes.Circuit], "
        "typing.Any]",
        "The metric choosing among the candidates: its own copy of a predefined metric, or "
        "the callable given (deleting it stores None)");
}

}  // namespace couplize::py
