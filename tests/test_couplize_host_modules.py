"""Host modules the plugin calls: gate definitions, direction fixes for one-way couplings, and
the placement searches around any routing function."""

import copy
import random

import numpy as np
import pytest

from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, Op, OpType
from mirel.couplize import lookahead, swapcore
from mirel.couplize.definition import update_gate_dict
from mirel.couplize.expand_swaps import SYMMETRIC, expand_directed
from mirel.couplize.mapping import couplize_annealing, couplize_reverse
from tests.support.routing import TOPOLOGIES, check_routed, make_graph, random_circuit
from tests.support.statevector import run


def test_gate_dict_gains_missing_definitions_only():
    kept = GateDefinition(name="H", arity=1)
    ops = [Op("H", qbits=[0]), Op("SWAP", qbits=[0, 1]), Op("RZ", params=[0.5], qbits=[1])]
    circuit = Circuit(ops=[*ops, Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0])])
    circuit.gateDic["H"] = kept
    update_gate_dict(circuit)
    assert sorted(circuit.gateDic) == ["H", "RZ", "SWAP"] and circuit.gateDic["H"] is kept
    swap = circuit.gateDic["SWAP"]
    assert (swap.name, swap.arity, swap.syntax.name, circuit.gateDic["RZ"].arity) == (
        "SWAP", 2, "SWAP", 1
    )  # fmt: skip


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
    assert circuit == before and [op.gate for op in turned.ops[1:]] == expected_gates
    assert all(tuple(op.qbits) in {(0, 1), (2, 1)} for op in turned.ops if len(op.qbits) == 2)
    for state in np.eye(8):
        assert run(turned, 3, state) == pytest.approx(run(circuit, 3, state))
    assert set(turned.gateDic) >= set(expected_gates)


def test_undirected_mapping_returns_the_circuit_itself_and_other_gates_are_refused():
    circuit = Circuit(ops=[Op(gate="CNOT", qbits=[1, 0])], nbqbits=2)
    assert expand_directed(circuit, {0: [1], 1: [0], 2: [2]}) is circuit
    with pytest.raises(ValueError, match=r"Cannot turn the gate 'ECR' on qubits \(1, 0\)"):
        expand_directed(Circuit(ops=[Op(gate="ECR", qbits=[1, 0])]), ONE_WAY)


@pytest.mark.parametrize("name", sorted(SYMMETRIC))
def test_symmetric_gates_are_turned_by_exchanging_their_qubits(name):
    qiskit = pytest.importorskip("qiskit")
    from qiskit.circuit.library import get_standard_gate_name_mapping
    from qiskit.quantum_info import Operator

    from mirel.couplize.interop import qiskit_name

    # The gate really is symmetric, for parameters that are not special.
    gate = get_standard_gate_name_mapping()[qiskit_name(name)]
    params = [0.37 + k for k in range(len(gate.params))]
    gate = gate.base_class(*params)
    both = qiskit.QuantumCircuit(2)
    both.append(gate, [1, 0])
    assert Operator(both).equiv(Operator(gate))
    circuit = Circuit(ops=[Op(gate=name, qbits=[1, 0], params=params)], nbqbits=3)
    turned = expand_directed(circuit, ONE_WAY)
    assert [(op.gate, op.qbits, op.params) for op in turned.ops] == [(name, [0, 1], params)]
    with pytest.raises(ValueError, match=r"acts on qubits \(0, 2\), which the topology"):
        expand_directed(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])]), ONE_WAY)


def sabre_on(name):
    nbqbits, edges = TOPOLOGIES[name]
    engine = lookahead.SabreCouplizer()
    engine.set_graph(make_graph(swapcore.QubitGraph, nbqbits, edges))
    return engine.couplize, nbqbits, edges


@pytest.mark.parametrize(
    "search",
    [
        lambda c, fn: couplize_reverse(c, None, fn),
        lambda c, fn: couplize_annealing(c, swapcore.QuantumCostMetric(), fn, 12),
        lambda c, fn: couplize_annealing(c, swapcore.QuantumCostMetric(), fn, 5, 0.0),
        lambda c, fn: couplize_annealing(c, lambda circuit: 0, fn, 30),  # never strictly better
        lambda c, fn: couplize_annealing(c, swapcore.QuantumCostMetric(), fn, 0),
    ],
    ids=["reverse", "annealing", "frozen", "flat-metric", "no-step"],
)
@pytest.mark.parametrize("topology", ["line6", "grid3x3", "random8"])
def test_searched_placements_route_correctly(search, topology):
    couplize_fn, nbqbits, edges = sabre_on(topology)
    circuit = random_circuit(nbqbits, 40, seed=len(topology))
    before = copy.deepcopy(circuit)
    random.seed(5)
    routed = search(circuit, couplize_fn)
    assert circuit == before
    assert routed.ops[0].type == routed.ops[-1].type == OpType.REMAP
    assert routed.ops[0].qbits == list(range(nbqbits))
    check_routed(circuit, routed, nbqbits, edges)
    random.seed(5)
    assert search(circuit, couplize_fn) == routed  # seeded: repeatable


def test_annealing_edge_inputs():
    couplize_fn, _, _ = sabre_on("line6")
    lone = Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1)  # nothing to exchange
    metric = swapcore.QuantumCostMetric()
    assert [op.gate for op in couplize_annealing(lone, metric, couplize_fn).ops] == [
        None,
        "H",
        None,
    ]
    for steps, temperature, error in [
        (5, -1.0, ValueError),
        (5, float("nan"), ValueError),
        (-3, 1.0, ValueError),
        ("5", 1.0, TypeError),
        (2.5, 1.0, TypeError),
        (5, "hot", TypeError),
    ]:
        with pytest.raises(error, match="The annealing (step count|temperature) must"):
            couplize_annealing(lone, metric, couplize_fn, steps, temperature)
    wide = Circuit(ops=[Op(gate="CNOT", qbits=[0, 4])], nbqbits=2)
    with pytest.raises(ValueError, match="Operation 0 acts on qubit 4, outside the circuit's 2"):
        couplize_annealing(wide, metric, copy.deepcopy, 3)
