"""Remap utilities and SWAP cancellation: scaling of replace_middle_remap, and the incremental
pattern scan of GraphCircuit against a fresh search after every rewrite.

Run: python bench/bench_remap.py [--quick]
Prints tables; asserts nothing.
"""

import argparse
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType  # noqa: E402
from mirel.couplize.swapcore import QubitGraph, replace_middle_remap  # noqa: E402
from mirel.lumbra.libcpp_lumbra import GraphCircuit  # noqa: E402
from tests.support.routing import grid_edges, make_graph  # noqa: E402

SWAP_PAIR = [("SWAP", {0, 1}), ("SWAP", [0, 1])]


def best_of(repeats, fn, *args):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def circuit_with_remaps(nbqbits, nbops, remap_share, seed):
    """Random 1- and 2-qubit gates with a share of REMAPs over 2..4 random qubits."""
    rng = random.Random(seed)
    ops = []
    for _ in range(nbops):
        kind = rng.random()
        if kind < remap_share:
            qbits = rng.sample(range(nbqbits), rng.randrange(2, 5))
            ops.append(
                Op(type=OpType.REMAP, qbits=qbits, remap=rng.sample(range(len(qbits)), len(qbits)))
            )
        elif kind < 0.4:
            ops.append(Op(gate="H", qbits=[rng.randrange(nbqbits)]))
        else:
            ops.append(Op(gate="CNOT", qbits=rng.sample(range(nbqbits), 2)))
    return Circuit(ops=ops, nbqbits=nbqbits)


def bench_replace_middle_remap(sizes, repeats):
    graph = make_graph(QubitGraph, 16, grid_edges(4, 4))
    print(f"replace_middle_remap, 4x4 grid, 0.5% REMAPs (best of {repeats})")
    header = f"{'ops':>7} {'remaps':>7} {'ops out':>8} {'time (s)':>9} {'ratio':>6} {'us/op':>7}"
    print(header)
    print("-" * len(header))
    previous = None
    for size in sizes:
        circuit = circuit_with_remaps(16, size, 0.005, seed=size)
        middle = sum(1 for op in circuit.ops if op.type == OpType.REMAP)
        elapsed, result = best_of(repeats, replace_middle_remap, circuit, graph)
        ratio = f"{elapsed / previous:.2f}" if previous else "-"
        print(
            f"{size:>7} {middle:>7} {len(result.ops):>8} {elapsed:>9.3f} {ratio:>6}"
            f" {1e6 * elapsed / size:>7.1f}"
        )
        previous = elapsed
    print()


def cancellable_swaps(nbqbits, nbpairs, seed):
    """Nested SWAP pairs separated by gates on other qubits: every pair cancels, and each
    cancellation exposes the next one."""
    rng = random.Random(seed)
    ops = []
    for _ in range(nbpairs // 4):
        pairs = [sorted(rng.sample(range(nbqbits), 2)) for _ in range(4)]
        block = [Op(gate="SWAP", qbits=list(p)) for p in pairs]
        spacer = [Op(gate="H", qbits=[rng.randrange(nbqbits)]) for _ in range(4)]
        ops += [Op(gate="CNOT", qbits=rng.sample(range(nbqbits), 2))] + block
        ops += [o for o in spacer if all(o.qbits[0] not in p for p in pairs)]
        ops += [Op(gate="SWAP", qbits=list(reversed(p))) for p in reversed(pairs)]
    return Circuit(ops=ops, nbqbits=nbqbits)


def incremental(circuit):
    graph = GraphCircuit()
    graph.load_circuit(circuit)
    rounds = 0
    while graph.replace_pattern(SWAP_PAIR, [], pos=all):
        rounds += 1
    return rounds, graph.to_circ()


def fresh_search(circuit):
    graph = GraphCircuit()
    graph.load_circuit(circuit)
    rounds = 0
    while True:
        found = graph.find_occurrences(SWAP_PAIR)
        if not found:
            return rounds, graph.to_circ()
        graph.replace(found[0], [])
        rounds += 1


def bench_cancellation(sizes):
    print("SWAP-pair cancellation with GraphCircuit, 20 qubits")
    header = (
        f"{'ops':>7} {'pairs':>6} {'incremental s':>14} {'fresh search s':>15} {'fresh/incr':>11}"
    )
    print(header)
    print("-" * len(header))
    for pairs in sizes:
        circuit = cancellable_swaps(20, pairs, seed=pairs)
        inc_time, (rounds, inc_result) = best_of(1, incremental, circuit)
        if pairs <= 2000:
            ref_time, (ref_rounds, ref_result) = best_of(1, fresh_search, circuit)
            same = ref_rounds == rounds and ref_result.ops == inc_result.ops
            fresh = f"{ref_time:>15.3f}" + ("" if same else " (differs!)")
            ratio = f"{ref_time / inc_time:>11.1f}"
        else:
            fresh, ratio = f"{'-':>15}", f"{'-':>11}"
        print(f"{len(circuit.ops):>7} {rounds:>6} {inc_time:>14.3f} {fresh} {ratio}")
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    sizes = (1000, 10_000) if quick else (1000, 10_000, 100_000)
    bench_replace_middle_remap(sizes, 1 if quick else 3)
    bench_cancellation((200, 1000) if quick else (200, 1000, 2000, 20_000))


if __name__ == "__main__":
    main()
