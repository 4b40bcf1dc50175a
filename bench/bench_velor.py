"""Windowed engine ("velor") scaling: random two-qubit circuits on a line of 100 qubits, on
heavy-hex distance 7 (127 qubits, needs qiskit) and on a 5x5 grid, window 3.

Times one full `couplize` call (reading host objects, routing, building the routed circuit)
and prints the ratio between successive doublings; linear scaling gives about 2.0.
"""

import gc
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from mirel.comm.datamodel.ttypes import Circuit, Op  # noqa: E402
from mirel.couplize.swapcore import Couplizer, QuantumCostMetric, QubitGraph  # noqa: E402
from tests.support.routing import grid_edges, line_edges, make_graph  # noqa: E402


def two_qubit_circuit(nbqbits, nbgates, seed):
    rng = random.Random(seed)
    ops = [Op(gate="CNOT", qbits=rng.sample(range(nbqbits), 2)) for _ in range(nbgates)]
    return Circuit(ops=ops, nbqbits=nbqbits)


def best_of(repeats, fn, *args):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()  # each run starts from the same collector state
        start = time.perf_counter()
        result = fn(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def doubling(name, nbqbits, edges, counts):
    """Time per gate as random circuits double on one topology (default engine, window 3)."""
    graph = make_graph(QubitGraph, nbqbits, edges)
    print(f"\nvelor, {name}, window 3, default metric (best of 3)")
    print(f"{'gates':>6} {'time (s)':>9} {'ratio':>6} {'swaps':>8} {'us/gate':>8}")
    previous = None
    for nbgates in counts:
        circuit = two_qubit_circuit(nbqbits, nbgates, seed=nbgates)
        engine = Couplizer()
        engine.set_graph(graph)
        elapsed, routed = best_of(3, engine.couplize, circuit)
        swaps = sum(1 for op in routed.ops if op.gate == "SWAP")
        ratio = f"{elapsed / previous:.2f}" if previous else "-"
        print(f"{nbgates:>6} {elapsed:>9.3f} {ratio:>6} {swaps:>8} {1e6 * elapsed / nbgates:>8.1f}")
        previous = elapsed


def main():
    doubling("line of 100", 100, line_edges(100), (1000, 2000, 4000, 8000))
    try:
        from peer_suite import heavy_hex  # needs qiskit (the [bench] extra)

        hexes = heavy_hex(7)
        doubling("heavy-hex distance 7", hexes.nbqbits, hexes.edges, (2000, 4000, 8000, 16000))
    except ImportError as error:
        print(f"\nheavy-hex rows skipped: {error}")
    print()

    graph = make_graph(QubitGraph, 25, grid_edges(5, 5))
    print("velor, 5x5 grid, window 3, QuantumCostMetric (best of 7)")
    print(f"{'gates':>6} {'time (s)':>9} {'ratio':>6} {'swaps':>6} {'us/gate':>8}")
    previous = None
    for nbgates in (1000, 2000, 4000, 8000):
        circuit = two_qubit_circuit(25, nbgates, seed=nbgates)
        engine = Couplizer(window_size=3, metric=QuantumCostMetric())
        engine.set_graph(graph)
        elapsed, routed = best_of(7, engine.couplize, circuit)
        swaps = sum(1 for op in routed.ops if op.gate == "SWAP")
        ratio = f"{elapsed / previous:.2f}" if previous else "-"
        print(f"{nbgates:>6} {elapsed:>9.3f} {ratio:>6} {swaps:>6} {1e6 * elapsed / nbgates:>8.1f}")
        previous = elapsed

    # A Python callable scores every candidate on the whole circuit routed so far, so its cost
    # grows with the square of the length; a short circuit keeps this row quick.
    circuit = two_qubit_circuit(25, 500, seed=7)
    print("\nmetric kinds, 500 gates, window 3")
    for label, metric in (
        ("default (native choice)", None),
        ("QuantumCostMetric", QuantumCostMetric()),
        ("python callable", lambda circ: -len(circ.ops)),
    ):
        engine = Couplizer(3, metric) if metric is not None else Couplizer(3)
        engine.set_graph(graph)
        elapsed, _ = best_of(1, engine.couplize, circuit)
        print(f"{label:>24} {elapsed:>9.3f} s")


if __name__ == "__main__":
    main()
