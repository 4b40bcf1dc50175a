"""SABRE engine speed: random two-qubit circuits of growing length and a quantum-volume-like
circuit on a 10x10 grid, against Qiskit's SabreSwap on the same circuits and topology.

Ours is timed on the whole `couplize` call (host circuit in, host circuit out). Qiskit's pass is
timed on `SabreSwap.run(dag)` with the DAG built beforehand (circuit_to_dag is not timed): that
is the pass as a transpiler runs it, including its own conversion of the DAG and the output DAG.
Qiskit uses the trivial layout (virtual qubit i on physical qubit i), heuristic="decay",
trials=1, seed=1. Each time is the best of `REPEATS` runs.

Run: python bench/bench_sabre.py
"""

import random
import time

from mirel.comm.datamodel.ttypes import Circuit, Op
from mirel.couplize.lookahead import QubitGraph, SabreCouplizer

REPEATS = 3
ROWS, COLS = 10, 10
NBQBITS = ROWS * COLS


def grid_edges(rows, cols):
    edges = []
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                edges.append((q, q + 1))
            if r + 1 < rows:
                edges.append((q, q + cols))
    return edges


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
    try:
        from qiskit import QuantumCircuit
        from qiskit.converters import circuit_to_dag
        from qiskit.transpiler import CouplingMap
        from qiskit.transpiler.passes import SabreSwap
    except ImportError:
        return None, None
    coupling = CouplingMap([list(e) for e in edges] + [[b, a] for a, b in edges])
    circuit = QuantumCircuit(NBQBITS)
    for a, b in pairs:
        circuit.cx(a, b)
    best, swaps = float("inf"), None
    for _ in range(REPEATS):
        dag = circuit_to_dag(circuit)
        router = SabreSwap(coupling, heuristic="decay", seed=1, trials=1)
        start = time.perf_counter()
        out = router.run(dag)
        best = min(best, time.perf_counter() - start)
        swaps = out.count_ops().get("swap", 0)
    return best, swaps


def main():
    edges = grid_edges(ROWS, COLS)
    cases = [(f"random {n}", random_pairs(n, seed=n)) for n in (1000, 2000, 4000, 8000)]
    cases.append(("QV-like depth 100", quantum_volume_pairs(100, seed=7)))
    header = (
        f"{'circuit':<18}{'2q gates':>9}{'ours ms':>10}{'swaps':>8}{'x per 2x':>9}"
        f"{'qiskit ms':>11}{'swaps':>8}{'ours/qiskit':>13}"
    )
    print(f"SABRE on a {ROWS}x{COLS} grid, best of {REPEATS} runs")
    print(header)
    print("-" * len(header))
    previous = None
    for name, pairs in cases:
        ours_s, ours_swaps = ours(pairs, edges)
        qk_s, qk_swaps = qiskit(pairs, edges)
        growth = f"{ours_s / previous:.2f}" if previous and name.startswith("random") else ""
        previous = ours_s if name.startswith("random") else previous
        qk_ms = f"{qk_s * 1e3:.1f}" if qk_s is not None else "n/a"
        ratio = f"{ours_s / qk_s:.2f}" if qk_s else "n/a"
        print(
            f"{name:<18}{len(pairs):>9}{ours_s * 1e3:>10.1f}{ours_swaps:>8}{growth:>9}"
            f"{qk_ms:>11}{qk_swaps if qk_swaps is not None else 'n/a':>8}{ratio:>13}"
        )


if __name__ == "__main__":
    main()
