"""Initial placement: the exhaustive and branch-and-bound searches of `get_initial_order`, and
the annealing and reverse updaters of the windowed engine.

The exhaustive search runs in a child process per thread count (OMP_NUM_THREADS), reporting
wall time and process CPU time. On a busy machine the wall-time speed-up understates what two
free cores give (with Linux autogroup scheduling a second thread gets no extra CPU share while
other sessions keep the cores busy); equal CPU totals show that the threads split the work
without extra cost, so on free cores the wall time is the CPU time divided by the threads.
"""

import json
import math
import os
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import networkx as nx  # noqa: E402

from mirel.comm.datamodel.ttypes import Circuit, Op  # noqa: E402
from mirel.couplize.swapcore import Couplizer, QubitGraph, get_initial_order  # noqa: E402
from tests.support.routing import grid_edges, line_edges, make_graph  # noqa: E402

GRIDS = {8: (2, 4), 9: (3, 3), 10: (2, 5)}


def two_qubit_circuit(nbqbits, nbgates, seed):
    rng = random.Random(seed)
    ops = [Op(gate="CNOT", qbits=rng.sample(range(nbqbits), 2)) for _ in range(nbgates)]
    return Circuit(ops=ops, nbqbits=nbqbits)


def topology(kind, n):
    return line_edges(n) if kind == "line" else grid_edges(*GRIDS[n])


def placement_score(circuit, n, edges, placement):
    """The search's score, summed in its order (i outer, j inner over interacting pairs), so
    equal placements of equal quality compare equal."""
    limit = int(math.floor(n * math.log2(n)))
    weights = {}
    counted = 0
    for op in circuit.ops:
        if len(op.qbits) != 2:
            continue
        if counted == limit:
            break
        counted += 1
        a, b = op.qbits
        weights[a, b] = weights.get((a, b), 0.0) + 1 / counted
        weights[b, a] = weights.get((b, a), 0.0) + 1 / counted
    hops = dict(nx.all_pairs_shortest_path_length(nx.Graph(edges)))
    score = 0.0
    for (i, j), w in sorted(weights.items()):
        score += w * (hops[placement[i]][placement[j]] + 1) ** 2
    return score


def exhaustive_worker():
    """Child process: every exhaustive case once, one JSON line each."""
    for kind in ("line", "grid"):
        for n in (8, 9, 10):
            circuit = two_qubit_circuit(n, 200, seed=n)
            graph = make_graph(QubitGraph, n, topology(kind, n))
            wall, cpu = time.perf_counter(), time.process_time()
            placement = get_initial_order(circuit, graph)
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
            print(json.dumps({"kind": kind, "n": n, "wall": wall, "cpu": cpu, "p": placement}))


def run_exhaustive(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, __file__, "--exhaustive-worker"],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return {(r["kind"], r["n"]): r for r in map(json.loads, out.splitlines())}


def swaps(circuit):
    return sum(1 for op in circuit.ops if op.gate == "SWAP")


def timed(fn, *args, **kwargs):
    """Wall time, process CPU time and the result of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn(*args, **kwargs)
    return time.perf_counter() - wall, time.process_time() - cpu, result


def row(label, measured):
    wall, cpu, routed = measured
    print(f"{label:>22} {wall:>9.3f} {cpu:>9.3f} {swaps(routed):>6}")


def main():
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores\n")

    one, two = run_exhaustive(1), run_exhaustive(2)
    print("exhaustive search (parallel=True), 200 random CNOTs")
    header = f"{'topology':>8} {'n':>3} {'1 thr (s)':>10} {'2 thr (s)':>10} {'speed-up':>9}"
    print(header + f" {'cpu 1 (s)':>10} {'cpu 2 (s)':>10} {'same':>5}")
    optimum = {}
    for key in sorted(one):
        a, b = one[key], two[key]
        kind, n = key
        circuit = two_qubit_circuit(n, 200, seed=n)
        optimum[key] = placement_score(circuit, n, topology(kind, n), a["p"])
        print(
            f"{kind:>8} {n:>3} {a['wall']:>10.3f} {b['wall']:>10.3f} "
            f"{a['wall'] / b['wall']:>9.2f} {a['cpu']:>10.3f} {b['cpu']:>10.3f} "
            f"{'yes' if a['p'] == b['p'] else 'NO':>5}"
        )

    print("\nbranch and bound (parallel=False, seed=1), line, 200 random CNOTs")
    print(f"{'n':>3} {'time (s)':>9} {'cpu (s)':>9} {'score':>10} {'exhaustive optimum':>19}")
    for n in (8, 9, 10, 11, 12):
        circuit = two_qubit_circuit(n, 200, seed=n)
        graph = make_graph(QubitGraph, n, line_edges(n))
        elapsed, cpu, placement = timed(get_initial_order, circuit, graph, False, seed=1)
        score = placement_score(circuit, n, line_edges(n), placement)
        known = optimum.get(("line", n))
        if n == 11:  # one exhaustive run (about 3 s of CPU) gives this optimum too
            best = get_initial_order(circuit, graph)
            known = placement_score(circuit, n, line_edges(n), best)
        reference = "-" if known is None else f"{known:.6f} {'=' if known == score else '!='}"
        print(f"{n:>3} {elapsed:>9.3f} {cpu:>9.3f} {score:>10.6f} {reference:>19}")

    print("\nupdaters, default metric, 4x4 grid, 16 qubits, 500 random CNOTs")
    graph = make_graph(QubitGraph, 16, grid_edges(4, 4))
    circuit = two_qubit_circuit(16, 500, seed=16)
    engine = Couplizer()
    engine.set_graph(graph)
    print(f"{'method':>22} {'time (s)':>9} {'cpu (s)':>9} {'swaps':>6}")
    row("identity placement", timed(engine.couplize, circuit))
    random.seed(0)
    row("annealing (250 it.)", timed(engine.couplize, circuit, True, "annealing"))
    row("reverse", timed(engine.couplize, circuit, True, "reverse"))

    print("\nreverse, default metric, 10x10 grid, 100 qubits, 8000 random CNOTs")
    graph = make_graph(QubitGraph, 100, grid_edges(10, 10))
    circuit = two_qubit_circuit(100, 8000, seed=100)
    engine = Couplizer()
    engine.set_graph(graph)
    print(f"{'method':>22} {'time (s)':>9} {'cpu (s)':>9} {'swaps':>6}")
    row("identity placement", timed(engine.couplize, circuit))
    row("reverse", timed(engine.couplize, circuit, True, "reverse"))


if __name__ == "__main__":
    if "--exhaustive-worker" in sys.argv:
        exhaustive_worker()
    else:
        main()
