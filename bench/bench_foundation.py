"""Foundation figures: topology graph construction and path queries on grids, and deep copies
of circuits with the data model's own __deepcopy__ against the generic reflection path.

Run: python bench/bench_foundation.py [--quick]
Prints tables; asserts nothing.
"""

import argparse
import contextlib
import copy
import gc
import random
import sys
import time
from pathlib import Path

import networkx as nx

from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
from mirel.comm.record import Record
from mirel.couplize.swapcore import QubitGraph

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.support.routing import grid_edges  # noqa: E402


def best_of(repeats, action):
    """Smallest wall time of `repeats` runs of `action()` (which may prepare fresh state)."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def ms(seconds):
    return f"{seconds * 1e3:10.2f}"


def bench_graph(sides, repeats):
    print("QubitGraph on square grids: build, then path(0, t) for every qubit t")
    header = (
        f"{'qubits':>7} {'edges':>6} {'build ms':>10} {'first ms':>10} {'cached ms':>10}"
        f" {'first/cached':>12} {'nx ms':>10} {'nx/first':>9}"
    )
    print(header)
    print("-" * len(header))
    for side in sides:
        n = side * side
        edges = grid_edges(side, side)

        def build(n=n, edges=edges):
            graph = QubitGraph(n)
            for a, b in edges:
                graph.add_edge(a, b)
            return graph

        build_time = best_of(repeats, build)

        first_times, cached_times = [], []
        for _ in range(repeats):
            graph = build()
            start = time.perf_counter()
            for target in range(n):
                graph.path(0, target)
            first_times.append(time.perf_counter() - start)
            start = time.perf_counter()
            for target in range(n):
                graph.path(0, target)
            cached_times.append(time.perf_counter() - start)
        first, cached = min(first_times), min(cached_times)

        reference = nx.Graph(edges)
        nx_time = best_of(
            repeats, lambda ref=reference, n=n: [nx.shortest_path(ref, 0, t) for t in range(n)]
        )
        print(
            f"{n:>7} {len(edges):>6} {ms(build_time)} {ms(first)} {ms(cached)}"
            f" {first / cached:>12.1f} {ms(nx_time)} {nx_time / first:>9.1f}"
        )
    print()


def random_circuit(nbqbits, nbops, seed):
    rng = random.Random(seed)
    ops = []
    for _ in range(nbops):
        kind = rng.random()
        if kind < 0.35:
            ops.append(Op(gate="H", qbits=[rng.randrange(nbqbits)]))
        elif kind < 0.6:
            ops.append(Op(gate="RZ", params=[rng.uniform(0, 6.28)], qbits=[rng.randrange(nbqbits)]))
        elif kind < 0.9:
            a, b = rng.sample(range(nbqbits), 2)
            ops.append(Op(gate="CNOT", qbits=[a, b]))
        else:
            a, b = rng.sample(range(nbqbits), 2)
            ops.append(Op(gate="CRZ", params=[rng.uniform(0, 6.28)], qbits=[a, b]))
    gates = {
        name: GateDefinition(name=name, arity=arity, syntax=GSyntax(name=name))
        for name, arity in (("H", 1), ("RZ", 1), ("CNOT", 2), ("CRZ", 2))
    }
    return Circuit(ops=ops, nbqbits=nbqbits, gateDic=gates)


@contextlib.contextmanager
def generic_deepcopy():
    """Hides the data model's __deepcopy__ so that copy.deepcopy takes __reduce_ex__."""
    classes = (Record, Op, Circuit)
    saved = {cls: cls.__dict__["__deepcopy__"] for cls in classes}
    try:
        for cls in classes:
            cls.__deepcopy__ = None  # copy.deepcopy treats None as "no copier"
        yield
    finally:
        for cls, method in saved.items():
            cls.__deepcopy__ = method


def bench_deepcopy(sizes, repeats):
    print("copy.deepcopy of circuits (1- and 2-qubit gates, 35% with params), 64 qubits")
    header = (
        f"{'ops':>7} {'own ms':>10} {'generic ms':>11} {'speed-up':>9} {'us/op own':>10}"
        f" {'own, gc off':>12}"
    )
    print(header)
    print("-" * len(header))
    for size in sizes:
        circuit = random_circuit(64, size, seed=size)
        own = best_of(repeats, lambda c=circuit: copy.deepcopy(c))
        gc.disable()  # shows how much of the time is the cyclic collector walking new objects
        try:
            own_no_gc = best_of(repeats, lambda c=circuit: copy.deepcopy(c))
        finally:
            gc.enable()
        with generic_deepcopy():
            generic = best_of(repeats, lambda c=circuit: copy.deepcopy(c))
            assert copy.deepcopy(circuit) == circuit
        print(
            f"{size:>7} {ms(own)} {generic * 1e3:11.2f} {generic / own:>9.1f}"
            f" {own / size * 1e6:>10.2f} {own_no_gc * 1e3:12.2f}"
        )
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, one repeat")
    args = parser.parse_args()
    if args.quick:
        bench_graph([10, 20], repeats=1)
        bench_deepcopy([10_000], repeats=1)
    else:
        bench_graph([10, 20, 40], repeats=3)
        bench_deepcopy([10_000, 100_000], repeats=3)


if __name__ == "__main__":
    main()
