"""Pattern engine ("kovra") quality and speed: SWAPs before rewriting, after "gradient", after
"annealing" (seeded), the time of each, and the SWAPs of the "sabre" engine on the same circuit.

Topologies: a 20-qubit line and a 5x4 grid. Circuits: random two-qubit gates (CNOT/CZ on random
distinct pairs) with one-qubit gates mixed in (about one in four operations). The routing step
alone ("before") is `couplize` with the rewriting replaced by the identity; each rewriting time
is the whole `couplize` call (routing included), one run each, in CPU seconds of this process
(the machine is shared, so wall time says more about the neighbours than about the code).
"x2" is the growth of the "gradient" time when the circuit doubles (4 would be quadratic).
"depth 3" is "gradient" with `depth=3` (chains of up to three rewrites before a removal, against
two by default): it shows what the default gives up for speed.

Targets: "gradient" removes at least 30% of the SWAPs on the 20-line; time grows at most about
quadratically with the circuit length; 800 gates with "gradient" in under 5 s.

Run: python bench/bench_kovra.py
"""

import random
import sys
import time
from pathlib import Path
from unittest import mock

from mirel.comm.datamodel.ttypes import Circuit, Op
from mirel.couplize import motifs
from mirel.couplize.lookahead import SabreCouplizer
from mirel.couplize.motifs import PatternCouplizer, QubitGraph

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from tests.support.routing import grid_edges, line_edges  # noqa: E402

SIZES = (100, 200, 400, 800)
SEED = 1


def random_circuit(nbqbits, nbtwo, seed):
    rng = random.Random(seed)
    ops = []
    while len([o for o in ops if len(o.qbits) == 2]) < nbtwo:
        if rng.random() < 0.25:
            ops.append(Op(gate=rng.choice(["H", "T", "RZ"]), qbits=[rng.randrange(nbqbits)]))
            if ops[-1].gate == "RZ":
                ops[-1].params = [rng.random()]
        else:
            a, b = rng.sample(range(nbqbits), 2)
            ops.append(Op(gate=rng.choice(["CNOT", "CZ"]), qbits=[a, b]))
    return Circuit(ops=ops, nbqbits=nbqbits)


def swaps(circuit):
    return sum(1 for op in circuit.ops if op.gate == "SWAP")


def timed(run, *args, **kwargs):
    start = time.process_time()
    result = run(*args, **kwargs)
    return time.process_time() - start, result


def main():
    topologies = [("line 20", 20, line_edges(20)), ("grid 5x4", 20, grid_edges(5, 4))]
    print("kovra: SWAPs before rewriting, after each method, and sabre's SWAPs for reference")
    print("times in CPU seconds of the whole couplize call; annealing seeded with random.seed(1)")
    header = (
        f"{'topology':<10}{'2q gates':>9}{'before':>8}{'gradient':>9}{'removed':>8}{'grad s':>8}"
        f"{'x2':>6}{'depth 3':>8}{'removed':>8}{'d3 s':>7}"
        f"{'annealing':>10}{'removed':>8}{'anneal s':>9}{'sabre':>7}"
    )
    print(header)
    print("-" * len(header))
    for name, nbqbits, edges in topologies:
        graph = QubitGraph(nbqbits)
        sabre_graph = QubitGraph(nbqbits)
        for a, b in edges:
            graph.add_edge(a, b)
            sabre_graph.add_edge(a, b)
        engine = PatternCouplizer()
        engine.set_graph(graph)
        sabre = SabreCouplizer()
        sabre.set_graph(sabre_graph)
        previous = None
        for size in SIZES:
            circuit = random_circuit(nbqbits, size, seed=SEED + size)
            with mock.patch.object(motifs, "optimize_swap", lambda c, **kw: c):
                before = swaps(engine.couplize(circuit))
            grad_s, grad = timed(engine.couplize, circuit, method="gradient")
            deep_s, deep = timed(engine.couplize, circuit, method="gradient", depth=3)
            random.seed(SEED)
            anneal_s, anneal = timed(engine.couplize, circuit, method="annealing")
            sabre_swaps = swaps(sabre.couplize(circuit))
            g, d, a = swaps(grad), swaps(deep), swaps(anneal)
            growth = f"{grad_s / previous:.1f}" if previous else "-"
            print(
                f"{name:<10}{size:>9}{before:>8}{g:>9}{1 - g / before:>8.0%}{grad_s:>8.2f}"
                f"{growth:>6}{d:>8}{1 - d / before:>8.0%}{deep_s:>7.2f}"
                f"{a:>10}{1 - a / before:>8.0%}{anneal_s:>9.2f}{sabre_swaps:>7}"
            )
            previous = grad_s


if __name__ == "__main__":
    main()
