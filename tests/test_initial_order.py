"""Initial placements: get_initial_order and the engine's annealing and reverse updaters."""

import copy
import multiprocessing as mp
import os
import random
import signal
import subprocess
import sys
import time

import numpy
import pytest

from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op, OpType
from mirel.couplize.swapcore import (
    Couplizer,
    DurationMetric,
    PredefMetric,
    QuantumCostMetric,
    QubitGraph,
    get_initial_order,
)
from tests.support.routing import (
    check_routed,
    grid_edges,
    line_edges,
    make_graph,
    random_circuit,
    ring_edges,
)

TOPOLOGIES = {
    "line6": (6, line_edges(6)),
    "ring6": (6, ring_edges(6)),
    "grid2x3": (6, grid_edges(2, 3)),
    "star6": (6, [(0, q) for q in range(1, 6)]),
}


def cnot(a, b):
    return Op(gate="CNOT", qbits=[a, b])


def graph_of(n, edges):
    return make_graph(QubitGraph, n, edges)


def engine_on(n, edges, *args, **kwargs):
    engine = Couplizer(*args, **kwargs)
    engine.set_graph(graph_of(n, edges))
    return engine


def remap_of(op):
    assert op.type == OpType.REMAP
    return op.remap


# --- get_initial_order ------------------------------------------------------------------------


def test_line_of_three_optima_in_both_modes():
    circuit = Circuit(ops=[cnot(0, 2)], nbqbits=3)
    line = graph_of(3, line_edges(3))
    assert get_initial_order(circuit, line) == [0, 2, 1]
    optima = {(0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1)}
    found = {tuple(get_initial_order(circuit, line, False, seed=s)) for s in range(12)}
    assert found <= optima and len(found) > 1
    assert get_initial_order(circuit, line, parallel=0, seed=5) == get_initial_order(
        circuit, line, parallel=None, seed=5
    )


@pytest.mark.parametrize(
    "circuit, graph, kwargs, error, message",
    [
        (Circuit(), None, {}, TypeError, "Argument 'graph' has incorrect type"),
        (
            [cnot(0, 1)],
            graph_of(2, [(0, 1)]),
            {},
            TypeError,
            'First argument "circuit" is not an instance of mirel.comm.datamodel.ttypes.Circuit',
        ),
        (
            Circuit(ops=[cnot(0, 4)], nbqbits=5),
            graph_of(3, line_edges(3)),
            {},
            ValueError,
            "Operation 0 acts on qubit 4, which is not in the graph (3 qubits)",
        ),
        (
            Circuit(nbqbits=13),
            graph_of(13, line_edges(13)),
            {},
            ValueError,
            "13! placements of 13 qubits (12 at most); use parallel=False",
        ),
        (Circuit(), graph_of(2, [(0, 1)]), {"seed": -1}, OverflowError, "negative"),
    ],
)
def test_get_initial_order_rejects(circuit, graph, kwargs, error, message):
    with pytest.raises(error) as info:
        get_initial_order(circuit, graph, **kwargs)
    assert message in str(info.value)


def exhaustive_order_on_a_line(n):
    rng = random.Random(n)
    ops = [cnot(*rng.sample(range(n), 2)) for _ in range(30)]
    return get_initial_order(Circuit(ops=ops, nbqbits=n), graph_of(n, line_edges(n)))


@pytest.mark.skipif("fork" not in mp.get_all_start_methods(), reason="needs fork")
def test_forked_children_search_after_the_parent_did():
    # The OpenMP runtime's worker pool does not survive fork; children must not hang on it.
    expected = exhaustive_order_on_a_line(7)
    with mp.get_context("fork").Pool(2) as pool:
        orders = pool.map_async(exhaustive_order_on_a_line, [7, 7]).get(timeout=60)
    assert orders == [expected, expected]


LONG_SEARCH = """
import random, sys
from mirel.comm.datamodel.ttypes import Circuit, Op
from mirel.couplize.swapcore import QubitGraph, get_initial_order
n, parallel = int(sys.argv[1]), sys.argv[2] == "exhaustive"
rng = random.Random(n)
ops = [Op(gate="CNOT", qbits=rng.sample(range(n), 2)) for _ in range(100)]
graph = QubitGraph(n)
for q in range(n - 1):
    graph.add_edge(q, q + 1)
print("searching", flush=True)
get_initial_order(Circuit(ops=ops, nbqbits=n), graph, parallel, seed=1)
"""


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="needs SIGINT")
@pytest.mark.parametrize("n, mode", [(12, "exhaustive"), (13, "branch-and-bound")])
def test_long_searches_stop_on_keyboard_interrupt(n, mode):
    # Both take minutes or more; an interrupt must end them promptly.
    child = subprocess.Popen(
        [sys.executable, "-c", LONG_SEARCH, str(n), mode],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "searching\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert err.strip().splitlines()[-1] == "KeyboardInterrupt"


# --- couplize dispatch ------------------------------------------------------------------------


@pytest.mark.parametrize("method", ["annealing", "reverse"])
def test_no_graph_is_reported_before_any_search(method):
    with pytest.raises(Exception, match="No graph defined"):
        Couplizer().couplize(Circuit(ops=[cnot(0, 1)], nbqbits=2), True, method)


@pytest.mark.parametrize("flag", [None, 0, "", []])
def test_falsy_change_initial_order_routes_once(flag):
    engine = engine_on(4, line_edges(4))
    circuit = Circuit(ops=[cnot(0, 3)], nbqbits=4)
    assert engine.couplize(circuit, change_initial_order=flag) == engine.couplize(circuit)


# --- annealing --------------------------------------------------------------------------------


class Scripted(PredefMetric):
    """Takes the first candidate at every step and scores circuits from a script."""

    def __init__(self, scores):
        self.scores = list(scores)
        self.calls = 0

    def set_couplizer(self, couplizer):
        pass

    def init(self):
        pass

    def get_best_index(self, base_path, candidates):
        return 0

    def __copy__(self):
        return Scripted(self.scores)

    def __call__(self, circuit):
        self.calls += 1
        return self.scores.pop(0) if self.scores else 0


def test_zero_iterations_frame_the_identity_routing():
    engine = engine_on(4, line_edges(4))
    circuit = Circuit(ops=[cnot(0, 3), cnot(1, 2)], nbqbits=4)
    plain = engine.couplize(circuit)
    framed = engine.couplize(circuit, True, max_iterations=0)
    assert remap_of(framed.ops[0]) == [0, 1, 2, 3]
    assert framed.ops[1:-1] == plain.ops[:-1]
    # the inverse of the identity merged with the routing's own final REMAP
    assert framed.ops[-1].qbits == plain.ops[-1].qbits
    assert sorted(framed.ops[-1].remap) == [0, 1, 2, 3]
    check_routed(circuit, framed, 4, line_edges(4))


def test_cooling_schedule(monkeypatch):
    # Every routing scores one worse than the last, and every draw accepts: exp sees -1 / T.
    temperatures = []
    exp = numpy.exp

    def recording_exp(x):
        temperatures.append(round(-1 / x, 6))
        return exp(x)

    monkeypatch.setattr(numpy, "exp", recording_exp)
    monkeypatch.setattr(random, "uniform", lambda a, b: 0.0)
    engine = engine_on(4, line_edges(4), 3, Scripted(range(0, -100, -1)))
    engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4), True, max_iterations=25)
    assert temperatures == [1000.0] + [100.0] * 10 + [10.0] * 10 + [1.0] * 4


def test_seeded_runs_repeat():
    circuit = random_circuit(6, 60, seed=4)
    results = []
    for _ in range(2):
        random.seed(17)
        results.append(engine_on(6, line_edges(6)).couplize(circuit, True, max_iterations=30))
    assert results[0] == results[1]


@pytest.mark.parametrize(
    "first_candidate_score, expected_placement_changes",
    [(-5, True), (-10, False), (-20, False)],
)
def test_zero_temperature_is_greedy_and_stops(first_candidate_score, expected_placement_changes):
    # identity routing scores -10; the first candidate better, equal or worse
    metric = Scripted([-10, first_candidate_score])
    engine = engine_on(4, line_edges(4), 3, metric)
    random.seed(1)
    routed = engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4), True, temperature=0.0)
    assert engine.metric.calls == 2
    assert (remap_of(routed.ops[0]) != [0, 1, 2, 3]) == expected_placement_changes


@pytest.mark.parametrize("temperature", [-1.0, float("nan")])
def test_negative_or_nan_temperature_is_refused(temperature):
    engine = engine_on(4, line_edges(4))
    with pytest.raises(ValueError, match="The annealing temperature must not be negative"):
        engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4), True, temperature=temperature)
    engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4), True, "reverse", temperature=-1.0)


def test_constant_metric_keeps_the_identity():
    circuit = random_circuit(5, 30, seed=8)
    engine = engine_on(5, line_edges(5), 3, lambda circ: 0)
    random.seed(3)
    searched = engine.couplize(circuit, True, max_iterations=20)
    assert searched == engine.couplize(circuit, True, max_iterations=0)
    assert remap_of(searched.ops[0]) == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("method", ["annealing", "reverse"])
@pytest.mark.parametrize(
    "circuit",
    [
        Circuit(nbqbits=3),
        Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1),
        Circuit(ops=[cnot(0, 2), cnot(1, 0)], nbqbits=3),  # smaller than the graph
    ],
    ids=["empty", "one-qubit", "smaller-than-graph"],
)
def test_small_and_empty_circuits_route(method, circuit):
    random.seed(2)
    routed = engine_on(5, line_edges(5)).couplize(circuit, True, method, max_iterations=10)
    assert routed.ops[0].type == OpType.REMAP and routed.ops[-1].type == OpType.REMAP
    check_routed(circuit, routed, 5, line_edges(5))


def test_native_op_count_matches_the_python_op_count():
    # The built-in metrics score routings from the path length; a Python callable with the same
    # score must walk the same annealing path.
    circuit = random_circuit(6, 50, seed=12)
    circuit.ops.append(Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0]))
    results = []
    for metric in (None, QuantumCostMetric(), lambda circ: -len(circ.ops)):
        engine = (
            engine_on(6, grid_edges(2, 3), 2, metric)
            if metric
            else engine_on(6, grid_edges(2, 3), 2)
        )
        random.seed(9)
        results.append(engine.couplize(circuit, True, max_iterations=40))
    assert results[0] == results[1] == results[2]


def test_annealing_improves_on_the_identity():
    circuit = random_circuit(9, 120, seed=21, one_qubit_share=0)
    engine = engine_on(9, grid_edges(3, 3))
    identity = check_routed(circuit, engine.couplize(circuit), 9, grid_edges(3, 3))
    random.seed(0)
    searched = engine.couplize(circuit, True, max_iterations=60)
    assert check_routed(circuit, searched, 9, grid_edges(3, 3)) < identity


# --- reverse ----------------------------------------------------------------------------------


def test_reverse_on_an_identity_routing_keeps_the_identity():
    ops = [cnot(0, 1), cnot(1, 2), Op(gate="H", qbits=[0])]
    routed = engine_on(3, line_edges(3)).couplize(Circuit(ops=ops, nbqbits=3), True, "reverse")
    assert remap_of(routed.ops[0]) == [0, 1, 2]
    assert routed.ops[1:-1] == ops
    assert remap_of(routed.ops[-1]) == [0, 1, 2]


def test_reverse_starts_where_the_backward_pass_ends():
    circuit = Circuit(ops=[cnot(0, 3), cnot(0, 2)], nbqbits=4)
    engine = engine_on(4, line_edges(4))
    routed = engine.couplize(circuit, True, "reverse")
    # forward ends with 0 and 3 moved; the backward pass replays the circuit from there
    forward = engine_on(4, line_edges(4)).couplize(circuit)
    after_forward = [forward.ops[-1].remap.index(q) for q in range(4)]
    backward = Circuit(ops=circuit.ops[::-1], nbqbits=4)
    second = engine_on(4, line_edges(4)).couplize(backward, initial_order=after_forward)
    last = second.ops[-1].remap
    assert remap_of(routed.ops[0]) == [last.index(q) for q in range(4)]
    check_routed(circuit, routed, 4, line_edges(4))


# --- equivalence ------------------------------------------------------------------------------


def duration_metric():
    metric = DurationMetric()
    metric.set_gate_time({"-DEFAULT-": 1.0, "CNOT": 2.0, "SWAP": 3.0})
    return metric


METRICS = {
    "default": lambda: None,
    "quantum-cost": QuantumCostMetric,
    "duration": duration_metric,
    "callable": lambda: lambda circ: -len(circ.ops),
}


@pytest.mark.parametrize("topology", sorted(TOPOLOGIES))
@pytest.mark.parametrize("method", ["annealing", "reverse"])
@pytest.mark.parametrize("metric", sorted(METRICS))
def test_property_updaters_route_equivalently(topology, method, metric):
    nbqbits, edges = TOPOLOGIES[topology]
    circuit = random_circuit(nbqbits, 30, seed=len(topology) + len(metric))
    circuit.gateDic = {
        name: GateDefinition(name=name, syntax=GSyntax(name))
        for name in ["H", "X", "T", "CNOT", "CZ", "SWAP"]
    }
    before = copy.deepcopy(circuit)
    chosen = METRICS[metric]()
    engine = engine_on(nbqbits, edges, 2, chosen) if chosen else engine_on(nbqbits, edges, 2)
    random.seed(5)
    routed = engine.couplize(circuit, True, method, max_iterations=12)
    assert circuit == before
    check_routed(circuit, routed, nbqbits, edges)
