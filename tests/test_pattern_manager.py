"""The host's pattern manager: each rewriting rule of the pattern engine checked by replaying
SWAPs, removals, termination on adversarial circuits, operations it must not rewrite across,
user metrics, argument errors and what it leaves of its input."""

import copy
import itertools
import random

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize.motifs import swap_equivalences
from mirel.couplize.swapcore import QuantumCostMetric
from mirel.lumbra.graph_circuit import GraphCircuit
from mirel.lumbra.libcpp_lumbra import GateName, PatternManager
from tests.support.routing import check_routed

G = GateName(".*")
REMOVE = [("SWAP", {0, 1}), ("SWAP", [0, 1])]


def gate(*qubits):
    return (G, list(qubits))


# The rewriting rules of the pattern engine, as (first, second) per group.
GROUPS = swap_equivalences()


def manager_with(groups, removal=True, metric=None):
    manager = PatternManager(global_metric=metric)
    for patterns in groups:
        group = manager.new_group()
        for pattern in patterns:
            group.add_pattern(pattern)
    if removal:
        group = manager.new_group()
        group.pattern_to_remove(REMOVE)
        group.add_pattern([])
    return manager


def op(name, *qubits, params=None):
    return Op(gate=name, qbits=list(qubits), params=params)


def sw(a, b):
    return op("SWAP", a, b)


def instance(pattern, where, param):
    """Operations for `pattern` with local qubit j on circuit qubit where[j]."""
    ops = []
    for entry in pattern:
        qubits = [where[j] for j in sorted(entry[1])] if isinstance(entry[1], set) else entry[1]
        if entry[0] == "SWAP":
            ops.append(sw(*qubits))
        else:
            qubits = [where[j] for j in qubits]
            two = len(qubits) == 2
            name = ("CRZ" if two else "RZ") if param else ("CNOT" if two else "H")
            ops.append(op(name, *qubits, params=[0.25] if param else None))
    return ops


def closed(ops, nbqbits):
    """`ops` followed by SWAPs that bring every logical qubit back to its own index, and the
    logical circuit they apply (the original that the checker compares with)."""
    holder = list(range(nbqbits))
    logical = []
    for o in ops:
        if o.gate == "SWAP":
            a, b = o.qbits
            holder[a], holder[b] = holder[b], holder[a]
        else:
            logical.append(op(o.gate, *[holder[p] for p in o.qbits], params=o.params))
    closing = []
    for p in range(nbqbits):
        q = holder.index(p)
        if q != p:
            closing.append(sw(p, q))
            holder[p], holder[q] = holder[q], holder[p]
    return ops + closing, Circuit(ops=logical, nbqbits=nbqbits)


ALL_PAIRS = list(itertools.combinations(range(4), 2))


def signature(circuit):
    return [(o.gate, o.qbits, o.params) for o in circuit.ops]


@pytest.mark.parametrize("side", [0, 1], ids=["first", "second"])
@pytest.mark.parametrize("group", range(8), ids=[f"group{g + 1}" for g in range(8)])
def test_each_rule_alone_keeps_what_the_circuit_computes(group, side):
    param = group % 2 == 1
    ops = [op("H", 3)] + instance(GROUPS[group][side], where=[2, 0, 3], param=param)
    ops, original = closed(ops, 4)
    circuit = Circuit(ops=ops, nbqbits=4)
    before = copy.deepcopy(circuit)

    # A metric that rewards any change makes the greedy method apply exactly one rewrite.
    def changed(c):
        return int(signature(c) != signature(before))

    manager = manager_with([GROUPS[group]], removal=False, metric=changed)
    result = manager.replace_pattern(circuit, method="gradient")
    assert changed(result) == 1
    assert circuit == before
    check_routed(original, result, 4, ALL_PAIRS)


@pytest.mark.parametrize(
    "ops, left",
    [
        ([sw(0, 1), sw(1, 0)], 0),
        ([sw(0, 1), sw(1, 2), sw(2, 3), sw(2, 3), sw(1, 2), sw(0, 1)], 0),
        # Gates on other qubits between the halves do not stop the removal.
        ([sw(0, 1), op("H", 3), sw(1, 2), op("CNOT", 3, 4), sw(2, 1), op("X", 3), sw(1, 0)], 0),
        ([sw(0, 1)] * 201, 1),
        ([sw(0, 1), op("H", 1), sw(0, 1)], 2),
    ],
    ids=["pair", "nested", "interleaved", "odd-run", "blocked"],
)
def test_removals(ops, left):
    circuit = Circuit(ops=ops, nbqbits=5)
    result = manager_with([], removal=True).replace_pattern(circuit, method="gradient")
    assert sum(o.gate == "SWAP" for o in result.ops) == left
    assert [o for o in result.ops if o.gate != "SWAP"] == [o for o in ops if o.gate != "SWAP"]


@pytest.mark.parametrize(
    "blocker",
    [
        Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0]),
        Op(type=OpType.REMAP, gate="SWAP", qbits=[1], remap=[0]),
        Op(type=OpType.MEASURE, qbits=[0], cbits=[0]),
        Op(gate="X", qbits=[1], cbits=[0], type=OpType.CLASSICCTRL),
    ],
    ids=["remap", "named-remap", "measure", "controlled"],
)
@pytest.mark.parametrize("method", ["gradient", "annealing"])
def test_nothing_moves_across_other_operations(blocker, method):
    ops = [sw(0, 1), op("H", 0), blocker, op("H", 1), sw(0, 1)]
    circuit = Circuit(ops=ops, nbqbits=2)
    random.seed(0)
    result = manager_with(GROUPS).replace_pattern(circuit, method=method)
    position = result.ops.index(blocker)
    assert [o.gate for o in result.ops[:position]].count("SWAP") == 1
    assert [o.gate for o in result.ops[position + 1 :]].count("SWAP") == 1


def alternating(n):
    return [sw(i % 2, i % 2 + 1) for i in range(n)]


@pytest.mark.parametrize(
    "ops",
    [
        [sw(0, 1)] * 300,
        alternating(300),
        [sw(0, 1), op("CNOT", 0, 1)] * 100,
        [g for i in range(100) for g in (sw(0, 1), op("H", i % 2), sw(1, 2), op("CZ", 2, 1))],
    ],
    ids=["one-pair", "alternating", "swap-gate", "mixed"],
)
@pytest.mark.parametrize("method", ["gradient", "annealing"])
def test_adversarial_circuits_terminate_with_a_score_no_worse(ops, method):
    circuit = Circuit(ops=ops, nbqbits=3)
    random.seed(5)
    result = manager_with(GROUPS, metric=QuantumCostMetric()).replace_pattern(
        circuit, method=method
    )
    assert len(result.ops) <= len(ops)
    closed_ops, original = closed(ops, 3)
    closing = closed_ops[len(ops) :]
    # Same computation: the SWAPs that close the input also close the result.
    check_routed(original, Circuit(ops=result.ops + closing, nbqbits=3), 3, ALL_PAIRS)


@pytest.mark.parametrize("method", ["gradient", "annealing"])
def test_user_metric_is_never_worse_and_sees_whole_circuits(method):
    seen = []

    def fewer_swaps_on_01(circuit):
        assert isinstance(circuit, Circuit)
        seen.append(len(circuit.ops))
        score = -sum(o.gate == "SWAP" and sorted(o.qbits) == [0, 1] for o in circuit.ops)
        for o in circuit.ops:  # a metric that spoils what it is given spoils nothing else
            o.qbits = [0, 0]
        return score

    def count(circuit):
        return -sum(o.gate == "SWAP" and sorted(o.qbits) == [0, 1] for o in circuit.ops)

    ops = [sw(0, 1), op("CNOT", 1, 2), sw(0, 1), sw(1, 2), sw(1, 2), op("H", 0)]
    circuit = Circuit(ops=ops, nbqbits=3)
    random.seed(2)
    manager = manager_with(GROUPS, metric=fewer_swaps_on_01)
    result = manager.replace_pattern(circuit, method=method, max_iteration=50)
    assert count(result) == 0  # the rule of group 5 moves the SWAPs off (0, 1)
    assert seen
    closed_ops, original = closed(ops, 3)
    check_routed(original, Circuit(ops=result.ops + closed_ops[len(ops) :]), 3, ALL_PAIRS)


@pytest.mark.parametrize("method", ["gradient", "annealing"])
@pytest.mark.parametrize("depth, left", [(0, 2), (1, 0), (3, 0)])
def test_depth_bounds_the_rewrites_before_a_removal(method, depth, left):
    # The H must first move across a SWAP (group 7) before the two SWAPs meet.
    circuit = Circuit(ops=[sw(0, 1), op("H", 0), sw(0, 1)], nbqbits=2)
    random.seed(0)
    # No random rewrite: annealing comes down to its descents.
    extra = {"max_iteration": 0} if method == "annealing" else {}
    result = manager_with(GROUPS).replace_pattern(circuit, method=method, depth=depth, **extra)
    assert [o.gate for o in result.ops].count("SWAP") == left


def test_annealing_is_repeatable_with_a_seed():
    rng = random.Random(4)
    ops = [sw(*rng.sample(range(5), 2)) if rng.random() < 0.6 else op("H", 0) for _ in range(80)]
    circuit = Circuit(ops=ops, nbqbits=5)
    results = []
    for _ in range(2):
        random.seed(11)
        results.append(signature(manager_with(GROUPS).replace_pattern(circuit, method="annealing")))
    assert results[0] == results[1]


def test_output_shares_nothing_with_the_input():
    ops = [op("RZ", 0, params=[[0.5]]), sw(0, 1), op("H", 1)]
    circuit = Circuit(ops=ops, nbqbits=2)
    before = copy.deepcopy(circuit)
    result = manager_with(GROUPS).replace_pattern(circuit, method="gradient")
    result.ops[0].params[0].append(1)
    result.ops[0].qbits.append(7)
    assert circuit == before


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"method": "greedy"}, ValueError, "known methods are 'gradient', 'annealing'"),
        ({"method": None}, ValueError, "Unknown rewriting method None"),
        ({"method": "gradient", "temperature": 1.0}, TypeError, "temperature"),
        ({"method": "annealing", "window": 3}, TypeError, "window"),
        ({"method": "gradient", "depth": -1}, ValueError, "depth must be between 0 and 4, not -1"),
        ({"method": "annealing", "depth": 5}, ValueError, "depth must be between 0 and 4"),
        ({"method": "gradient", "depth": True}, TypeError, "depth"),
        ({"method": "annealing", "max_iteration": -1}, ValueError, "max_iteration"),
        ({"method": "annealing", "max_iteration": 2.5}, TypeError, "max_iteration"),
        ({"method": "annealing", "temperature": float("nan")}, ValueError, "temperature"),
        ({"method": "annealing", "temperature": "hot"}, TypeError, "temperature"),
    ],
)
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        manager_with(GROUPS).replace_pattern(Circuit(ops=[sw(0, 1)]), **kwargs)


def test_bad_groups_and_metrics():
    manager = PatternManager()
    group = manager.new_group()
    group.add_pattern([gate(0, 1)])
    with pytest.raises(ValueError, match="no counterpart"):
        group.add_pattern([gate(0, 1), gate(0, 1)])
    with pytest.raises(ValueError, match="local qubit"):
        group.add_pattern([(G, [0, 2])])
    with pytest.raises(ValueError, match="at least one gate"):
        group.pattern_to_remove([])
    lonely = manager.new_group()
    lonely.pattern_to_remove(REMOVE)
    with pytest.raises(ValueError, match="Group 1 has patterns to remove"):
        manager.replace_pattern(Circuit(), method="gradient")
    with pytest.raises(TypeError, match="global_metric"):
        PatternManager(global_metric=3)
    with pytest.raises(TypeError, match="not a number"):
        manager_with([], metric=lambda c: "high").replace_pattern(Circuit(), method="gradient")
    with pytest.raises(TypeError, match="Circuit"):
        manager_with([]).replace_pattern([sw(0, 1)])


@pytest.mark.parametrize("force_renumber", [False, True])
def test_undo_restores_the_graph(force_renumber):
    ops = [op("H", 0), sw(0, 1), op("CNOT", 0, 1), op("X", 1), sw(1, 2)]
    graph = GraphCircuit()
    graph.load_circuit(Circuit(ops=ops, nbqbits=3))
    before = signature(graph.to_circ())
    nodes = [n for n in graph._order if n.alive]
    first = graph._substitute(nodes[1:3], [op("CNOT", 1, 0), sw(0, 1)])
    if force_renumber:
        graph._renumber([])
    second = graph._substitute([first.new_nodes[1]], [])
    graph._undo(second)
    graph._undo(first)
    assert signature(graph.to_circ()) == before
    assert [n for n in graph._order if n.alive] == nodes
