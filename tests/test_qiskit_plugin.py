"""Qiskit's transpile with the couplize routing stages."""

import pytest

qiskit = pytest.importorskip("qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit.library import QFTGate, quantum_volume  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import CouplingMap, PassManager, TranspilerError  # noqa: E402
from qiskit.transpiler.passes import CheckMap  # noqa: E402
from qiskit.transpiler.preset_passmanagers.plugin import list_stage_plugins  # noqa: E402

from mirel.couplize.qiskit_plugin import CouplizeRouting  # noqa: E402

METHODS = ["couplize-sabre", "couplize-velor", "couplize-bka", "couplize-kovra"]
COUPLING = CouplingMap.from_grid(2, 3)


def ghz(n):
    qc = QuantumCircuit(n, name="ghz")
    qc.h(0)
    for q in range(1, n):
        qc.cx(0, q)
    return qc


def qft(n):
    qc = QuantumCircuit(n, name="qft")
    qc.append(QFTGate(n), range(n))
    return qc


# Circuits as wide as the device, so that the operators compare without ancillas.
CIRCUITS = {
    "qft": qft(6),
    "ghz": ghz(6),
    "quantum-volume": quantum_volume(6, seed=3),
    "random": random_circuit(6, 8, max_operands=2, seed=7),
}


def test_the_routing_stages_are_registered():
    assert set(METHODS) <= set(list_stage_plugins("routing"))


def check(result, original):
    mapped = CheckMap(COUPLING)
    mapped(result)
    assert mapped.property_set["is_swap_mapped"]
    assert Operator.from_circuit(result).equiv(Operator(original))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("level", [0, 1, 2, 3])
@pytest.mark.parametrize("name", sorted(CIRCUITS))
def test_transpiled_circuits_keep_their_operator(method, level, name):
    original = CIRCUITS[name]
    for layout in ("trivial", "sabre"):
        result = transpile(
            original,
            coupling_map=COUPLING,
            routing_method=method,
            optimization_level=level,
            layout_method=layout,
            seed_transpiler=5,
        )
        check(result, original)


@pytest.mark.parametrize("method", METHODS)
def test_final_measurements_read_the_right_qubits(method):
    from qiskit.providers.basic_provider import BasicSimulator

    qc = QuantumCircuit(6, 6)
    qc.x(1)
    for a, b in [(1, 5), (4, 0), (5, 2), (0, 3), (2, 1)]:
        qc.cx(a, b)
    qc.barrier()
    qc.measure([0, 1, 2, 3, 4, 5], [5, 4, 3, 2, 1, 0])  # reversed into the bits
    result = transpile(qc, coupling_map=COUPLING, routing_method=method, seed_transpiler=1)
    assert result.count_ops().get("swap", 0) > 0
    assert result.count_ops().get("barrier") == 1  # kept in front of the measurements
    counts = BasicSimulator().run(result, shots=20, seed_simulator=1).result().get_counts()
    # qubits 0..5 end as 0 0 1 0 0 1; bit k holds qubit 5-k; the key prints bit 5 first
    assert counts == {"001001": 20}


def test_the_pass_refuses_what_it_cannot_route():
    qc = QuantumCircuit(6, 1)
    qc.measure(0, 0)
    qc.cx(0, 5)
    with pytest.raises(TranspilerError, match="middle"):
        PassManager([CouplizeRouting(COUPLING, "sabre")]).run(qc)
    with pytest.raises(TranspilerError, match="laid-out"):
        PassManager([CouplizeRouting(COUPLING, "sabre")]).run(QuantumCircuit(3))
    with pytest.raises(ValueError, match="unknown option"):
        CouplizeRouting(COUPLING, "sabre", {"depth": 2})


def test_the_pass_takes_method_options_and_keeps_custom_operations():
    qc = QuantumCircuit(6)
    qc.append(qiskit.circuit.Gate("mine", 2, [0.5], label="keep me"), [0, 5])
    qc.cx(1, 4)
    result = PassManager([CouplizeRouting(COUPLING, "sabre", {"window_size": 1})]).run(qc)
    custom = [i for i in result.data if i.operation.name == "mine"]
    assert len(custom) == 1 and custom[0].operation.label == "keep me"
    assert custom[0].operation.params == [0.5]


@pytest.mark.parametrize("method", METHODS)
def test_random_circuits_on_a_ring(method):
    ring = CouplingMap.from_ring(5)
    for seed in (11, 12, 13):
        original = random_circuit(5, 10, max_operands=2, seed=seed)
        result = transpile(original, coupling_map=ring, routing_method=method, seed_transpiler=seed)
        mapped = CheckMap(ring)
        mapped(result)
        assert mapped.property_set["is_swap_mapped"]
        assert Operator.from_circuit(result).equiv(Operator(original))


@pytest.mark.parametrize("method", METHODS)
def test_gates_of_three_qubits_are_broken_up_without_a_basis(method):
    # transpile given a coupling map alone runs no earlier stage that decomposes ccx or cswap;
    # cx(0, 5) makes routing necessary under the trivial layout.
    original = QuantumCircuit(6)
    original.h(0)
    original.ccx(0, 2, 5)
    original.cswap(5, 1, 3)
    original.cx(0, 5)
    result = transpile(
        original, coupling_map=COUPLING, routing_method=method, layout_method="trivial"
    )
    check(result, original)
    assert all(len(instruction.qubits) <= 2 for instruction in result.data)
