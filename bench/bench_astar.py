"""A* engine ("bka"): random two-qubit circuits on a 4x5 grid and a 20-qubit line.

For each slice size (the default, i.e. the topology's maximum matching, then 1, 2 and 4) and
both estimates (the default, written "max", and the sum), prints the time of one `couplize`
call, the inserted SWAPs, the largest number of nodes one search expanded, and how many searches
failed (no order fits the slice at once, or the node limit, default `max_nodes`, was reached
with the sum estimate too) and were redone gate by gate. mqt.qmap's heuristic mapper
(identity initial layout) routes the same circuits as a reference.

The last table runs the default slice size with no node limit (`max_nodes=0`), in a child
process capped at 60 s and 4 GB, to show what an unbounded search costs.
"""

import random
import resource
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from mirel.comm.datamodel.ttypes import Circuit, Op  # noqa: E402
from mirel.couplize.bestfirst import AstarCouplizer, QubitGraph  # noqa: E402
from tests.support.routing import grid_edges, line_edges, make_graph  # noqa: E402

NBQBITS = 20
TOPOLOGIES = {"grid4x5": grid_edges(4, 5), "line20": line_edges(NBQBITS)}
GATE_COUNTS = (200, 400, 800)
SLICE_SIZES = (0, 1, 2, 4)


def pairs(nbgates, seed):
    rng = random.Random(seed)
    return [rng.sample(range(NBQBITS), 2) for _ in range(nbgates)]


def run_astar(edges, gate_pairs, size_slice, use_sum_heuristic, **kwargs):
    circuit = Circuit(ops=[Op(gate="CNOT", qbits=list(p)) for p in gate_pairs], nbqbits=NBQBITS)
    engine = AstarCouplizer(size_slice, **kwargs)
    engine.set_graph(make_graph(QubitGraph, NBQBITS, edges))
    start = time.perf_counter()
    routed = engine.couplize(circuit, use_sum_heuristic=use_sum_heuristic)
    elapsed = time.perf_counter() - start
    swaps = sum(1 for op in routed.ops if op.gate == "SWAP")
    return elapsed, swaps, engine.max_nodes_expanded, engine.split_searches, engine.size_slice


def run_qmap(edges, gate_pairs):
    from mqt.qmap.plugins.qiskit.sc.compile import compile_
    from mqt.qmap.sc import Architecture, InitialLayout, Method
    from qiskit import QuantumCircuit

    circuit = QuantumCircuit(NBQBITS)
    for a, b in gate_pairs:
        circuit.cx(a, b)
    arch = Architecture(NBQBITS, {(a, b) for a, b in edges} | {(b, a) for a, b in edges})
    start = time.perf_counter()
    _, results = compile_(
        circuit,
        arch,
        method=Method.heuristic,
        initial_layout=InitialLayout.identity,
        pre_mapping_optimizations=False,
        post_mapping_optimizations=False,
        add_measurements_to_mapped_circuit=False,
    )
    return time.perf_counter() - start, results.output.swaps


def astar_tables():
    header = (
        f"{'topology':>8} {'gates':>5} {'slice':>5} |"
        f" {'max: time(s)':>12} {'swaps':>5} {'expanded':>8} {'split':>5} |"
        f" {'sum: time(s)':>12} {'swaps':>5} {'expanded':>8} {'split':>5}"
    )
    print(header)
    print("-" * len(header))
    for name, edges in TOPOLOGIES.items():
        for nbgates in GATE_COUNTS:
            gate_pairs = pairs(nbgates, seed=nbgates)
            for size_slice in SLICE_SIZES:
                cells = []
                for use_sum in (False, True):
                    elapsed, swaps, expanded, split, chosen = run_astar(
                        edges, gate_pairs, size_slice, use_sum
                    )
                    cells.append(f" {elapsed:>12.3f} {swaps:>5} {expanded:>8} {split:>5}")
                label = f"{chosen}" + ("*" if size_slice == 0 else "")
                print(f"{name:>8} {nbgates:>5} {label:>5} |" + " |".join(cells))
            elapsed, swaps = run_qmap(edges, gate_pairs)
            print(f"{name:>8} {nbgates:>5} {'qmap':>5} | {elapsed:>12.3f} {swaps:>5}")
    print("* default slice size: the topology's maximum matching")


def unbounded_child(name, nbgates, use_sum):
    limit = 4 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        elapsed, swaps, expanded, _, _ = run_astar(
            TOPOLOGIES[name], pairs(nbgates, seed=nbgates), 0, use_sum, max_nodes=0
        )
        print(f"{elapsed:.3f} {swaps} {expanded}")
    except MemoryError:
        print("out-of-memory")


def unbounded_table():
    print("\nno node limit (max_nodes=0), default slice size, 60 s / 4 GB cap per run")
    print(
        f"{'topology':>8} {'gates':>5} {'heur.':>5} | {'time(s)':>9} {'swaps':>5} {'expanded':>8}"
    )
    for name in TOPOLOGIES:
        for use_sum in (False, True):
            command = [sys.executable, __file__, "--unbounded", name, "200", str(int(use_sum))]
            heuristic = "sum" if use_sum else "max"
            try:
                out = subprocess.run(command, capture_output=True, text=True, timeout=60)
                fields = out.stdout.split() or ["crashed"]
            except subprocess.TimeoutExpired:
                fields = ["> 60 s"]
            if len(fields) == 3:
                fields = [f"{float(fields[0]):>9.3f}", f"{fields[1]:>5}", f"{fields[2]:>8}"]
            print(f"{name:>8} {200:>5} {heuristic:>5} | " + " ".join(fields))


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--unbounded":
        unbounded_child(sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1")
    else:
        astar_tables()
        unbounded_table()
