"""Remap utilities of swapcore: calc_swaps, inverse_remap, merge_remaps, replace_middle_remap."""

import copy
import random
import re
import subprocess
import sys
from collections import defaultdict

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize.swapcore import (
    QubitGraph,
    calc_swaps,
    inverse_remap,
    merge_remaps,
    replace_middle_remap,
)
from tests.support.routing import TOPOLOGIES, line_edges, make_graph


def remap(qbits, perm, **fields):
    return Op(type=OpType.REMAP, qbits=list(qbits), remap=list(perm), **fields)


def gate(name, *qubits):
    return Op(gate=name, qbits=list(qubits))


def swap(a, b):
    return Op(gate="SWAP", qbits=[a, b], type=OpType.GATETYPE)


def line(n):
    return make_graph(QubitGraph, n, line_edges(n))


def replay(circuit, nbqbits):
    """Contents of each qubit at the end, and the gates each logical state went through: SWAPs
    and REMAPs move states, every other gate is recorded on the states it touches."""
    holder = list(range(nbqbits))
    seen = defaultdict(list)
    for op in circuit.ops:
        if op.type == OpType.REMAP:
            contents = [holder[q] for q in op.qbits]
            for i, content in enumerate(contents):
                holder[op.qbits[op.remap[i]]] = content
        elif op.gate == "SWAP":
            a, b = op.qbits
            holder[a], holder[b] = holder[b], holder[a]
        else:
            logical = tuple(holder[q] for q in op.qbits)
            for content in logical:
                seen[content].append((op.gate, logical))
    return holder, dict(seen)


# --- calc_swaps ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "perm, expected",
    [
        ([0, 1, 2], []),
        ([2, 1, 0], [(0, 1), (1, 2), (0, 1)]),
        ([1, 2, 0], [(1, 2), (0, 1)]),
    ],
)
def test_calc_swaps_on_a_line(perm, expected):
    op = remap([0, 1, 2], perm)
    assert calc_swaps(line(3), op) == expected
    assert calc_swaps(graph=line(3), classical_remap=op) == expected
    assert op == remap([0, 1, 2], perm)


def test_calc_swaps_of_an_empty_remap():
    assert calc_swaps(line(3), remap([], [])) == []


@pytest.mark.parametrize("seed", range(20))
def test_calc_swaps_moves_each_state_to_its_target(seed):
    rng = random.Random(seed)
    n, edges = TOPOLOGIES[rng.choice(sorted(TOPOLOGIES))]
    graph = make_graph(QubitGraph, n, edges)
    qbits = rng.sample(range(n), rng.randrange(n + 1))
    perm = rng.sample(range(len(qbits)), len(qbits))
    swaps = calc_swaps(graph, remap(qbits, perm))
    edge_set = {frozenset(e) for e in edges}
    assert all(frozenset(s) in edge_set for s in swaps)
    holder, _ = replay(Circuit(ops=[swap(a, b) for a, b in swaps]), n)
    expected, _ = replay(Circuit(ops=[remap(qbits, perm)]), n)
    assert holder == expected


# Two equally short routes from 0 to 5 (0-1-4-5 and 0-3-2-5); the graph's path(5, 0), reversed,
# takes the other one than path(0, 5).
TWO_ROUTES = [(0, 1), (1, 4), (4, 5), (0, 3), (3, 2), (2, 5)]


def test_swaps_do_not_depend_on_earlier_path_queries():
    fresh = make_graph(QubitGraph, 6, TWO_ROUTES)
    primed = make_graph(QubitGraph, 6, TWO_ROUTES)
    assert primed.path(5, 0)[::-1] != fresh.path(0, 5)  # the two routes really differ
    op = remap([0, 5], [1, 0])
    assert (
        calc_swaps(primed, op) == calc_swaps(fresh, op) == [(0, 3), (3, 2), (2, 5), (3, 2), (0, 3)]
    )
    circuit = Circuit(ops=[gate("CNOT", 0, 1), op, gate("CNOT", 0, 1)], nbqbits=6)
    assert replace_middle_remap(circuit, primed).ops == replace_middle_remap(circuit, fresh).ops


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, remap([0], [0])), "The first argument must be a QubitGraph"),
        ((QubitGraph(2), [0, 1]), "The second argument must be an Op"),
        ((QubitGraph(2), gate("H", 0)), "The second argument is not a REMAP"),
        (
            (QubitGraph(2), remap([0, 1], [0])),
            "In classical_remap, 'qbits' field and 'remap' field have not the same length",
        ),
    ],
)
def test_calc_swaps_argument_errors(args, message):
    with pytest.raises(Exception) as info:
        calc_swaps(*args)
    assert type(info.value) is Exception
    assert str(info.value) == message


@pytest.mark.parametrize(
    "op, message",
    [
        (
            remap([0, 3], [1, 0]),
            "The remap acts on qubit 3, which is not in the graph (3 qubits)",
        ),
        (
            remap([0, 1, 2], [1, 1, 0]),
            "The remap is not a permutation of its positions: 1 appears twice",
        ),
        (
            remap([0, 1], [0, 5]),
            "The remap is not a permutation of its positions: entry 1 is 5, not below 2",
        ),
        (remap([1, 1], [1, 0]), "The remap lists qubit 1 twice"),
    ],
)
def test_calc_swaps_rejects_bad_remaps(op, message):
    with pytest.raises(ValueError) as info:
        calc_swaps(line(3), op)
    assert str(info.value) == message


def test_calc_swaps_across_components():
    graph = QubitGraph(4)
    graph.add_edge(0, 1)
    graph.add_edge(2, 3)
    with pytest.raises(ValueError) as info:
        calc_swaps(graph, remap([0, 1, 3], [1, 2, 0]))
    assert str(info.value) == (
        "Impossible to transform the classical remap into quantum swaps (the graph is not "
        "connected)"
    )


def test_calc_swaps_negative_qubit_and_argument_count():
    with pytest.raises(OverflowError):
        calc_swaps(line(3), remap([-1, 0], [1, 0]))
    with pytest.raises(TypeError):
        calc_swaps(line(3))
    with pytest.raises(TypeError):
        calc_swaps(line(3), remap([0], [0]), 1)


# --- inverse_remap and merge_remaps ------------------------------------------------------


def test_inverse_remap_example_and_fields():
    op = remap([3, 5, 7], [1, 2, 0], gate="R", formula="f")
    inverse = inverse_remap(remap=op)
    assert inverse == remap([3, 5, 7], [2, 0, 1], gate="R", formula="f")
    assert inverse is not op and inverse.qbits is not op.qbits
    assert op == remap([3, 5, 7], [1, 2, 0], gate="R", formula="f")
    assert merge_remaps(op, inverse) == remap([3, 5, 7], [0, 1, 2])


@pytest.mark.parametrize(
    "first, second, expected",
    [
        (remap([0, 1], [1, 0]), remap([1, 2], [1, 0]), remap([0, 1, 2], [2, 0, 1])),
        # Disjoint: the union (ascending) with each part unchanged.
        (remap([4, 5], [1, 0]), remap([0, 2], [1, 0]), remap([0, 2, 4, 5], [1, 0, 3, 2])),
        # Unsorted qubit lists: positions refer to the sorted union in the result.
        (remap([2, 0], [1, 0]), remap([], []), remap([0, 2], [1, 0])),
        (remap([], []), remap([], []), remap([], [])),
    ],
)
def test_merge_remaps_examples(first, second, expected):
    originals = copy.deepcopy((first, second))
    assert merge_remaps(first_remap=first, second_remap=second) == expected
    assert (first, second) == originals


@pytest.mark.parametrize("seed", range(10))
def test_merge_remaps_is_first_then_second(seed):
    rng = random.Random(seed)
    ops = []
    for _ in range(2):
        qbits = rng.sample(range(6), rng.randrange(7))
        ops.append(remap(qbits, rng.sample(range(len(qbits)), len(qbits))))
    merged = merge_remaps(*ops)
    assert merged.qbits == sorted(merged.qbits)
    assert replay(Circuit(ops=[merged]), 6) == replay(Circuit(ops=ops), 6)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: inverse_remap([1, 0]),
            ValueError,
            "The given argument is not an instance of mirel.comm.datamodel.ttypes.Op",
        ),
        (lambda: inverse_remap(gate("H", 0)), TypeError, "The given argument is not a REMAP"),
        (
            lambda: inverse_remap(remap([0, 1, 2], [0, 0, 1])),
            ValueError,
            "The remap is not a permutation of its positions: 0 appears twice",
        ),
        (
            lambda: merge_remaps(remap([0], [0]), None),
            ValueError,
            "At least one argument is not an instance of mirel.comm.datamodel.ttypes.Op",
        ),
        (
            lambda: merge_remaps(gate("H", 0), remap([0], [0])),
            TypeError,
            "At least one argument is not a REMAP",
        ),
        (
            lambda: merge_remaps(remap([0, 1], [0, 2]), remap([0], [0])),
            ValueError,
            "The remap is not a permutation of its positions: entry 1 is 2, not below 2",
        ),
    ],
)
def test_inverse_and_merge_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


# --- replace_middle_remap ------------------------------------------------------------------


def circuit(*ops, n=3):
    return Circuit(ops=list(ops), nbqbits=n, name="c", gateDic={"H": "definition"})


@pytest.mark.parametrize(
    "ops, expected",
    [
        # Before every gate on its qubits: moved to the start, keeping its order with others.
        (
            [gate("H", 2), remap([0, 1], [1, 0]), remap([0], [0]), gate("X", 0)],
            [remap([0, 1], [1, 0]), remap([0], [0]), gate("H", 2), gate("X", 0)],
        ),
        # After a gate on one of its qubits and before none: moved to the end.
        (
            [gate("H", 0), remap([0, 1], [1, 0]), gate("X", 2)],
            [gate("H", 0), gate("X", 2), remap([0, 1], [1, 0])],
        ),
        # Between gates: replaced in place by SWAPs along the line.
        (
            [gate("H", 0), remap([0, 1, 2], [2, 1, 0]), gate("X", 2)],
            [gate("H", 0), swap(0, 1), swap(1, 2), swap(0, 1), gate("X", 2)],
        ),
        # A REMAP following one that goes to the end on a shared qubit stays after it.
        (
            [gate("H", 0), remap([0, 1], [1, 0]), remap([1, 2], [1, 0])],
            [gate("H", 0), remap([0, 1], [1, 0]), remap([1, 2], [1, 0])],
        ),
        # Two middle REMAPs whose SWAPs meet as SWAP(1,2) SWAP(2,1): they cancel.
        (
            [
                gate("H", 0),
                gate("H", 1),
                remap([1, 2], [1, 0]),
                remap([2, 1], [1, 0]),
                gate("X", 2),
            ],
            [gate("H", 0), gate("H", 1), gate("X", 2)],
        ),
        # Existing SWAPs cancel through the dependency graph, across a gate on another qubit.
        ([swap(1, 2), gate("H", 0), swap(1, 2)], [gate("H", 0)]),
        # A gate on a shared qubit in between blocks the cancellation.
        ([swap(1, 2), gate("H", 1), swap(1, 2)], [swap(1, 2), gate("H", 1), swap(1, 2)]),
        ([], []),
    ],
)
def test_replace_middle_remap_placements(ops, expected):
    circ = circuit(*ops)
    original = copy.deepcopy(circ)
    result = replace_middle_remap(circ=circ, graph=line(3))
    assert result.ops == expected
    assert (result.name, result.nbqbits, result.gateDic) == ("c", 3, {"H": "definition"})
    assert circ == original
    assert all(op is not kept for op in result.ops for kept in circ.ops)
    assert result.gateDic is not circ.gateDic


@pytest.mark.parametrize("seed", range(25))
def test_replace_middle_remap_keeps_the_circuit_meaning(seed):
    rng = random.Random(seed)
    name = rng.choice(sorted(TOPOLOGIES))
    n, edges = TOPOLOGIES[name]
    ops = []
    for _ in range(rng.randrange(1, 25)):
        kind = rng.random()
        if kind < 0.3:
            qbits = rng.sample(range(n), rng.randrange(1, n + 1))
            ops.append(remap(qbits, rng.sample(range(len(qbits)), len(qbits))))
        elif kind < 0.4:
            a, b = rng.choice(edges)
            ops.append(swap(a, b))
        else:
            ops.append(gate(rng.choice(["H", "CNOT"]), *rng.sample(range(n), rng.randrange(1, 3))))
    circ = Circuit(ops=ops, nbqbits=n)
    result = replace_middle_remap(circ, make_graph(QubitGraph, n, edges))
    assert replay(result, n) == replay(circ, n)
    edge_set = {frozenset(e) for e in edges}
    assert all(frozenset(op.qbits) in edge_set for op in result.ops if op.gate == "SWAP")
    # REMAPs only at the two ends.
    kinds = "".join("R" if op.type == OpType.REMAP else "G" for op in result.ops)
    assert re.fullmatch("R*G*R*", kinds), kinds


@pytest.mark.parametrize(
    "ops, n, message",
    [
        (
            [gate("H", 0), remap([0, 4], [1, 0]), gate("H", 0)],
            5,
            "Operation 1 of the circuit: qubit 4 is not in the graph (3 qubits)",
        ),
        (
            [gate("CNOT", 0, 3)],
            5,
            "Operation 0 of the circuit: qubit 3 is not in the graph (3 qubits)",
        ),
        (
            [gate("H", 0), gate("CNOT", 0, 2)],
            2,
            "Operation 1 of the circuit: qubit 2 is not below nbqbits (2)",
        ),
        (
            [remap([0, 1], [0, 0]), gate("H", 0)],
            3,
            "Operation 0 of the circuit: The remap is not a permutation of its positions: "
            "0 appears twice",
        ),
    ],
)
def test_replace_middle_remap_rejects_bad_circuits(ops, n, message):
    circ = circuit(*ops, n=n)
    original = copy.deepcopy(circ)
    with pytest.raises(ValueError) as info:
        replace_middle_remap(circ, line(3))
    assert str(info.value) == message
    assert circ == original


def test_replace_middle_remap_disconnected_middle_remap():
    graph = QubitGraph(4)
    graph.add_edge(0, 1)
    graph.add_edge(2, 3)
    circ = circuit(gate("H", 0), remap([0, 2], [1, 0]), gate("H", 2), n=4)
    with pytest.raises(ValueError, match="the graph is not connected"):
        replace_middle_remap(circ, graph)


def test_replace_middle_remap_argument_types():
    with pytest.raises(TypeError, match="graph"):
        replace_middle_remap(circuit(), "not a graph")
    with pytest.raises(AssertionError):
        replace_middle_remap([gate("H", 0)], line(3))
    with pytest.raises(TypeError):
        replace_middle_remap(circuit(), line(3), 1)


def test_replace_middle_remap_refuses_non_circuits_without_assertions():
    code = (
        "from mirel.couplize.swapcore import QubitGraph, replace_middle_remap\n"
        "try:\n    replace_middle_remap([], QubitGraph(1))\n"
        "except TypeError as e:\n    print('TypeError', e)\n"
    )
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=60
    )
    assert out.stdout.strip() == (
        "TypeError circ must be an instance of mirel.comm.datamodel.ttypes.Circuit"
    )
