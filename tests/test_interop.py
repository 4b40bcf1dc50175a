"""Conversion between host circuits, Qiskit circuits and OpenQASM text."""

import math
import random
import subprocess
import sys

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType

qiskit = pytest.importorskip("qiskit")
from qiskit.circuit.library import get_standard_gate_name_mapping  # noqa: E402

from mirel.couplize import interop  # noqa: E402

NOT_GATES = {"measure", "reset", "delay", "global_phase"}
STANDARD = sorted(n for n in get_standard_gate_name_mapping() if n not in NOT_GATES)


def one_gate(name, seed):
    """A host circuit holding the standard gate `name` with awkward parameters."""
    gate = get_standard_gate_name_mapping()[name]
    rng = random.Random(seed)
    params = [rng.uniform(-math.pi, math.pi) + 1e-9 for _ in gate.params] or None
    qubits = rng.sample(range(5), gate.num_qubits)
    return Circuit(ops=[Op(gate=interop.host_name(name), params=params, qbits=qubits)], nbqbits=5)


@pytest.mark.parametrize("name", STANDARD)
def test_every_standard_gate_survives_qiskit_and_openqasm_2(name):
    circuit = one_gate(name, seed=len(name))
    assert interop.from_qiskit(interop.to_qiskit(circuit)).ops == circuit.ops
    assert interop.from_qasm(interop.to_qasm(circuit, version=2)).ops == circuit.ops


# `id` is not in OpenQASM 3's stdgates.inc, so Qiskit's exporter writes it in a form its
# importer does not take back.
@pytest.mark.parametrize("name", [n for n in STANDARD if n != "id"])
def test_every_standard_gate_survives_openqasm_3(name):
    circuit = one_gate(name, seed=len(name) + 1)
    assert interop.from_qasm(interop.to_qasm(circuit, version=3)).ops == circuit.ops


def test_host_names_are_the_hosts_own_for_cx_and_ccx():
    qc = qiskit.QuantumCircuit(3)
    qc.cx(0, 1)
    qc.ccx(0, 1, 2)
    qc.rz(0.5, 2)
    assert [(op.gate, op.qbits, op.params) for op in interop.from_qiskit(qc).ops] == [
        ("CNOT", [0, 1], None),
        ("CCNOT", [0, 1, 2], None),
        ("RZ", [2], [0.5]),
    ]


QISKIT_WRITTEN = """OPENQASM 2.0;
include "qelib1.inc";
gate pair a, b { cx a, b; sx b; }
qreg a[2];
qreg b[2];
creg m[2];
creg n[1];
h a[0];
sx b[1];
pair a[1], b[0];
barrier a[0], b[1];
reset b[0];
measure a[0] -> m[1];
measure b[1] -> n[0];
"""


def test_reads_registers_measurements_custom_gates_and_qiskit_extensions():
    circuit = interop.from_qasm(QISKIT_WRITTEN)
    assert (circuit.nbqbits, circuit.nbcbits) == (4, 3)
    got = [(op.type, op.gate, op.qbits, op.cbits) for op in circuit.ops]
    assert got == [
        (OpType.GATETYPE, "H", [0], None),
        (OpType.GATETYPE, "SX", [3], None),
        (OpType.GATETYPE, "CNOT", [1, 2], None),  # the custom gate, inlined
        (OpType.GATETYPE, "SX", [2], None),
        (OpType.RESET, None, [2], None),
        (OpType.MEASURE, None, [0], [1]),
        (OpType.MEASURE, None, [3], [2]),
    ]  # the barrier is dropped


def test_measurements_and_resets_come_back_as_qiskit_instructions():
    circuit = Circuit(
        ops=[
            Op(gate="H", qbits=[1]),
            Op(type=OpType.RESET, qbits=[0]),
            Op(type=OpType.MEASURE, qbits=[1, 0], cbits=[0, 2]),
        ],
        nbqbits=2,
        nbcbits=3,
    )
    qc = interop.to_qiskit(circuit)
    assert [i.operation.name for i in qc.data] == ["h", "reset", "measure", "measure"]
    assert [qc.find_bit(i.clbits[0]).index for i in qc.data[2:]] == [0, 2]
    again = interop.from_qiskit(qc)
    assert [(op.type, op.qbits, op.cbits) for op in again.ops[2:]] == [
        (OpType.MEASURE, [1], [0]),
        (OpType.MEASURE, [0], [2]),
    ]


def test_mqt_bench_output_is_read():
    bench = pytest.importorskip("mqt.bench")  # the bundled examples come from it as well
    BenchmarkLevel, get_benchmark = bench.BenchmarkLevel, bench.get_benchmark

    qc = get_benchmark("qft", BenchmarkLevel.INDEP, 5)
    circuit = interop.from_qasm(qiskit.qasm2.dumps(qc))
    assert circuit.nbqbits == 5
    assert sum(op.type == OpType.MEASURE for op in circuit.ops) == 5


def parameterised():
    theta = qiskit.circuit.Parameter("theta")
    qc = qiskit.QuantumCircuit(1)
    qc.rz(theta, 0)
    return qc


def opaque():
    qc = qiskit.QuantumCircuit(2)
    qc.append(qiskit.circuit.Gate("mystery", 2, []), [0, 1])
    return qc


def control_flow():
    qc = qiskit.QuantumCircuit(1, 1)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(0)
    return qc


@pytest.mark.parametrize(
    "make, message",
    [
        (parameterised, "unbound parameter"),
        (opaque, "unknown gate 'mystery'"),
        (control_flow, "control flow"),
    ],
)
def test_qiskit_operations_without_a_host_form_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        interop.from_qiskit(make())


@pytest.mark.parametrize(
    "op, message",
    [
        (Op(gate="FOO", qbits=[0]), "unknown gate 'FOO'"),
        (Op(gate="CNOT", qbits=[0]), "takes 2 qubit"),
        (Op(gate="RZ", qbits=[0]), "1 parameter"),
        (Op(gate="H", qbits=[5]), "qubit 5 is outside"),
        (Op(gate="CNOT", qbits=[1, 1]), "repeated qubit"),
        (Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0]), "REMAP"),
        (Op(type=OpType.MEASURE, qbits=[0], cbits=[-1]), "classical bit -1"),
        (Op(type=OpType.CLASSIC, qbits=[]), "not supported"),
    ],
)
def test_host_operations_without_a_qiskit_form_are_refused(op, message):
    circuit = Circuit(ops=[op], nbqbits=2, nbcbits=1)
    before = repr(circuit)
    with pytest.raises(ValueError, match=message):
        interop.to_qiskit(circuit)
    assert repr(circuit) == before


@pytest.mark.parametrize(
    "text, message",
    [
        ("OPENQASM 2.0;\nqreg q[1];\nfoo q[0];", "parse error"),
        ('OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[1] q;\nfoo q[0];', "parse error"),
        ("OPENQASM 4.0;\n", "version 4"),
    ],
)
def test_bad_programs_raise_value_errors(text, message):
    with pytest.raises(ValueError, match=message):
        interop.from_qasm(text)


def test_version_is_read_past_comments():
    assert interop.qasm_version("// header\n/* block */ OPENQASM 3.0;\n") == 3
    assert interop.qasm_version("qreg q[1];") == 2


def test_engines_import_without_qiskit_and_conversion_names_the_extra():
    script = (
        "import sys\n"
        "sys.modules['qiskit'] = None\n"
        "import mirel.couplize.plugin, mirel.couplize.router, mirel.couplize.verification\n"
        "from mirel.couplize import interop, topologies\n"
        "try:\n"
        "    interop.from_qasm('OPENQASM 2.0;')\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert "[qiskit]" in out.stdout
