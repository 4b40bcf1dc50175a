"""Plugin overhead: `Couplizer.compile` on a batch against the bare engine calls it makes.

A batch of 100 random 20-qubit, 500-gate circuits on a 4x5 grid (CUSTOM topology). The bare
time is the sum of the engine's `couplize` calls on the same circuits with the plugin's
keywords (the engine bound to the grid once, the results kept); the plugin time is one
`compile` of the whole batch (copies, topology binding, remap records, gate dictionaries,
measured qubits). Times are the process's CPU time (the machine may be shared), best of
`REPEATS` runs, each started after a full garbage collection.

Run: python bench/bench_plugin.py
"""

import gc
import sys
import time
from pathlib import Path

from mirel.core import Batch, HardwareSpecs, Job, Topology, TopologyType
from mirel.couplize.plugin import Couplizer

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.support.routing import grid_edges, random_circuit  # noqa: E402

REPEATS = 3
ROWS, COLS = 4, 5
NBQBITS = ROWS * COLS
CIRCUITS, GATES = 100, 500
METHODS = ["sabre", "velor"]


def best_time(run):
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()  # each run starts from the same heap
        start = time.process_time()
        run()
        best = min(best, time.process_time() - start)
    return best


def main():
    edges = grid_edges(ROWS, COLS)
    mapping = {q: [] for q in range(NBQBITS)}
    for a, b in edges:
        mapping[a].append(b)
        mapping[b].append(a)
    specs = HardwareSpecs(nbqbits=NBQBITS, topology=Topology(TopologyType.CUSTOM, mapping))
    circuits = [random_circuit(NBQBITS, GATES, seed=s) for s in range(CIRCUITS)]
    batch = Batch(jobs=[Job(circuit=c) for c in circuits])

    print(f"{CIRCUITS} circuits of {NBQBITS} qubits and {GATES} gates on a {ROWS}x{COLS} grid")
    print(
        f"{'method':<8} {'engine (s)':>11} {'engine, gc paused (s)':>22} {'plugin (s)':>11} "
        f"{'overhead':>9} {'overhead vs paused':>19}"
    )
    for method in METHODS:
        plugin = Couplizer(method)
        plugin._set_graph(specs)  # the very graph the plugin hands its engine
        engine = plugin.couplizer
        engine.set_graph(plugin.graph)

        def bare(engine=engine, args=plugin.couplize_args):
            # Results are kept, as the plugin keeps them to return them: holding many live
            # objects has a cost of its own (garbage-collector passes), paid by both sides.
            return [engine.couplize(circuit, **args) for circuit in circuits]

        def bare_paused(engine=engine, args=plugin.couplize_args):
            # The same calls with the collector paused around them all (the plugin pauses it
            # around each job): the engine alone at its fastest.
            gc.disable()
            try:
                return [engine.couplize(circuit, **args) for circuit in circuits]
            finally:
                gc.enable()

        bare_time, paused_time = best_time(bare), best_time(bare_paused)
        plugin_time = best_time(lambda plugin=plugin: plugin.compile(batch, specs))
        print(
            f"{method:<8} {bare_time:>11.3f} {paused_time:>22.3f} {plugin_time:>11.3f} "
            f"{plugin_time / bare_time - 1:>9.1%} {plugin_time / paused_time - 1:>19.1%}"
        )


if __name__ == "__main__":
    main()
