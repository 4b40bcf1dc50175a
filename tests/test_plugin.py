"""The host-facing plugin: configuration errors and their order, topology binding, whole-batch
compilation for every method and topology kind (routing replayed, measured distributions kept),
remap records, large gates, measured qubits, observables and sample translation."""

import copy
import json

import numpy as np
import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.comm.exceptions.ttypes import ErrorType, PluginException
from mirel.comm.shared.ttypes import Sample
from mirel.core import Batch, HardwareSpecs, Job, Observable, Term, Topology, TopologyType
from mirel.couplize import bestfirst, plugin
from mirel.couplize.plugin import Couplizer, do_remap
from tests.support.routing import check_routed, line_edges, random_circuit, ring_edges
from tests.support.statevector import MATRICES, marginal, probabilities, run, z_expectation

CUSTOM, LNN = TopologyType.CUSTOM, TopologyType.LNN


def mapping_of(edges, both_ways=True):
    mapping = {}
    for a, b in edges:
        mapping.setdefault(a, []).append(b)
        if both_ways:
            mapping.setdefault(b, []).append(a)
    return mapping


def specs(kind, nbqbits=None, graph=None):
    return HardwareSpecs(nbqbits=nbqbits, topology=Topology(type=kind, graph=graph))


def framed(routed, record):
    """The routed circuit with its recorded REMAPs put back at both ends."""
    circuit = copy.deepcopy(routed)
    for key, at in (("BEGIN", 0), ("END", None)):
        if record[key] is not None:
            op = Op(type=OpType.REMAP, qbits=record[key]["qbits"], remap=record[key]["remap"])
            circuit.ops.insert(len(circuit.ops) if at is None else at, op)
    return circuit


def plugin_error(run_it):
    with pytest.raises(PluginException) as caught:
        run_it()
    return caught.value


# --- configuration and topology binding ---------------------------------------------------

KNOWN = "please select an algorithm in the following list: ['velor', 'sabre', 'bka', 'kovra']"
ORDER = "The selected algorithm to update the initial order is not known. Please select an "
LARGE = 'Cannot ignore large gates using a couplization method different from "velor"'


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"method": "foo", "update_initial_order": "x"}, f"Unknown algorithm 'foo', {KNOWN}"),
        ({"method": ["velor"]}, f"Unknown algorithm ['velor'], {KNOWN}"),
        ({"method": "bka", "ignore_large_gates": True}, LARGE),
        ({"method": "bka", "ignore_large_gates": True, "update_initial_order": "random"}, ORDER),
    ],
)
def test_constructor_errors_in_order(kwargs, message):
    error = plugin_error(lambda: Couplizer(**kwargs))
    assert error.message.startswith(message) and error.code == ErrorType.INVALID_ARGS


@pytest.mark.parametrize(
    "kwargs",
    [
        {"method": "velor", "window_size": -3},
        {"method": "velor", "window_size": "4"},
        {"method": "bka", "size_slice": -1},
    ],
)
def test_settings_the_engine_refuses_are_plugin_errors(kwargs):
    error = plugin_error(lambda: Couplizer(**kwargs))
    assert error.code == ErrorType.INVALID_ARGS and repr(kwargs["method"]) in error.message


@pytest.mark.parametrize(
    "method, kwargs, expected",
    [
        ("velor", {"window_size": 2, "depth": 1}, {}),
        ("sabre", {"window_size": 2, "depth": 1},
         {"basic_heuristic": False, "weight": 0.5, "delta": 0.001, "window_size": 2}),
        ("bka", {"use_sum_heuristic": True, "size_slice": 3}, {"use_sum_heuristic": True}),
        ("kovra", {"rewriting_method": "annealing", "depth": 3},
         {"metric": Couplizer.default_metric, "method": "annealing", "depth": 3}),
        ("kovra", {}, {"metric": Couplizer.default_metric, "method": "gradient"}),
    ],
)  # fmt: skip
def test_engine_keywords(method, kwargs, expected):
    given = dict(kwargs)
    plug = Couplizer(method, **given)
    assert given == kwargs  # the caller's keywords are not consumed
    assert plug.couplize_args == expected and list(plug.couplize_args) == list(expected)
    assert type(plug.couplizer) is Couplizer.couplize_algorithm[method]
    assert plug.graph is None and plug.graph_type is Couplizer.couplize_graph[method]
    assert plug.metric is Couplizer().metric


def test_topology_binding_and_offered_specs():
    plug = Couplizer()
    plug._set_graph(specs(CUSTOM, 0, {0: [1], 1: [0, 2]}))
    assert [plug.graph.get_neighbours(q) for q in range(3)] == [[1, 1], [0, 0, 2], [1]]
    lines = [plug._generate_lnn_graph(n) for n in (0, 1, 3)]
    assert [[g.get_neighbours(q) for q in range(g.get_nbqbits())] for g in lines] == [
        [], [[]], [[1], [0, 2], [1]]
    ]  # fmt: skip
    given = specs(LNN, 4)
    assert plug.get_specs(given) == specs(TopologyType.ALL_TO_ALL, 4) and given.topology.type == LNN
    assert not plug.do_post_processing() and plug.post_process(given) is given


NO_TOPOLOGY = specs(LNN, 3)
NO_TOPOLOGY.topology = None
BAD_SPECS = [
    (specs(CUSTOM, 2, {1: [2]}), ErrorType.INVALID_ARGS,
     "The hardware is composed of 2 qubits which is incompatible with the topology (qubits of "
     "the topology must have indexes between 0 and 1 whereas the topology has an edge between "
     "qubits 1 and 2)"),
    (specs(CUSTOM, 3, None), ErrorType.INVALID_ARGS, "A CUSTOM topology needs a graph"),
    (specs(CUSTOM, 0, {}), ErrorType.INVALID_ARGS, "The graph of the CUSTOM topology is empty"),
    (specs(CUSTOM, 3, {0: [-1]}), ErrorType.INVALID_ARGS, "The graph of the CUSTOM topology must"),
    (specs(CUSTOM, 3, {0: 1}), ErrorType.INVALID_ARGS, "The graph of the CUSTOM topology must"),
    (specs(7, 3), ErrorType.INVALID_ARGS, "Unknown topology type 7"),
    (NO_TOPOLOGY, ErrorType.INVALID_ARGS, "The hardware specification has no topology"),
    (specs(LNN, -2), ErrorType.INVALID_ARGS, "The qubit count of the hardware must be"),
    (5, ErrorType.ABORT, 'No specs provided - argument "specs" passed to the method "compile" '
     "is not an instance of mirel.core.HardwareSpecs"),
    (bestfirst.QubitGraph(3), ErrorType.ABORT, "No specs provided"),
]  # fmt: skip


@pytest.mark.parametrize("given, code, message", BAD_SPECS)
def test_bad_specs_rejected(given, code, message):
    batch = Batch(jobs=[Job(circuit=random_circuit(2, 3, seed=0))])
    error = plugin_error(lambda: Couplizer().compile(batch, given))
    assert error.message.startswith(message) and error.code == code


# --- compilation end to end ---------------------------------------------------------------

RING6, DIRECTED = ring_edges(6), [(0, 1), (2, 1), (2, 3), (4, 3), (4, 0), (1, 3)]
TOPOLOGY_CASES = {  # specs (None: a graph object), physical qubits, edges, one-way couplings
    "lnn": (specs(LNN, 5), 5, line_edges(5), False),
    "custom": (specs(CUSTOM, None, mapping_of(RING6)), 6, RING6, False),
    "directed": (specs(CUSTOM, 5, mapping_of(DIRECTED, both_ways=False)), 5, DIRECTED, True),
    "graph": (None, 6, RING6, False),
}
METHODS = [("velor", None), ("velor", "annealing"), ("velor", "reverse"), ("sabre", None),
           ("sabre", "reverse"), ("bka", None), ("bka", "annealing"), ("kovra", None)]  # fmt: skip


@pytest.mark.parametrize("case", list(TOPOLOGY_CASES))
@pytest.mark.parametrize("method, updater", METHODS)
def test_compile_routes_and_keeps_what_is_measured(method, updater, case):
    given, size, edges, one_way = TOPOLOGY_CASES[case]
    if given is None:
        given = Couplizer.couplize_graph[method](size)
        for a, b in edges:
            given.add_edge(a, b)
    circuits = [random_circuit(5, 24, seed=seed) for seed in (1, 2)]
    for circuit in circuits:  # a non-trivial measured distribution
        circuit.ops[:0] = [Op(gate="H", qbits=[0]), Op(gate="RY", qbits=[2])]
    observable = Observable(5, [Term(0.5, "ZZ", [0, 3]), Term(-1.0, "Z", [2])], constant_coeff=2)
    jobs = [Job(circuits[0], [4, 0, 2], observable), Job(circuits[1])]
    batch = Batch(jobs=jobs, meta_data={"origin": "test"})
    before = repr((batch, given))
    out = Couplizer(method, update_initial_order=updater, max_iteration=6).compile(batch, given)
    assert repr((batch, given)) == before, "compile modified its arguments"
    assert sorted(out.meta_data) == ["COUPLIZE-0", "COUPLIZE-1", "origin"]
    for index, (source, job) in enumerate(zip(jobs, out.jobs, strict=True)):
        record = json.loads(out.meta_data[f"COUPLIZE-{index}"])
        routed = job.circuit
        assert list(record) == ["BEGIN", "END"] and routed.nbqbits == size
        assert all(record[key] is None or record[key]["nbqbits"] == size for key in record)
        assert all(op.type == OpType.GATETYPE and op.gate in routed.gateDic for op in routed.ops)
        if one_way:
            assert all(tuple(op.qbits) in DIRECTED for op in routed.ops if len(op.qbits) == 2)
        else:
            check_routed(source.circuit, framed(routed, record), size, edges)
        # The initial state is |0...0>, so only the final permutation matters to a measurement.
        expected, measured = probabilities(source.circuit, 5), probabilities(routed, size)
        back = np.zeros(2**size)
        for state, p in enumerate(measured):
            back[do_remap(Sample(state=state), record["END"]).state] += p
        assert back == pytest.approx(np.pad(expected, (0, 2**size - 32)))
        if record["END"] is not None or source.qubits is not None:
            wanted = source.qubits or range(size)
            assert marginal(measured, job.qubits) == pytest.approx(marginal(back, wanted))
        if source.observable is not None:
            assert job.observable.nbqbits == size
            assert z_expectation(measured, job.observable) == pytest.approx(
                z_expectation(expected, observable)
            )


def test_all_to_all_copies_the_batch_and_widens_circuits():
    batch = Batch(jobs=[Job(circuit=random_circuit(3, 5, seed=0))], meta_data={"k": "v"})
    out = Couplizer().compile(batch, specs(TopologyType.ALL_TO_ALL, 5))
    assert out.jobs[0].circuit.nbqbits == 5 and batch.jobs[0].circuit.nbqbits == 3
    assert out.jobs[0].circuit.ops == batch.jobs[0].circuit.ops and out.meta_data == {"k": "v"}


class ScriptedEngine:
    """Engine returning fixed operations (or raising), for record shapes and engine errors."""

    def __init__(self, ops):
        self.ops = ops

    def set_graph(self, graph):
        pass

    def couplize(self, circuit):
        if isinstance(self.ops, Exception):
            raise self.ops
        return Circuit(ops=copy.deepcopy(self.ops), nbqbits=circuit.nbqbits)


def compile_with(ops, updater=None, **job):
    plug = Couplizer()
    plug.couplizer, plug.update_initial_order = ScriptedEngine(ops), updater
    circuit = Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=3)
    return plug.compile(Batch(jobs=[Job(circuit=circuit, **job)]), specs(LNN, 3))


def test_lone_remap_is_the_begin_entry_and_keeps_the_job():
    observable = Observable(3, [Term(1.0, "Z", [0])])
    lone = Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0])
    out = compile_with([lone], qubits=[0, 1], observable=observable)
    assert out.meta_data["COUPLIZE-0"] == (
        '{"BEGIN": {"remap": [1, 0], "qbits": [0, 1], "nbqbits": 3}, "END": null}'
    )
    assert out.jobs[0].qubits == [0, 1] and out.jobs[0].observable == observable


@pytest.mark.parametrize(
    "run_it, message",
    [
        (lambda: compile_with(ValueError("engine says no")), "engine says no"),
        (lambda: compile_with([Op(type=OpType.MEASURE, qbits=[0])]),
         "Unsupported gate type - classic gates and measurement gates are not supported"),
        (lambda: compile_with([], updater="random"),
         "Unknow method 'random', cannot update the initial order of the circuit"),
        (lambda: Couplizer().compile(Batch([Job(Circuit(nbqbits=5))]), specs(CUSTOM, 4, {0: []})),
         "Cannot couplize a circuit having more qubits (nbqbits: 5) than the topology "
         "(nbqbits: 4)"),
        (lambda: Couplizer().compile(Batch(jobs=[Job()]), specs(LNN, 3)),
         "Job 0 of the batch has no circuit to compile"),
        (lambda: Couplizer().compile([], specs(LNN, 3)), "Expected a Batch holding a list of jobs"),
    ],
)  # fmt: skip
def test_compile_failures(run_it, message):
    error = plugin_error(run_it)
    assert error.message.startswith(message)
    assert error.__cause__ is None or str(error.__cause__) == message


@pytest.mark.parametrize("method", ["velor", "sabre", "bka", "kovra"])
@pytest.mark.parametrize("qubit", [-1, 1.5])
def test_a_qubit_that_is_no_index_is_named(method, qubit):
    circuit = Circuit(ops=[Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, qubit])], nbqbits=3)
    error = plugin_error(
        lambda: Couplizer(method).compile(Batch(jobs=[Job(circuit=circuit)]), specs(LNN, 3))
    )
    assert error.message == f"Operation 1 acts on qubit {qubit!r}; qubits are non-negative integers"


# --- large gates, remaps, samples -----------------------------------------------------------


def test_large_gate_put_back_where_its_logical_qubits_are():
    circuit = Circuit(ops=[Op(gate="CCNOT", qbits=[0, 1, 2]), Op(gate="SWAP", qbits=[1, 2])])
    large = plugin._remove_large_gates(circuit)
    assert large == [Op(gate="CCNOT", qbits=[0, 1, 2])]
    assert [(op.gate, op.qbits) for op in circuit.ops] == [("-0-", [0]), ("-SWAP-", [1, 2])]
    placeholder, hidden_swap = circuit.ops
    placeholder.qbits = [2]
    remap = Op(type=OpType.REMAP, qbits=[0, 1, 2, 3, 4], remap=[2, 3, 4, 0, 1])  # [3, 4, 0, 1, 2]
    routed = Circuit(nbqbits=5, ops=[remap, hidden_swap, placeholder, Op("SWAP", qbits=[2, 3])])
    plugin._add_large_gates(routed, large)
    assert [(op.gate, op.qbits) for op in routed.ops[1:3]] == [
        ("SWAP", [1, 2]),
        ("CCNOT", [2, 3, 4]),
    ]
    lost = plugin_error(lambda: plugin._add_large_gates(Circuit(nbqbits=3), large))
    assert lost.message == "A large gate was lost while routing the circuit"


@pytest.mark.parametrize("updater", [None, "reverse", "annealing"])
@pytest.mark.parametrize("name", ["-0-", "U-12", "C-NOT", "-SWAP-"])
def test_large_gates_round_trip_and_lookalike_names_left_alone(name, updater):
    ops = [Op("X", qbits=[0]), Op("H", qbits=[3]), Op("SWAP", qbits=[0, 4])]
    ops += [Op("CCNOT", qbits=[4, 3, 1]), Op(name, qbits=[2]), Op("H", qbits=[1])]
    ops += [Op("CNOT", qbits=[3, 0]), Op("CCNOT", qbits=[1, 0, 2]), Op(name, qbits=[3])]
    circuit = Circuit(ops=ops, nbqbits=5)
    plug = Couplizer(ignore_large_gates=True, update_initial_order=updater, max_iteration=8)
    out = plug.compile(Batch(jobs=[Job(circuit=circuit)]), specs(LNN))
    routed = out.jobs[0].circuit
    assert [op.gate for op in routed.ops].count(name) == 2
    whole = framed(routed, json.loads(out.meta_data["COUPLIZE-0"]))
    matrices = {**MATRICES, name: MATRICES["RY"]}
    assert run(whole, 5, matrices=matrices) == pytest.approx(run(circuit, 5, matrices=matrices))


def test_remap_helpers():
    op = Op(type=OpType.REMAP, qbits=[0, 2], remap=[1, 0])
    assert plugin._remap_order([0, 1, 2], op) == [2, 1, 0]
    assert [plugin._update_measured_qubit(q, op) for q in (0, 1, 2, 5)] == [2, 1, 0, 5]
    job = Job(circuit=Circuit(nbqbits=3))
    assert plugin._update_qubits_list(job, op) == [2, 1, 0]
    assert plugin._update_observable(job, 3, op) is None
    job.observable = Observable(2, [Term(1.5, "ZX", [0, 1])], constant_coeff=0.25)
    mapped = plugin._update_observable(job, 3, op)
    assert mapped == Observable(3, [Term(1.5, "ZX", [2, 1])], constant_coeff=0.25)
    assert job.observable.terms[0].qbits == [0, 1]


@pytest.mark.parametrize(
    "remap, states",
    [
        ({"remap": [1, 0], "qbits": [0, 1], "nbqbits": 3}, {1: 2, 4: 4, 3: 3, 2: 1}),
        ({"remap": [0, 1, 2], "qbits": [0, 1, 2], "nbqbits": 3}, {5: 5, 7: 7, 13: 5}),
        ({"remap": [2, 0, 1], "qbits": [1, 2, 3], "nbqbits": 4}, {2: 8, 8: 4, 9: 5}),
    ],
)
def test_do_remap(remap, states):
    for before, after in states.items():
        sample = Sample(state=before, probability=[0.5], amplitude=complex(1, 2))
        result = do_remap(sample, json.loads(json.dumps(remap)))
        assert (result.state, result.probability, result.amplitude) == (after, [0.5], 1 + 2j)
        assert result.probability is not sample.probability
    sample = Sample(state=3)
    assert do_remap(sample, None) is sample


# --- opt-in best-quality modes --------------------------------------------------------------

GRID9 = [(r * 3 + c, r * 3 + c + 1) for r in range(3) for c in range(2)]
GRID9 += [(r * 3 + c, r * 3 + c + 3) for r in range(2) for c in range(3)]
OPT_IN_MODES = {  # method, opt-in keywords, whether the SWAP count is at most the default's
    "sabre-trials": ("sabre", {"trials": 8, "seed": 3, "threads": 2}, True),
    "sabre-trials-one-thread": ("sabre", {"trials": 5, "seed": 11, "threads": 1}, True),
    "sabre-placement": ("sabre", {"change_initial_order": True, "trials": 4, "threads": None},
                        False),
    "velor-ahead": ("velor", {"whole_window": True, "lookahead": 4, "lookahead_weight": 2.0},
                    False),
    "velor-whole-window": ("velor", {"whole_window": True}, False),
    "bka-ahead": ("bka", {"lookahead": 3, "lookahead_discount": 0.7}, False),
}  # fmt: skip


@pytest.mark.parametrize("case", ["lnn", "grid"])
@pytest.mark.parametrize("mode", list(OPT_IN_MODES))
def test_opt_in_modes_route_end_to_end(mode, case):
    method, extra, never_worse = OPT_IN_MODES[mode]
    size, edges = (9, GRID9) if case == "grid" else (7, line_edges(7))
    given = specs(CUSTOM, size, mapping_of(edges)) if case == "grid" else specs(LNN, size)
    jobs = [Job(random_circuit(7, 60, seed=seed)) for seed in (4, 5)]
    batch = Batch(jobs=jobs)
    before = repr(batch)
    keywords = dict(extra)
    plug = Couplizer(method, **keywords)
    assert keywords == extra, "the caller's keywords were consumed"
    default = Couplizer(method)
    if method != "velor":  # the given keywords follow the default ones, in the caller's order
        assert plug.couplize_args == {**default.couplize_args, **extra}
        assert list(plug.couplize_args) == [*default.couplize_args, *extra]
    out, plain = plug.compile(batch, given), default.compile(batch, given)
    assert repr(batch) == before, "compile modified its batch"
    for index, job in enumerate(jobs):
        record = json.loads(out.meta_data[f"COUPLIZE-{index}"])
        swaps = check_routed(job.circuit, framed(out.jobs[index].circuit, record), size, edges)
        if never_worse:
            plain_record = json.loads(plain.meta_data[f"COUPLIZE-{index}"])
            plain_routed = framed(plain.jobs[index].circuit, plain_record)
            assert swaps <= check_routed(job.circuit, plain_routed, size, edges)
        if extra.get("change_initial_order"):
            assert record["BEGIN"] is not None  # the searched placement is recorded


@pytest.mark.parametrize(
    "method, kwargs, message",
    [
        ("sabre", {"trials": 0}, "trials must be an integer from 1 to 4294967295, got 0"),
        ("sabre", {"trials": 2.0}, "trials must be an integer, got 2.0"),
        ("sabre", {"seed": -1}, "seed must be an integer from 0 to"),
        ("sabre", {"seed": 2**63}, "seed must be an integer from 0 to"),
        ("sabre", {"threads": 0}, "threads must be an integer from 1"),
        ("sabre", {"threads": True}, "threads must be an integer, got True"),
        ("sabre", {"change_initial_order": 1}, "change_initial_order must be True or False"),
        ("sabre", {"change_initial_order": True, "update_initial_order": "reverse"},
         "change_initial_order searches the placement itself"),
        ("velor", {"lookahead": -1}, "lookahead must be an integer from 0"),
        ("velor", {"lookahead_weight": float("nan")}, "lookahead_weight must be a finite number"),
        ("velor", {"lookahead_weight": float("inf")}, "lookahead_weight must be a finite number"),
        ("velor", {"whole_window": "yes"}, "whole_window must be True or False"),
        ("bka", {"lookahead": 2**32}, "lookahead must be an integer from 0 to 4294967295"),
        ("bka", {"lookahead_discount": 0}, "lookahead_discount must be in (0, 1], got 0"),
        ("bka", {"lookahead_discount": 1.5}, "lookahead_discount must be in (0, 1]"),
        ("bka", {"lookahead_discount": "0.5"}, "lookahead_discount must be a number"),
    ],
)  # fmt: skip
def test_bad_opt_in_settings_are_refused_when_built(method, kwargs, message):
    error = plugin_error(lambda: Couplizer(method, **kwargs))
    assert error.code == ErrorType.INVALID_ARGS
    assert error.message.startswith(f"Invalid setting of the {method!r} engine: {message}")
