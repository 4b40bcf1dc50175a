"""Host modules the plugin calls: gate definitions, direction fixes for one-way couplings, and
the placement searches around any routing function."""

import copy
import random

import numpy as np
import pytest

from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, Op, OpType
from mirel.couplize import lookahead, swapcore
from mirel.couplize.definition import update_gate_dict
from mirel.couplize.expand_swaps import expand_directed
from mirel.couplize.mapping import couplize_annealing, couplize_reverse
from tests.support.routing import TOPOLOGIES, check_routed, make_graph, random_circuit
from tests.support.statevector import run


def test_gate_dict_gains_missing_definitions_only():
    kept = GateDefinition(name="H", arity=1)
    circuit = Circuit(
        ops=[
            Op(gate="H", qbits=[0]),
            Op(gate="SWAP", qbits=[0, 1]),
            Op(gate="RZ", params=[0.5], qbits=[1]),
            Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0]),
        ],
        gateDic={"H": kept},
    )
    update_gate_dict(circuit)
    assert sorted(circuit.gateDic) == ["H", "RZ", "SWAP"] and circuit.gateDic["H"] is kept
    swap = circuit.gateDic["SWAP"]
    assert (swap.name, swap.arity, swap.syntax.name) == ("SWAP", 2, "SWAP")
    assert circuit.gateDic["RZ"].arity == 1


def unitary(circuit, nbqbits):
    return np.column_stack([run(circuit, nbqbits, state) for state in np.eye(2**nbqbits)])


ONE_WAY = {0: [1], 2: [1], 1: []}  # couplings 0 -> 1 and 2 -> 1 only


@pytest.mark.parametrize(
    "gate, qbits, expected_gates",
    [
        ("CNOT", [1, 0], ["H", "H", "CNOT", "H", "H"]),
        ("CZ", [1, 2], ["CZ"]),
        ("SWAP", [1, 0], ["CNOT", "H", "H", "CNOT", "H", "H", "CNOT"]),
        ("CNOT", [0, 1], ["CNOT"]),
        ("SWAP", [2, 1], ["SWAP"]),
    ],
)
def test_gates_against_their_edge_are_turned(gate, qbits, expected_gates):
    circuit = Circuit(ops=[Op(gate="T", qbits=[0]), Op(gate=gate, qbits=qbits)], nbqbits=3)
    before = copy.deepcopy(circuit)
    turned = expand_directed(circuit, ONE_WAY)
    assert circuit == before
    assert [op.gate for op in turned.ops[1:]] == expected_gates
    assert all(tuple(op.qbits) in {(0, 1), (2, 1)} for op in turned.ops if len(op.qbits) == 2)
    assert np.allclose(unitary(turned, 3), unitary(circuit, 3))
    assert set(turned.gateDic) >= set(expected_gates)


def test_undirected_mapping_returns_the_circuit_itself_and_other_gates_are_refused():
    circuit = Circuit(ops=[Op(gate="CNOT", qbits=[1, 0])], nbqbits=2)
    assert expand_directed(circuit, {0: [1], 1: [0], 2: [2]}) is circuit
    with pytest.raises(ValueError, match="Cannot turn the gate 'ISWAP' on qubits \\(1, 0\\)"):
        expand_directed(Circuit(ops=[Op(gate="ISWAP", qbits=[1, 0])]), ONE_WAY)
    with pytest.raises(ValueError, match="acts on qubits \\(0, 2\\), which the topology"):
        expand_directed(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])]), ONE_WAY)


# --- placement searches ---------------------------------------------------------------------


def sabre_on(name):
    nbqbits, edges = TOPOLOGIES[name]
    engine = lookahead.SabreCouplizer()
    engine.set_graph(make_graph(swapcore.QubitGraph, nbqbits, edges))
    return engine.couplize, nbqbits, edges


def search(kind, circuit, couplize_fn, metric=None, **options):
    metric = metric or swapcore.QuantumCostMetric()
    if kind == "annealing":
        return couplize_annealing(circuit, metric, couplize_fn, **options)
    return couplize_reverse(circuit, metric, couplize_fn)


@pytest.mark.parametrize("kind", ["annealing", "reverse"])
@pytest.mark.parametrize("topology", ["line6", "grid3x3", "random8"])
def test_searched_placements_route_correctly_and_leave_the_input(kind, topology):
    couplize_fn, nbqbits, edges = sabre_on(topology)
    circuit = random_circuit(nbqbits, 40, seed=len(topology))
    before = copy.deepcopy(circuit)
    random.seed(5)
    routed = search(kind, circuit, couplize_fn, max_iteration=12)
    assert circuit == before
    first, last = routed.ops[0], routed.ops[-1]
    assert first.type == last.type == OpType.REMAP and first.qbits == list(range(nbqbits))
    check_routed(circuit, routed, nbqbits, edges)
    random.seed(5)
    assert search(kind, circuit, couplize_fn, max_iteration=12) == routed  # seeded: repeatable


@pytest.mark.parametrize(
    "options, metric, identity",
    [
        ({"max_iteration": 0}, None, True),
        ({"max_iteration": 5, "temperature": 0.0}, None, False),
        ({"max_iteration": 30}, lambda circuit: 0, True),  # never strictly better
    ],
)
def test_annealing_corner_settings(options, metric, identity):
    couplize_fn, nbqbits, edges = sabre_on("grid3x3")
    circuit = random_circuit(nbqbits, 30, seed=2)
    random.seed(1)
    routed = couplize_annealing(
        circuit, metric or swapcore.QuantumCostMetric(), couplize_fn, **options
    )
    check_routed(circuit, routed, nbqbits, edges)
    if identity:
        assert routed.ops[0].remap == list(range(nbqbits))


def test_annealing_edge_inputs():
    couplize_fn, _, _ = sabre_on("line6")
    lone = Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1)  # nothing to exchange
    assert [
        op.gate for op in couplize_annealing(lone, swapcore.QuantumCostMetric(), couplize_fn).ops
    ] == [None, "H", None]
    with pytest.raises(ValueError, match="must not be negative"):
        couplize_annealing(lone, swapcore.QuantumCostMetric(), couplize_fn, 5, -1.0)
    wide = Circuit(ops=[Op(gate="CNOT", qbits=[0, 4])], nbqbits=2)
    with pytest.raises(ValueError, match="Operation 0 acts on qubit 4, outside the circuit's 2"):
        couplize_annealing(wide, swapcore.QuantumCostMetric(), copy.deepcopy, 3)
