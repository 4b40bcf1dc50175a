"""The A* engine's Python face: QubitGraph type, slice-size cap, errors, routing results."""

import copy
import subprocess
import sys
import textwrap

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize import swapcore
from mirel.couplize.bestfirst import AstarCouplizer, QubitGraph, to_networkx
from tests.support.routing import (
    TOPOLOGIES,
    check_routed,
    grid_edges,
    line_edges,
    make_graph,
    random_circuit,
)


def engine_on(nbqbits, edges, **kwargs):
    engine = AstarCouplizer(**kwargs)
    engine.set_graph(make_graph(QubitGraph, nbqbits, edges))
    return engine


def cnot(a, b):
    return Op(gate="CNOT", qbits=[a, b])


def run_guarded(body, timeout=60):
    """Runs `body` in a fresh interpreter so that a search that never ends fails the test
    instead of blocking the suite; returns what it printed."""
    prelude = textwrap.dedent(
        """
        from mirel.comm.datamodel.ttypes import Circuit, Op
        from mirel.couplize.bestfirst import AstarCouplizer, QubitGraph
        from tests.support.routing import check_routed, make_graph
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


# --- QubitGraph type and set_graph ------------------------------------------------------------


def test_own_qubit_graph_type_with_the_same_interface():
    assert QubitGraph is not swapcore.QubitGraph
    graph = make_graph(QubitGraph, 4, [(0, 1), (1, 3), (0, 2), (2, 3)])
    assert graph.get_nbqbits() == 4
    assert graph.path(0, 3) == [0, 1, 3]
    assert graph.path(3, 0) == [3, 1, 0]
    assert graph.get_neighbours(0) == [1, 2]


@pytest.mark.parametrize(
    "given, got",
    [
        (swapcore.QubitGraph(3), "mirel.couplize.swapcore.QubitGraph"),
        (None, "NoneType"),
        (3, "int"),
    ],
    ids=["swapcore-graph", "None", "int"],
)
def test_set_graph_type_check(given, got):
    with pytest.raises(TypeError) as info:
        AstarCouplizer().set_graph(given)
    assert str(info.value) == (
        "Argument 'graph' has incorrect type "
        f"(expected mirel.couplize.bestfirst.QubitGraph, got {got})"
    )


@pytest.mark.parametrize(
    "size_slice, expected", [(0, 2), (5, 2), (2, 2), (1, 1)], ids=["default", "5", "2", "1"]
)
def test_size_slice_capped_by_maximum_matching(size_slice, expected):
    engine = engine_on(4, grid_edges(2, 2), size_slice=size_slice)
    assert engine.size_slice == expected


def test_size_slice_only_lowered_by_later_graphs():
    engine = engine_on(4, grid_edges(2, 2))
    engine.set_graph(make_graph(QubitGraph, 3, line_edges(3)))
    assert engine.size_slice == 1
    engine.set_graph(make_graph(QubitGraph, 8, line_edges(8)))
    assert engine.size_slice == 1


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((-1,), {}, OverflowError),
        ((2**32,), {}, OverflowError),
        ((1.5,), {}, TypeError),
        ((1, 2), {}, TypeError),
        ((), {"max_nodes": -1}, OverflowError),
    ],
    ids=["negative", "too-large", "float", "two-positional", "negative-max-nodes"],
)
def test_constructor_arguments(args, kwargs, error):
    with pytest.raises(error):
        AstarCouplizer(*args, **kwargs)


def test_to_networkx_keeps_isolated_qubits_and_every_edge():
    graph = make_graph(QubitGraph, 5, [(0, 1), (3, 1), (1, 0)])
    nx_graph = to_networkx(graph)
    assert list(nx_graph.nodes) == [0, 1, 2, 3, 4]
    assert sorted(tuple(sorted(e)) for e in nx_graph.edges) == [(0, 1), (1, 3)]


# --- errors of couplize -----------------------------------------------------------------------


def test_couplize_rejects_non_circuits():
    engine = engine_on(3, line_edges(3))
    with pytest.raises(TypeError) as info:
        engine.couplize([cnot(0, 1)])
    assert (
        str(info.value) == "The given argument is not an instance of Circuit. Cannot not couplize"
    )


def test_graph_must_be_defined_even_without_two_qubit_gates():
    circuit = Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1)
    with pytest.raises(ValueError) as info:
        AstarCouplizer().couplize(circuit)
    assert str(info.value) == "The graph is not defined"


@pytest.mark.parametrize(
    "ops, nbqbits, message",
    [
        (
            [cnot(0, 1), Op(gate="CCX", qbits=[0, 1, 2])],
            3,
            "Cannot treat gates with more than 2 qubits",
        ),
        ([cnot(0, 1), Op(gate="BARRIER", qbits=None)], 3, "Operation 1 has no qubits"),
        ([Op(gate="H", qbits=[])], 3, "Operation 0 has no qubits"),
        ([cnot(0, 3)], 3, "Operation 0 uses qubit 3 but the circuit has 3 qubits"),
        ([Op(gate="H", qbits=[0]), cnot(2, 2)], 3, "Operation 1 acts twice on qubit 2"),
        ([cnot(0, 1)], 4, "The circuit uses 4 qubits but the topology has only 3"),
    ],
    ids=["three-qubits", "qbits-None", "qbits-empty", "qubit-too-large", "same-qubit", "too-few"],
)
def test_bad_circuits(ops, nbqbits, message):
    circuit = Circuit(ops=ops, nbqbits=nbqbits)
    before = copy.deepcopy(circuit)
    with pytest.raises(ValueError) as info:
        engine_on(3, line_edges(3)).couplize(circuit)
    assert str(info.value) == message
    assert circuit == before


def test_topology_without_edges_routes_only_single_qubit_work():
    engine = engine_on(3, [])
    assert engine.size_slice == 0
    with pytest.raises(ValueError, match="no edge"):
        engine.couplize(Circuit(ops=[Op(gate="H", qbits=[2]), cnot(0, 1)], nbqbits=3))
    # A one-qubit job on a device without couplings needs no SWAP at all.
    routed = engine.couplize(
        Circuit(ops=[Op(gate="H", qbits=[0]), Op(gate="X", qbits=[2])], nbqbits=3)
    )
    assert [(op.gate, op.qbits) for op in routed.ops[:-1]] == [("H", [0]), ("X", [2])]
    assert routed.ops[-1].remap == [0, 1, 2]


@pytest.mark.parametrize(
    "nbqbits, edges, gate, physical",
    [
        (4, [(0, 1), (2, 3)], (1, 2), (1, 2)),  # two components
        (4, line_edges(3), (3, 0), (3, 0)),  # qubit 3 has no neighbour
    ],
    ids=["two-components", "isolated-qubit"],
)
def test_unreachable_gate_fails_before_searching(nbqbits, edges, gate, physical):
    out = run_guarded(
        f"""
        engine = AstarCouplizer(max_nodes=0)
        engine.set_graph(make_graph(QubitGraph, {nbqbits}, {edges!r}))
        try:
            engine.couplize(Circuit(ops=[Op(gate="CZ", qbits=[0, 1]),
                                         Op(gate="CZ", qbits={list(gate)!r})], nbqbits={nbqbits}))
        except ValueError as error:
            print(error, "|", engine.max_nodes_expanded)
        """
    )
    message, expanded = out.split(" | ")
    a, b = gate
    assert f"on qubits {a} and {b} (operation 1)" in message
    assert f"physical qubits {physical[0]} and {physical[1]}" in message
    assert expanded == "0"


# --- routing ---------------------------------------------------------------------------------


def test_line_of_three_needs_one_swap():
    circuit = Circuit(ops=[cnot(0, 2)], nbqbits=3)
    routed = engine_on(3, line_edges(3)).couplize(circuit)
    swap, gate, remap = routed.ops
    assert swap.gate == "SWAP" and swap.type == OpType.GATETYPE
    assert abs(swap.qbits[0] - swap.qbits[1]) == 1
    assert gate.gate == "CNOT" and abs(gate.qbits[0] - gate.qbits[1]) == 1
    assert remap.type == OpType.REMAP and remap.qbits == [0, 1, 2]
    assert remap.remap != [0, 1, 2]
    check_routed(circuit, routed, 3, line_edges(3))


def test_compatible_circuit_gets_no_swap_and_slice_order():
    ops = [cnot(0, 1), Op(gate="H", qbits=[0]), Op(gate="X", qbits=[3]), cnot(2, 3), cnot(1, 2)]
    circuit = Circuit(ops=ops, nbqbits=4, name="c")
    routed = engine_on(4, line_edges(4)).couplize(circuit)
    # X on 3 comes first (no two-qubit gate before it); (0,1) and (2,3) share slice 0.
    assert [(op.gate, op.qbits) for op in routed.ops[:-1]] == [
        ("X", [3]),
        ("CNOT", [0, 1]),
        ("CNOT", [2, 3]),
        ("H", [0]),
        ("CNOT", [1, 2]),
    ]
    assert routed.ops[-1].remap == [0, 1, 2, 3]
    assert routed.name == "c"


def test_output_ops_are_copies_and_input_is_untouched():
    op = Op(gate="RZ", qbits=[0, 2], params=[[0.5]])
    circuit = Circuit(ops=[op, Op(gate="H", qbits=[2])], nbqbits=3, gateDic={"RZ": "def"})
    before = copy.deepcopy(circuit)
    routed = engine_on(3, line_edges(3)).couplize(circuit, use_sum_heuristic=True)
    assert circuit == before
    gate = next(o for o in routed.ops if o.gate == "RZ")
    assert gate is not op and gate.params == [[0.5]] and gate.params is not op.params
    assert routed.gateDic == circuit.gateDic and routed.gateDic is not circuit.gateDic
    assert routed.ops is not circuit.ops


def test_larger_topology_lends_its_spare_qubits():
    # Physical 0 and 1 are only joined through 2, which the circuit does not use.
    edges = [(0, 2), (2, 1), (2, 3), (3, 4)]
    circuit = Circuit(ops=[cnot(0, 1), Op(gate="H", qbits=[1]), cnot(1, 0)], nbqbits=2)
    routed = engine_on(5, edges).couplize(circuit)
    assert routed.ops[-1].qbits == [0, 1, 2, 3, 4]
    assert routed.nbqbits == 2
    assert check_routed(circuit, routed, 5, edges) == 1


def test_unsatisfiable_slice_is_routed_gate_by_gate():
    # Every edge of a star touches its centre, so the two gates of a slice never fit at once.
    out = run_guarded(
        """
        edges = [(0, 1), (0, 2), (0, 3), (0, 4), (5, 6), (6, 7)]
        engine = AstarCouplizer(size_slice=3, max_nodes=0)
        engine.set_graph(make_graph(QubitGraph, 8, edges))
        circuit = Circuit(ops=[Op(gate="CZ", qbits=[1, 2]), Op(gate="CZ", qbits=[3, 4])],
                          nbqbits=8)
        routed = engine.couplize(circuit)
        check_routed(circuit, routed, 8, edges)
        print(engine.size_slice, engine.split_searches)
        """
    )
    assert out == "2 1"


def test_node_limit_bounds_a_large_slice():
    # Ten mirrored pairs on a line: one search for all of them would take minutes and GBs.
    out = run_guarded(
        """
        from tests.support.routing import line_edges
        edges = line_edges(20)
        engine = AstarCouplizer(max_nodes=5000)
        engine.set_graph(make_graph(QubitGraph, 20, edges))
        circuit = Circuit(ops=[Op(gate="CZ", qbits=[q, 19 - q]) for q in range(10)], nbqbits=20)
        check_routed(circuit, engine.couplize(circuit), 20, edges)
        print(engine.size_slice, engine.summed_searches > 0, engine.max_nodes_expanded <= 5000)
        """
    )
    assert out == "10 True True"


@pytest.mark.parametrize("use_sum_heuristic", [False, True], ids=["max", "sum"])
@pytest.mark.parametrize("size_slice", [0, 1, 2])
@pytest.mark.parametrize("topology", sorted(TOPOLOGIES))
@pytest.mark.parametrize("seed", range(3))
def test_random_circuits_route_correctly(topology, size_slice, use_sum_heuristic, seed):
    nbqbits, edges = TOPOLOGIES[topology]
    circuit = random_circuit(nbqbits - 1, 30, seed=seed)  # one spare physical qubit
    engine = engine_on(nbqbits, edges, size_slice=size_slice, max_nodes=20000)
    routed = engine.couplize(circuit, use_sum_heuristic=use_sum_heuristic)
    assert routed.ops[-1].type == OpType.REMAP
    check_routed(circuit, routed, nbqbits, edges)


@pytest.mark.parametrize("lookahead, discount", [(1, 0.5), (4, 0.7), (100, 1.0)])
@pytest.mark.parametrize("topology", sorted(TOPOLOGIES))
def test_lookahead_routes_correctly(topology, lookahead, discount):
    nbqbits, edges = TOPOLOGIES[topology]
    circuit = random_circuit(nbqbits - 1, 40, seed=lookahead)
    engine = engine_on(nbqbits, edges, max_nodes=20000)
    routed = engine.couplize(circuit, lookahead=lookahead, lookahead_discount=discount)
    check_routed(circuit, routed, nbqbits, edges)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"lookahead": -1}, OverflowError, "can't convert negative value"),
        ({"lookahead": 2, "lookahead_discount": 0.0}, ValueError, r"must be in \(0, 1\]"),
        ({"lookahead": 2, "lookahead_discount": 1.5}, ValueError, r"must be in \(0, 1\]"),
        ({"lookahead_discount": float("nan")}, ValueError, r"must be in \(0, 1\]"),
    ],
)
def test_lookahead_rejects_bad_settings(kwargs, error, message):
    engine = engine_on(3, line_edges(3))
    with pytest.raises(error, match=message):
        engine.couplize(Circuit(ops=[cnot(0, 2)], nbqbits=3), **kwargs)


@pytest.mark.parametrize("kwargs", [{}, {"lookahead": 2}], ids=["ties", "lookahead"])
def test_next_gates_steer_a_fan_of_gates(kwargs):
    # Every qubit meets the last one in turn. Each slice's fewest SWAPs can leave the shared
    # qubit where it was (the other walks all the way, about n * n / 2 SWAPs in all) or take it
    # along (about 2 per gate): ties between equal nodes, and the look-ahead, pick the latter.
    n = 12
    edges = line_edges(n)
    circuit = Circuit(ops=[cnot(q, n - 1) for q in range(n - 1)], nbqbits=n)
    routed = engine_on(n, edges).couplize(circuit, **kwargs)
    assert check_routed(circuit, routed, n, edges) <= 2 * (n - 1)
