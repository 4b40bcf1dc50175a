"""SABRE engine speed: random two-qubit circuits of growing length and a quantum-volume-like
circuit on a 10x10 grid, against Qiskit's SabreSwap on the same circuits and topology.

Ours is timed on the whole `couplize` call (host circuit in, host circuit out). Qiskit is timed
twice: the pass alone on a DAG built beforehand, and end to end from a QuantumCircuit to a
QuantumCircuit through a PassManager (the counterpart of our call).
Qiskit uses the trivial layout (virtual qubit i on physical qubit i), heuristic="decay",
trials=1, seed=1. Each time is the best of `REPEATS` runs.

Run: python bench/bench_sabre.py
"""

import random
import sys
import time
from pathlib import Path

from mirel.comm.datamodel.ttypes import Circuit, Op
from mirel.couplize.lookahead import QubitGraph, SabreCouplizer

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.support.routing import grid_edges  # noqa: E402

REPEATS = 3
ROWS, COLS = 10, 10
NBQBITS = ROWS * COLS


def random_pairs(nbgates, seed):
    rng = random.Random(seed)
    return [tuple(rng.sample(range(NBQBITS), 2)) for _ in range(nbgates)]


def quantum_volume_pairs(depth, seed):
    """Each layer pairs up a random permutation of all qubits."""
    rng = random.Random(seed)
    pairs = []
    for _ in range(depth):
        qubits = list(range(NBQBITS))
        rng.shuffle(qubits)
        pairs.extend(zip(qubits[0::2], qubits[1::2], strict=True))
    return pairs


def best_time(run):
    best, result = float("inf"), None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def ours(pairs, edges):
    graph = QubitGraph(NBQBITS)
    for a, b in edges:
        graph.add_edge(a, b)
    engine = SabreCouplizer()
    engine.set_graph(graph)
    circuit = Circuit(ops=[Op(gate="CNOT", qbits=[a, b]) for a, b in pairs], nbqbits=NBQBITS)
    engine.couplize(circuit)  # builds the topology's distance table once, as any first call does
    seconds, routed = best_time(lambda: engine.couplize(circuit))
    return seconds, sum(1 for op in routed.ops if op.gate == "SWAP")


def qiskit(pairs, edges):
    """Qiskit's SabreSwap on the same circuit: (pass seconds, end-to-end seconds, swaps).

    The pass time is `SabreSwap.run(dag)` on a DAG built beforehand; the end-to-end time is a
    PassManager run from a QuantumCircuit to a QuantumCircuit, the counterpart of our call.
    """
    try:
        from qiskit import QuantumCircuit
        from qiskit.converters import circuit_to_dag
        from qiskit.transpiler import CouplingMap, PassManager
        from qiskit.transpiler.passes import SabreSwap
    except ImportError:
        return None, None, None
    coupling = CouplingMap([list(e) for e in edges] + [[b, a] for a, b in edges])
    circuit = QuantumCircuit(NBQBITS)
    for a, b in pairs:
        circuit.cx(a, b)

    def router():
        return SabreSwap(coupling, heuristic="decay", seed=1, trials=1)

    best_pass, best_total, swaps = float("inf"), float("inf"), None
    for _ in range(REPEATS):
        dag = circuit_to_dag(circuit)
        sabre = router()
        start = time.perf_counter()
        out = sabre.run(dag)
        best_pass = min(best_pass, time.perf_counter() - start)
        swaps = out.count_ops().get("swap", 0)
        manager = PassManager([router()])
        start = time.perf_counter()
        manager.run(circuit)
        best_total = min(best_total, time.perf_counter() - start)
    return best_pass, best_total, swaps


def ms(seconds):
    return f"{seconds * 1e3:.1f}" if seconds is not None else "n/a"


def ratio(ours_seconds, seconds):
    return f"{ours_seconds / seconds:.2f}" if seconds else "n/a"


def main():
    edges = grid_edges(ROWS, COLS)
    cases = [(f"random {n}", random_pairs(n, seed=n)) for n in (1000, 2000, 4000, 8000)]
    cases.append(("QV-like depth 100", quantum_volume_pairs(100, seed=7)))
    header = (
        f"{'circuit':<18}{'2q gates':>9}{'ours ms':>9}{'swaps':>7}{'x per 2x':>9}"
        f"{'qk pass ms':>11}{'qk e2e ms':>10}{'swaps':>7}{'ours/pass':>10}{'ours/e2e':>9}"
    )
    print(f"SABRE on a {ROWS}x{COLS} grid, best of {REPEATS} runs")
    print("ours: couplize, host circuit in and out; qk pass: SabreSwap.run on a prepared DAG;")
    print("qk e2e: PassManager([SabreSwap]).run, QuantumCircuit in and out")
    print(header)
    print("-" * len(header))
    previous = None
    for name, pairs in cases:
        ours_s, ours_swaps = ours(pairs, edges)
        qk_pass, qk_total, qk_swaps = qiskit(pairs, edges)
        growth = f"{ours_s / previous:.2f}" if previous and name.startswith("random") else ""
        previous = ours_s if name.startswith("random") else previous

        print(
            f"{name:<18}{len(pairs):>9}{ours_s * 1e3:>9.1f}{ours_swaps:>7}{growth:>9}"
            f"{ms(qk_pass):>11}{ms(qk_total):>10}{qk_swaps if qk_swaps is not None else 'n/a':>7}"
            f"{ratio(ours_s, qk_pass):>10}{ratio(ours_s, qk_total):>9}"
        )


if __name__ == "__main__":
    main()
