"""Standard benchmark circuits and topologies shared by the benchmarks that compare our engines
with other routers.

Circuits come from MQT Bench (target-independent level), decomposed to one-qubit gates and CNOTs
with final measurements and barriers removed, and are cached as OpenQASM 2 under
bench/.cache/ (ignored by git) so that later runs do not regenerate them. Each circuit is routed
on three topologies that hold it: heavy-hex, square grid and a line of its own width.

Needs the [bench] extra (qiskit, mqt.bench, mqt.qmap).
"""

import math
import sys
from dataclasses import dataclass
from pathlib import Path

from mirel.comm.datamodel.ttypes import Circuit
from mirel.couplize import topologies
from mirel.couplize.interop import from_qiskit

ROOT = Path(__file__).resolve().parents[1]

CACHE = ROOT / "bench" / ".cache" / "mqtbench"
NAMES = (
    "ghz",
    "dj",
    "graphstate",
    "qnn",
    "wstate",
    "vqe_su2",
    "qaoa",
    "ae",
    "qft",
    "qftentangled",
    "vqe_two_local",
    "randomcircuit",
)
SIZES = (16, 27, 50, 100)
BASIS = ["u", "cx"]


@dataclass
class Topology:
    name: str
    nbqbits: int
    edges: list  # undirected, each pair once

    def coupling_map(self):
        from qiskit.transpiler import CouplingMap

        return CouplingMap([list(e) for e in self.edges] + [[b, a] for a, b in self.edges])


@dataclass
class Case:
    name: str  # e.g. "qft-50"
    circuit: object  # qiskit QuantumCircuit on `width` qubits, only u and cx
    host: Circuit  # the same circuit as host operations
    width: int
    two_qubit_gates: int


def load(name, size):
    """The decomposed MQT Bench circuit `name` at `size` qubits (from the cache when there)."""
    from qiskit import qasm2

    path = CACHE / f"{name}-{size}.qasm"
    if not path.exists():
        from mqt.bench import BenchmarkLevel, get_benchmark
        from qiskit import transpile

        circuit = get_benchmark(name, BenchmarkLevel.INDEP, size)
        circuit.remove_final_measurements(inplace=True)
        circuit = transpile(circuit, basis_gates=BASIS, optimization_level=1, seed_transpiler=1)
        CACHE.mkdir(parents=True, exist_ok=True)
        path.write_text(qasm2.dumps(circuit))
    return qasm2.loads(path.read_text(), custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)


def to_host(circuit):
    """Host circuit of a decomposed QuantumCircuit (barriers dropped)."""
    return from_qiskit(circuit)


def cases(names=NAMES, sizes=SIZES, min_two_qubit=0):
    """Every benchmark circuit of `names` x `sizes` that MQT Bench can build."""
    found = []
    for size in sizes:
        for name in names:
            try:
                circuit = load(name, size)
            except Exception as error:  # a generator that does not take this size
                print(f"skipped {name}-{size}: {error}", file=sys.stderr)
                continue
            two = sum(1 for i in circuit.data if i.operation.num_qubits == 2)
            if two < min_two_qubit:
                continue
            found.append(Case(f"{name}-{size}", circuit, to_host(circuit), circuit.num_qubits, two))
    return found


def _preset(text, name):
    device = topologies.device(text)
    return Topology(name, device.nbqbits, list(device.edges))


def heavy_hex(distance):
    return _preset(f"heavy-hex:{distance}", f"heavy-hex-d{distance}")


def grid(rows, cols):
    return _preset(f"grid:{rows}x{cols}", f"grid-{rows}x{cols}")


def line(n):
    return _preset(f"line:{n}", f"line-{n}")


TOPOLOGY_KINDS = ("heavy-hex", "grid", "line")


def topology_for(kind, width):
    """The smallest topology of `kind` that holds `width` qubits."""
    if kind == "heavy-hex":
        return heavy_hex(5) if width <= 57 else heavy_hex(7)
    if kind == "grid":
        return grid(5, 5) if width <= 25 else grid(10, 10)
    if kind == "line":
        return line(width)
    raise ValueError(f"unknown topology kind {kind!r}; known: {', '.join(TOPOLOGY_KINDS)}")


def widened(circuit, nbqbits):
    """`circuit` on the first qubits of a register of `nbqbits` (a router's trivial placement)."""
    from qiskit import QuantumCircuit

    if circuit.num_qubits == nbqbits:
        return circuit
    wide = QuantumCircuit(nbqbits)
    return wide.compose(circuit, qubits=range(circuit.num_qubits))


def two_qubit_depth(ops):
    """Depth counted in two-qubit gates (SWAPs included) of host operations."""
    level = {}
    depth = 0
    for op in ops:
        qubits = op.qbits or []
        if len(qubits) != 2:
            continue
        d = max(level.get(q, 0) for q in qubits) + 1
        for q in qubits:
            level[q] = d
        depth = max(depth, d)
    return depth


def geometric_mean(values):
    values = [v for v in values if v is not None and v > 0]
    if not values:
        return None
    return math.exp(sum(math.log(v) for v in values) / len(values))
