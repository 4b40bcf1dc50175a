"""The host-facing plugin: configuration errors and their order, topology binding, whole-batch
compilation for every method and topology kind (routing replayed, measured distributions kept),
remap records, large gates, measured qubits, observables and sample translation."""

import copy
import json

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.comm.exceptions.ttypes import ErrorType, PluginException
from mirel.comm.shared.ttypes import Sample
from mirel.core import Batch, HardwareSpecs, Job, Observable, Term, Topology, TopologyType
from mirel.couplize import bestfirst, plugin
from mirel.couplize.plugin import Couplizer, do_remap
from tests.support.routing import check_routed, line_edges, random_circuit, ring_edges
from tests.support.statevector import (
    MATRICES,
    assert_close,
    expectation,
    marginal,
    probabilities,
    run,
)

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


def remap_op(entry):
    return Op(type=OpType.REMAP, qbits=entry["qbits"], remap=entry["remap"])


# --- configuration ----------------------------------------------------------------------------

UNKNOWN = "please select an algorithm in the following list: ['velor', 'sabre', 'bka', 'kovra']"
ORDER_MESSAGE = (
    "The selected algorithm to update the initial order is not known. "
    'Please select an algorithm between [None, "annealing" and "reverse"]'
)
LARGE_MESSAGE = 'Cannot ignore large gates using a couplization method different from "velor"'


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"method": "foo"}, f"Unknown algorithm 'foo', {UNKNOWN}"),
        ({"method": ["velor"]}, f"Unknown algorithm ['velor'], {UNKNOWN}"),
        ({"method": "foo", "update_initial_order": "x"}, "Unknown algorithm 'foo'"),
        ({"method": "bka", "ignore_large_gates": True}, LARGE_MESSAGE),
        ({"method": "bka", "ignore_large_gates": True, "update_initial_order": "random"},
         ORDER_MESSAGE),
    ],
)  # fmt: skip
def test_constructor_errors_in_order(kwargs, message):
    with pytest.raises(PluginException) as caught:
        Couplizer(**kwargs)
    assert caught.value.message.startswith(message)
    assert caught.value.code == ErrorType.INVALID_ARGS


@pytest.mark.parametrize(
    "method, kwargs, expected",
    [
        ("velor", {"window_size": 2, "depth": 1}, {}),
        ("sabre", {"window_size": 2, "depth": 1},
         {"basic_heuristic": False, "weight": 0.5, "delta": 0.001, "window_size": 2}),
        ("bka", {"use_sum_heuristic": True, "size_slice": 3}, {"use_sum_heuristic": True}),
        ("kovra", {"rewriting_method": "annealing", "depth": 3},
         {"method": "annealing", "depth": 3}),
        ("kovra", {}, {"method": "gradient"}),
    ],
)  # fmt: skip
def test_engine_keywords(method, kwargs, expected):
    given = dict(kwargs)
    plug = Couplizer(method, **given)
    assert given == kwargs  # the caller's keywords are not consumed
    args = dict(plug.couplize_args)
    if method == "kovra":
        assert args.pop("metric") is Couplizer.default_metric
    assert args == expected and list(args) == list(expected)
    assert type(plug.couplizer) is Couplizer.couplize_algorithm[method]
    assert plug.graph is None and plug.graph_type is Couplizer.couplize_graph[method]


def test_default_metric_is_shared_and_get_specs_copies():
    assert Couplizer().metric is Couplizer(method="sabre").metric
    given = specs(LNN, 4)
    offered = Couplizer().get_specs(given)
    assert offered.topology == Topology(TopologyType.ALL_TO_ALL, None) and offered.nbqbits == 4
    assert given.topology.type == LNN
    assert not Couplizer().do_post_processing()
    results = object()
    assert Couplizer().post_process(results) is results


# --- topology binding -------------------------------------------------------------------------


def test_custom_graph_sized_by_its_largest_index_with_edges_as_listed():
    plug = Couplizer()
    plug._set_graph(specs(CUSTOM, 0, {0: [1], 1: [0, 2]}))
    assert plug.graph.get_nbqbits() == 3
    assert [plug.graph.get_neighbours(q) for q in range(3)] == [[1, 1], [0, 0, 2], [1]]
    lines = {n: plug._generate_lnn_graph(n) for n in (0, 1, 3)}
    assert [[g.get_neighbours(q) for q in range(n)] for n, g in lines.items()] == [
        [],
        [[]],
        [[1], [0, 2], [1]],
    ]


NO_TOPOLOGY = specs(LNN, 3)
NO_TOPOLOGY.topology = None
BAD_SPECS = [
    (NO_TOPOLOGY, ErrorType.INVALID_ARGS, "The hardware specification has no topology"),
    (specs(CUSTOM, 2, {1: [2]}), ErrorType.INVALID_ARGS,
     "The hardware is composed of 2 qubits which is incompatible with the topology (qubits of "
     "the topology must have indexes between 0 and 1 whereas the topology has an edge between "
     "qubits 1 and 2)"),
    (specs(CUSTOM, 3, None), ErrorType.INVALID_ARGS, "A CUSTOM topology needs a graph"),
    (specs(CUSTOM, 0, {}), ErrorType.INVALID_ARGS, "The graph of the CUSTOM topology is empty"),
    (specs(CUSTOM, 3, {0: [-1]}), ErrorType.INVALID_ARGS, "The graph of the CUSTOM topology"),
    (specs(CUSTOM, 3, {0: 1}), ErrorType.INVALID_ARGS, "The graph of the CUSTOM topology must"),
    (specs(7, 3), ErrorType.INVALID_ARGS, "Unknown topology type 7"),
    (5, ErrorType.ABORT, 'No specs provided - argument "specs" passed to the method "compile" '
     "is not an instance of mirel.core.HardwareSpecs"),
    (bestfirst.QubitGraph(3), ErrorType.ABORT, "No specs provided"),
]  # fmt: skip


@pytest.mark.parametrize("given, code, message", BAD_SPECS)
def test_bad_specs_rejected(given, code, message):
    batch = Batch(jobs=[Job(circuit=random_circuit(2, 3, seed=0))])
    with pytest.raises(PluginException) as caught:
        Couplizer().compile(batch, given)
    assert caught.value.message.startswith(message) and caught.value.code == code


# --- compilation end to end -------------------------------------------------------------------

LINE5, RING6 = line_edges(5), ring_edges(6)
DIRECTED = [(0, 1), (2, 1), (2, 3), (4, 3), (4, 0), (1, 3)]
TOPOLOGY_CASES = {
    # specs, physical qubits, edges, directed
    "lnn": (specs(LNN, 5), 5, LINE5, False),
    "custom": (specs(CUSTOM, None, mapping_of(RING6)), 6, RING6, False),
    "directed": (specs(CUSTOM, 5, mapping_of(DIRECTED, both_ways=False)), 5, DIRECTED, True),
    "graph": (None, 6, RING6, False),
}
METHODS = [
    ("velor", None),
    ("velor", "annealing"),
    ("velor", "reverse"),
    ("sabre", None),
    ("sabre", "reverse"),
    ("bka", None),
    ("bka", "annealing"),
    ("kovra", None),
]


def small_circuit(seed):
    circuit = random_circuit(5, 24, seed=seed)
    circuit.ops.insert(0, Op(gate="RY", qbits=[2]))  # a non-trivial measured distribution
    circuit.ops.insert(0, Op(gate="H", qbits=[0]))
    return circuit


def compiled_batch(method, updater, case, circuits, observable=None, qubits=None):
    given, size, edges, _ = TOPOLOGY_CASES[case]
    if given is None:
        graph_class = Couplizer.couplize_graph[method]
        given = graph_class(size)
        for a, b in edges:
            given.add_edge(a, b)
    jobs = [Job(circuit=c, qubits=qubits, observable=observable) for c in circuits]
    batch = Batch(jobs=jobs, meta_data={"origin": "test"})
    plug = Couplizer(method, update_initial_order=updater, max_iteration=6)
    before = repr((batch, given))
    out = plug.compile(batch, given)
    assert repr((batch, given)) == before, "compile modified its arguments"
    return out, size, edges


@pytest.mark.parametrize("case", list(TOPOLOGY_CASES))
@pytest.mark.parametrize("method, updater", METHODS)
def test_compile_routes_and_keeps_the_measured_distribution(method, updater, case):
    circuits = [small_circuit(seed) for seed in (1, 2)]
    observable = Observable(5, [Term(0.5, "ZZ", [0, 3]), Term(-1.0, "Z", [2])], constant_coeff=2.0)
    out, size, edges = compiled_batch(method, updater, case, circuits, observable, [4, 0, 2])
    assert out.meta_data["origin"] == "test"
    assert [k for k in out.meta_data if k.startswith("COUPLIZE")] == ["COUPLIZE-0", "COUPLIZE-1"]
    for index, (original, job) in enumerate(zip(circuits, out.jobs, strict=True)):
        record = json.loads(out.meta_data[f"COUPLIZE-{index}"])
        assert list(record) == ["BEGIN", "END"]
        routed = job.circuit
        assert routed.nbqbits == size and all(op.type == OpType.GATETYPE for op in routed.ops)
        assert "SWAP" not in routed.gateDic or routed.gateDic["SWAP"].arity == 2
        framed = copy.deepcopy(routed)
        for key, at in (("BEGIN", 0), ("END", None)):
            if record[key] is not None:
                assert record[key]["nbqbits"] == size
                framed.ops.insert(len(framed.ops) if at is None else at, remap_op(record[key]))
        if TOPOLOGY_CASES[case][3]:
            allowed = set(DIRECTED)
            assert all(tuple(op.qbits) in allowed for op in routed.ops if len(op.qbits) == 2)
        else:
            check_routed(original, framed, size, edges)
        # The initial state is |0...0>, so only the final permutation matters to a measurement.
        expected = probabilities(original, 5)
        measured = probabilities(routed, size)
        translated = {}
        for state, p in measured.items():
            back = do_remap(Sample(state=state), record["END"]).state
            translated[back] = translated.get(back, 0.0) + p
        assert_close(translated, expected)
        assert_close(marginal(measured, job.qubits), marginal(expected, [4, 0, 2]))
        assert job.observable.nbqbits == size
        assert expectation(measured, job.observable) == pytest.approx(
            expectation(expected, observable)
        )


def test_all_to_all_copies_batch_and_widens_circuits():
    batch = Batch(jobs=[Job(circuit=random_circuit(3, 5, seed=0))], meta_data={"k": "v"})
    out = Couplizer().compile(batch, specs(TopologyType.ALL_TO_ALL, 5))
    assert out.jobs[0].circuit.nbqbits == 5 and batch.jobs[0].circuit.nbqbits == 3
    assert out.jobs[0].circuit.ops == batch.jobs[0].circuit.ops and out.meta_data == {"k": "v"}


@pytest.mark.parametrize("method", ["velor", "sabre", "bka"])
def test_record_text_and_graph_larger_than_the_specification(method):
    circuit = Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3)
    out = Couplizer(method).compile(Batch(jobs=[Job(circuit=circuit)]), specs(LNN, 3))
    text = out.meta_data["COUPLIZE-0"]
    assert text.startswith('{"BEGIN": null, "END": {"remap": [') and text.endswith(
        '], "qbits": [0, 1, 2], "nbqbits": 3}}'
    )
    # A CUSTOM graph of 4 qubits given without a count: everything describes 4 qubits.
    out = Couplizer(method).compile(
        Batch(jobs=[Job(circuit=circuit)]), specs(CUSTOM, None, mapping_of(line_edges(4)))
    )
    record = json.loads(out.meta_data["COUPLIZE-0"])
    assert out.jobs[0].circuit.nbqbits == 4 and len(out.jobs[0].qubits) == 4
    assert record["END"] is None or record["END"]["nbqbits"] == 4


class ScriptedEngine:
    """Engine whose result is fixed by the test, to reach record shapes real engines rarely
    give."""

    def __init__(self, ops):
        self.ops = ops

    def set_graph(self, graph):
        self.graph = graph

    def couplize(self, circuit):
        if isinstance(self.ops, Exception):
            raise self.ops
        return Circuit(ops=copy.deepcopy(self.ops), nbqbits=circuit.nbqbits)


def compile_with(ops, circuit=None, updater=None, **job):
    """Compile one job on a line of 3 with an engine returning `ops` (or raising them)."""
    plug = Couplizer()
    plug.couplizer = ScriptedEngine(ops)
    plug.update_initial_order = updater
    circuit = circuit or Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=3)
    return plug.compile(Batch(jobs=[Job(circuit=circuit, **job)]), specs(LNN, 3))


def test_lone_remap_is_the_begin_entry_and_keeps_the_job():
    observable = Observable(3, [Term(1.0, "Z", [0])])
    lone = Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0])
    out = compile_with([lone], qubits=[0, 1], observable=observable)
    assert json.loads(out.meta_data["COUPLIZE-0"]) == {
        "BEGIN": {"remap": [1, 0], "qbits": [0, 1], "nbqbits": 3},
        "END": None,
    }
    assert out.jobs[0].qubits == [0, 1] and out.jobs[0].observable == observable


def too_wide_for_the_graph():
    circuit = Circuit(nbqbits=5)
    Couplizer().compile(Batch(jobs=[Job(circuit=circuit)]), specs(CUSTOM, 4, {0: [1]}))


@pytest.mark.parametrize(
    "run, message",
    [
        (lambda: compile_with(ValueError("engine says no")), "engine says no"),
        (lambda: compile_with([Op(type=OpType.MEASURE, qbits=[0])]),
         "Unsupported gate type - classic gates and measurement gates are not supported"),
        (lambda: compile_with([], updater="random"),
         "Unknow method 'random', cannot update the initial order of the circuit"),
        (too_wide_for_the_graph,
         "Cannot couplize a circuit having more qubits (nbqbits: 5) than the topology "
         "(nbqbits: 4)"),
        (lambda: Couplizer().compile(Batch(jobs=[Job()]), specs(LNN, 3)),
         "Job 0 of the batch has no circuit to compile"),
        (lambda: Couplizer().compile([], specs(LNN, 3)), "Expected a Batch holding a list of jobs"),
    ],
)  # fmt: skip
def test_compile_failures(run, message):
    with pytest.raises(PluginException) as caught:
        run()
    assert caught.value.message.startswith(message)
    cause = caught.value.__cause__
    assert cause is None or str(cause) == message


# --- large gates ------------------------------------------------------------------------------


def test_large_gates_hidden_then_restored_where_their_qubits_went():
    circuit = Circuit(ops=[Op(gate="CCNOT", qbits=[0, 1, 2]), Op(gate="SWAP", qbits=[1, 2])])
    large = plugin._remove_large_gates(circuit)
    assert large == [Op(gate="CCNOT", qbits=[0, 1, 2])]
    assert [(op.gate, op.qbits) for op in circuit.ops] == [("-0-", [0]), ("-SWAP-", [1, 2])]
    # Routed: a REMAP leaves the order [3, 4, 0, 1, 2]; the placeholder now sits on qubit 2.
    routed = Circuit(
        nbqbits=5,
        ops=[
            Op(type=OpType.REMAP, qbits=[0, 1, 2, 3, 4], remap=[2, 3, 4, 0, 1]),
            circuit.ops[1],
            copy.deepcopy(circuit.ops[0]),
            Op(gate="SWAP", qbits=[2, 3]),
            copy.deepcopy(circuit.ops[0]),
        ],
    )
    routed.ops[2].qbits = [2]
    routed.ops[4].gate = plugin._HiddenName("-0-", 0)  # a second placeholder for the same gate
    with pytest.raises(PluginException, match="appears twice"):
        plugin._add_large_gates(copy.deepcopy(routed), large)
    del routed.ops[4]
    plugin._add_large_gates(routed, large)
    assert [(op.gate, op.qbits) for op in routed.ops[1:]] == [
        ("SWAP", [1, 2]),
        ("CCNOT", [2, 3, 4]),
        ("SWAP", [2, 3]),
    ]
    with pytest.raises(PluginException, match="A large gate was lost"):
        plugin._add_large_gates(Circuit(nbqbits=3), large)


@pytest.mark.parametrize("updater", [None, "reverse", "annealing"])
@pytest.mark.parametrize("name", ["-0-", "U-12", "C-NOT", "-SWAP-", "-1"])
def test_large_gates_round_trip_and_lookalike_names_left_alone(name, updater):
    ops = [Op(gate="X", qbits=[0]), Op(gate="H", qbits=[3]), Op(gate="SWAP", qbits=[0, 4])]
    ops += [Op(gate="CCNOT", qbits=[4, 3, 1]), Op(gate=name, qbits=[2]), Op(gate="H", qbits=[1])]
    ops += [
        Op(gate="CNOT", qbits=[3, 0]),
        Op(gate="CCNOT", qbits=[1, 0, 2]),
        Op(gate=name, qbits=[3]),
    ]
    circuit = Circuit(ops=ops, nbqbits=5)
    plug = Couplizer(ignore_large_gates=True, update_initial_order=updater, max_iteration=8)
    out = plug.compile(Batch(jobs=[Job(circuit=circuit)]), specs(LNN))
    routed = out.jobs[0].circuit
    assert [op.gate for op in routed.ops].count(name) == 2
    assert [op.gate for op in routed.ops].count("CCNOT") == 2
    record = json.loads(out.meta_data["COUPLIZE-0"])
    framed = copy.deepcopy(routed)
    if record["BEGIN"]:
        framed.ops.insert(0, remap_op(record["BEGIN"]))
    if record["END"]:
        framed.ops.append(remap_op(record["END"]))
    matrices = {**MATRICES, name: MATRICES["RY"]}
    assert run(framed, 5, matrices=matrices) == pytest.approx(run(circuit, 5, matrices=matrices))


# --- remaps, measured qubits, observables, samples --------------------------------------------


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
