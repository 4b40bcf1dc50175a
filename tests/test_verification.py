"""The public verifier: accepts every engine's routings and finds the first fault of a broken
one; a statevector check confirms on small circuits that accepted means equal."""

import copy

import numpy as np
import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize import router, topologies
from mirel.couplize.verification import verify
from tests.support.routing import random_circuit

METHODS = ["velor", "sabre", "bka", "kovra"]


def routed_pair(method, topology="grid:2x3", seed=4, gates=30, options=None):
    device = topologies.device(topology)
    circuit = random_circuit(device.nbqbits, gates, seed)
    for op in circuit.ops:  # parameters and measurements take part in the comparison
        if op.gate == "T":
            op.gate, op.params = "RZ", [0.1 * seed]
    circuit.ops.append(Op(type=OpType.MEASURE, qbits=[0], cbits=[0]))
    circuit.nbcbits = 1
    before = repr(circuit)
    routed = router.route(circuit, device, method, options, seed=seed)
    assert repr(circuit) == before, "routing modified its input"
    return circuit, routed, device


def physical_unitary(circuit, n):
    """The unitary of a host circuit on n qubits, REMAPs applied as permutations of qubits."""
    from qiskit.circuit.library import PermutationGate
    from qiskit.quantum_info import Operator

    from mirel.couplize import interop

    chunk = []
    result = Operator(np.eye(2**n))
    for op in [*circuit.ops, None]:
        if op is not None and op.type != OpType.REMAP:
            if op.type != OpType.MEASURE:
                chunk.append(op)
            continue
        qc = interop.to_qiskit(Circuit(ops=chunk, nbqbits=n))
        result = result.compose(Operator(qc)) if chunk else result
        chunk = []
        if op is not None:
            # content of qbits[i] goes to qbits[remap[i]]: output position remap[i] takes input i
            pattern = [0] * len(op.qbits)
            for i, target in enumerate(op.remap):
                pattern[target] = i
            perm = Operator(PermutationGate(pattern))
            result = result.compose(perm, qargs=list(op.qbits))
    return result


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("topology", ["line:5", "grid:2x3", "ring:6"])
def test_every_engine_routes_to_a_verified_and_equal_circuit(method, topology):
    circuit, routed, device = routed_pair(method, topology)
    full = routed.with_remaps()
    assert verify(circuit, full, device).ok
    widened = copy.copy(circuit)
    widened.nbqbits = device.nbqbits
    expected = physical_unitary(widened, device.nbqbits)
    assert physical_unitary(full, device.nbqbits).equiv(expected)


@pytest.mark.parametrize("method", METHODS)
def test_swap_gates_of_the_input_are_computation_not_moves(method):
    device = topologies.device("line:4")
    circuit = Circuit(
        ops=[
            Op(gate="H", qbits=[0]),
            Op(gate="SWAP", qbits=[0, 3]),
            Op(gate="CNOT", qbits=[0, 2]),
            Op(gate="CNOT", qbits=[3, 1]),
            Op(type=OpType.MEASURE, qbits=[3], cbits=[0]),
        ],
        nbqbits=4,
        nbcbits=1,
    )
    routed = router.route(circuit, device, method)
    full = routed.with_remaps()
    assert verify(circuit, full, device).ok
    assert physical_unitary(full, 4).equiv(physical_unitary(circuit, 4))
    # the measurement reads logical qubit 3 where the routing left it
    assert routed.circuit.ops[-1].qbits == [routed.final[3]]


@pytest.mark.parametrize("updater", ["reverse", "annealing"])
def test_a_searched_initial_placement_is_followed(updater):
    options = {"update_initial_order": updater, "max_iteration": 20}
    circuit, routed, device = routed_pair("velor", "line:5", options=options, gates=40)
    assert routed.initial != list(range(5))
    full = routed.with_remaps()
    assert full.ops[0].type == OpType.REMAP
    assert verify(circuit, full, device).ok
    widened = copy.copy(circuit)
    widened.nbqbits = 5
    assert physical_unitary(full, 5).equiv(physical_unitary(widened, 5))


def drop_gate(ops, index):
    del ops[index]


def move_off_edge(ops, index):
    ops[index].qbits = [0, 5]


def exchange_neighbours(ops, index):
    ops[index], ops[index + 1] = ops[index + 1], ops[index]


def change_parameter(ops, index):
    ops[index].params = [ops[index].params[0] + 1e-9]


def drop_final_remap(ops, index):
    del ops[-1]


def extra_swap(ops, index):
    ops.insert(index, Op(gate="SWAP", qbits=[0, 1]))


def first(ops, predicate):
    return next(i for i, op in enumerate(ops) if predicate(op))


def on_pair(ops):
    """A two-qubit gate followed by a gate that shares a qubit with it."""
    return first(
        ops[:-1],
        lambda op: (
            op.gate in ("CNOT", "CZ")
            and set(op.qbits) & set(ops[ops.index(op) + 1].qbits or [])
            and ops[ops.index(op) + 1].gate not in ("SWAP", None)
        ),
    )


@pytest.mark.parametrize(
    "mutate, locate, reason",
    [
        (drop_gate, lambda ops: first(ops, lambda op: op.gate == "CNOT"), "expects"),
        (drop_gate, lambda ops: -2, "missing"),  # the final measurement
        (move_off_edge, lambda ops: first(ops, lambda op: op.gate == "CNOT"), "not on an edge"),
        (exchange_neighbours, on_pair, "expects"),
        (change_parameter, lambda ops: first(ops, lambda op: op.gate == "RZ"), "expects"),
        (drop_final_remap, lambda ops: -1, "final REMAP"),
        (extra_swap, lambda ops: 1, ""),
    ],
)
def test_broken_routings_are_reported_with_their_first_fault(mutate, locate, reason):
    circuit, routed, device = routed_pair("sabre", gates=40)
    full = routed.with_remaps()
    assert verify(circuit, full, device).ok
    broken = copy.deepcopy(full)
    index = locate(broken.ops)
    mutate(broken.ops, index)
    verdict = verify(circuit, broken, device)
    assert not verdict.ok and reason in verdict.reason
    if mutate in (move_off_edge, change_parameter):
        assert verdict.index == index and verdict.op is broken.ops[index]


def test_swaps_of_the_original_are_followed_not_matched():
    original = Circuit(ops=[Op(gate="SWAP", qbits=[0, 2]), Op(gate="H", qbits=[0])], nbqbits=3)
    # a router may realise the SWAP as two SWAPs on a line, or absorb it into a REMAP
    on_line = Circuit(
        ops=[
            Op(gate="SWAP", qbits=[0, 1]),
            Op(gate="SWAP", qbits=[1, 2]),
            Op(gate="SWAP", qbits=[0, 1]),
            Op(gate="H", qbits=[0]),
        ],
        nbqbits=3,
    )
    relabelled = Circuit(
        ops=[Op(type=OpType.REMAP, qbits=[0, 2], remap=[1, 0]), Op(gate="H", qbits=[0])],
        nbqbits=3,
    )
    assert verify(original, on_line, [(0, 1), (1, 2)]).ok
    assert verify(original, relabelled, [(0, 1), (1, 2)]).ok
    wrong = Circuit(ops=[Op(gate="H", qbits=[2])], nbqbits=3)  # right gate, qubits not moved
    assert "holds logical qubit" in verify(original, wrong, [(0, 1), (1, 2)]).reason


@pytest.mark.parametrize(
    "graph",
    [
        None,
        [(0, 1), (1, 2)],
        topologies.device("line:3"),
        topologies.device("line:3").graph(),
        "line:3",
        {0: [1], 2: [1]},
    ],
    ids=["all-to-all", "pairs", "device", "qubit-graph", "text", "host-mapping"],
)
def test_topology_forms(graph):
    original = Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3)
    verdict = verify(original, original, graph)
    assert verdict.ok == (graph is None)


def test_bad_routed_operations_are_reported_not_raised():
    original = Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=2)
    outside = Circuit(ops=[Op(gate="H", qbits=[7])], nbqbits=2)
    bad_remap = Circuit(ops=[Op(type=OpType.REMAP, qbits=[0, 1], remap=[0, 0])], nbqbits=2)
    assert "outside" in verify(original, outside, [(0, 1)]).reason
    assert "not a permutation" in verify(original, bad_remap, [(0, 1)]).reason
    with pytest.raises(TypeError):
        verify(original, [], [(0, 1)])


def test_a_large_circuit_is_checked_in_one_pass():
    circuit, routed, device = routed_pair("sabre", topology="grid:5x5", gates=20000)
    assert verify(circuit, routed.with_remaps(), device).ok
