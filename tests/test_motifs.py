"""The pattern engine: SWAP chains before rewriting, the rewriting rules and keywords it hands to
the pattern manager, input it rejects, REMAP operations, and the routing property of its output
for both rewriting methods."""

import copy
import pickle
import random
from unittest import mock

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize import motifs, swapcore
from mirel.couplize.motifs import PatternCouplizer, QubitGraph, optimize_swap
from mirel.lumbra.libcpp_lumbra import VAR, GateName, PatternManager
from tests.support.routing import TOPOLOGIES, check_routed, line_edges, make_graph, random_circuit


def engine_on(nbqbits, edges):
    engine = PatternCouplizer()
    engine.set_graph(make_graph(QubitGraph, nbqbits, edges))
    return engine


def routed_only(engine, circuit):
    """The routing step with the rewriting replaced by the identity."""
    with mock.patch.object(motifs, "optimize_swap", lambda c, **kwargs: c):
        return engine.couplize(circuit)


def gates(circuit):
    return [(op.gate, op.qbits) for op in circuit.ops]


def swaps(circuit):
    return sum(op.gate == "SWAP" for op in circuit.ops)


def cnot(a, b):
    return Op(gate="CNOT", qbits=[a, b])


def test_module_surface():
    assert motifs.QubitGraph is swapcore.QubitGraph
    engine = pickle.loads(pickle.dumps(PatternCouplizer()))
    assert engine.graph is None
    engine.set_graph(QubitGraph(2))
    with pytest.raises(TypeError):  # the graph itself cannot be pickled
        pickle.dumps(engine)
    with pytest.raises(AssertionError, match="expects a QubitGraph, got int"):
        engine.set_graph(5)
    with pytest.raises(AssertionError, match="expects a host Circuit, got list"):
        engine.couplize([])


SWAP = "SWAP"


@pytest.mark.parametrize(
    "ops, expected",
    [
        (
            [cnot(0, 3)],
            [(SWAP, [0, 1]), (SWAP, [1, 2]), ("CNOT", [2, 3]), (SWAP, [1, 2]), (SWAP, [0, 1])],
        ),
        (
            [cnot(3, 0)],
            [(SWAP, [3, 2]), (SWAP, [2, 1]), ("CNOT", [1, 0]), (SWAP, [2, 1]), (SWAP, [3, 2])],
        ),
        (
            [cnot(0, 3), cnot(0, 3)],
            [(SWAP, [0, 1]), (SWAP, [1, 2]), ("CNOT", [2, 3]), (SWAP, [1, 2]), (SWAP, [0, 1])] * 2,
        ),
        (
            [cnot(0, 1), Op(gate="H", qbits=[2]), cnot(3, 2)],
            [("CNOT", [0, 1]), ("H", [2]), ("CNOT", [3, 2])],
        ),
    ],
    ids=["forward", "backward", "twice", "neighbours"],
)
def test_routing_step_on_a_line(ops, expected):
    circuit = Circuit(ops=ops, nbqbits=4, name="c")
    before = copy.deepcopy(circuit)
    routed = routed_only(engine_on(4, line_edges(4)), circuit)
    assert gates(routed) == expected
    assert routed.name == "c" and all(op.type == OpType.GATETYPE for op in routed.ops)
    assert circuit == before
    assert not any(new is old for new in routed.ops for old in circuit.ops)


class Recorder(PatternManager):
    """Keeps what optimize_swap asks of the pattern manager."""

    last = None

    def __init__(self, global_metric=None):
        super().__init__(global_metric=global_metric)
        self.patterns = []  # (group index, "add" or "remove", pattern)
        self.calls = []
        Recorder.last = self

    def new_group(self):
        group = super().new_group()
        index = len(self._groups) - 1
        add, remove = group.add_pattern, group.pattern_to_remove
        group.add_pattern = lambda p: (self.patterns.append((index, "add", p)), add(p))[1]
        group.pattern_to_remove = lambda p: (self.patterns.append((index, "remove", p)), remove(p))[
            1
        ]
        return group

    def replace_pattern(self, circuit, **kwargs):
        self.calls.append(kwargs)
        return super().replace_pattern(circuit, **kwargs)


@pytest.mark.parametrize(
    "kwargs, method, passed",
    [
        ({}, "annealing", {}),
        ({"method": "gradient"}, "gradient", {}),
        ({"method": "annealing", "max_iteration": 7, "temperature": 2.0}, "annealing", None),
        ({"metric": "given", "method": "gradient"}, "gradient", {}),
    ],
)
def test_keywords_reach_the_manager(kwargs, method, passed):
    metric = lambda circuit: -len(circuit.ops)  # noqa: E731
    kwargs = {k: (metric if v == "given" else v) for k, v in kwargs.items()}
    circuit = Circuit(ops=[Op(gate="SWAP", qbits=[0, 1]), Op(gate="SWAP", qbits=[0, 1])])
    with mock.patch.object(motifs, "PatternManager", Recorder):
        result = optimize_swap(circuit, **kwargs)
    manager = Recorder.last
    expected = {k: v for k, v in kwargs.items() if k != "metric"}
    expected["method"] = method
    assert manager.calls == [expected]
    if "metric" in kwargs:
        assert manager.global_metric is metric
    else:
        assert isinstance(manager.global_metric, swapcore.QuantumCostMetric)
    assert result.ops == []  # the two SWAPs form the pattern to remove


def test_rewriting_rules_handed_to_the_manager():
    with mock.patch.object(motifs, "PatternManager", Recorder):
        optimize_swap(Circuit(), method="gradient")
    recorded = Recorder.last.patterns
    assert [(g, kind) for g, kind, _ in recorded] == [
        (g, "add") for g in range(8) for _ in range(2)
    ] + [(8, "remove"), (8, "add")]
    assert recorded[-2][2] == [("SWAP", {0, 1}), ("SWAP", [0, 1])] and recorded[-1][2] == []
    names = {type(entry[0]) for _, _, p in recorded for entry in p}
    assert names == {str, GateName}
    # Odd groups carry the parameter variable on their gates, even ones do not.
    for g, _, pattern in recorded[:16]:
        gate_entries = [e for e in pattern if isinstance(e[0], GateName)]
        assert len(gate_entries) == 1
        assert (len(gate_entries[0]) == 3 and isinstance(gate_entries[0][2][0], VAR)) == (
            g % 2 == 1
        )


def test_cancelling_pairs_leave_four_swaps():
    circuit = Circuit(ops=[cnot(0, 3), cnot(0, 3)], nbqbits=4)
    for method in ("gradient", "annealing"):
        random.seed(3)
        routed = engine_on(4, line_edges(4)).couplize(circuit, method=method)
        assert swaps(routed) == 4
        check_routed(circuit, routed, 4, line_edges(4))


def remap(qubits, permutation):
    return Op(type=OpType.REMAP, qbits=list(qubits), remap=list(permutation))


@pytest.mark.parametrize(
    "op, error, message",
    [
        (Op(gate="BARRIER", qbits=[]), ValueError, "Operation 1 (BARRIER) acts on no qubit"),
        (Op(gate="GLOBAL"), ValueError, "acts on no qubit"),
        (cnot(0, 5), ValueError, "which no path of the graph joins"),
        (cnot(2, 2), ValueError, "Operation 1 acts twice on qubit 2"),
        (cnot(0, 9), ValueError, "Operation 1 acts on qubit 9, which is not in the graph (6"),
        (Op(gate="H", qbits=[-1]), ValueError, "acts on qubit -1, which is not in the graph"),
        (Op(gate="H", qbits=[1.5]), TypeError, "Operation 1 has a non-integer qubit 1.5"),
        (
            Op(gate="CCX", qbits=[0, 1, 2]),
            ValueError,
            "Cannot couplize gate acting on more than 2 qubits",
        ),
    ],
)
def test_rejected_operations(op, error, message):
    # Two parts: 0-1-2 and 3-4-5.
    engine = engine_on(6, [(0, 1), (1, 2), (3, 4), (4, 5)])
    circuit = Circuit(ops=[cnot(0, 1), op], nbqbits=6)
    with pytest.raises(error) as caught:
        engine.couplize(circuit, method="gradient")
    assert message in str(caught.value)


def test_without_graph_only_two_qubit_gates_fail():
    engine = PatternCouplizer()
    assert gates(engine.couplize(Circuit(ops=[Op(gate="H", qbits=[3])]))) == [("H", [3])]
    with pytest.raises(AttributeError):
        engine.couplize(Circuit(ops=[cnot(0, 1)]))


@pytest.mark.parametrize(
    "op, expected_swaps",
    [
        (remap([], []), 4),  # blocks nothing: both middle pairs cancel
        (remap([2], [0]), 6),  # the pair on (0, 1) cancels, the one on (1, 2) is cut
        (remap([0, 3], [1, 0]), 8),
        (remap([0, 1, 2, 3], [1, 2, 3, 0]), 8),
    ],
    ids=["empty", "one", "two", "four"],
)
@pytest.mark.parametrize("method", ["gradient", "annealing"])
def test_remap_is_copied_and_never_crossed(op, expected_swaps, method):
    circuit = Circuit(ops=[cnot(0, 3), op, cnot(0, 3)], nbqbits=4)
    engine = engine_on(4, line_edges(4))
    routed = routed_only(engine, circuit)
    assert routed.ops[5] == op and routed.ops[5] is not op
    assert swaps(routed) == 8
    random.seed(1)
    rewritten = engine.couplize(circuit, method=method)
    assert swaps(rewritten) == expected_swaps

    if len(op.qbits) == 4:
        # Nothing crosses a REMAP on every qubit: each side is a routing of one CNOT.
        position = [o.type for o in rewritten.ops].index(OpType.REMAP)
        for side in (rewritten.ops[:position], rewritten.ops[position + 1 :]):
            check_routed(Circuit(ops=[cnot(0, 3)]), Circuit(ops=side), 4, line_edges(4))


@pytest.mark.parametrize("method", ["gradient", "annealing"])
@pytest.mark.parametrize("topology", sorted(TOPOLOGIES))
def test_routes_random_circuits(topology, method):
    nbqbits, edges = TOPOLOGIES[topology]
    engine = engine_on(nbqbits, edges)
    for seed in range(3):
        circuit = random_circuit(nbqbits, 30, seed=seed)
        circuit.ops.insert(5, Op(gate="RZ", qbits=[1], params=[0.5]))
        circuit.ops.insert(9, Op(gate="CRZ", qbits=[0, nbqbits - 1], params=[0.25]))
        before = copy.deepcopy(circuit)
        random.seed(seed)
        routed = engine.couplize(circuit, method=method)
        assert circuit == before
        assert not any(op.type == OpType.REMAP for op in routed.ops)
        count = check_routed(circuit, routed, nbqbits, edges)
        assert count <= swaps(routed_only(engine, circuit))
