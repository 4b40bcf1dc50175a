"""A* engine ("bka") with its default settings on the benchmark circuits: where the node limit
is reached.

For each MQT Bench case of the chosen sizes on each topology kind (the smallest heavy-hex, grid
or line that holds it, trivial placement), prints the time of one `couplize` call, the SWAPs
(checked with the shared equivalence checker), and the searches that reached the node limit
(`summed_searches`: redone with the sum estimate; `split_searches`: redone gate by gate, which
also counts slices that fit no placement at once). Ends with the number of cases where some
search reached the limit and the slowest case.

Run: python bench/bench_astar_caps.py [--sizes 16,27] [--topologies heavy-hex,grid,line]
Needs the [bench] extra (qiskit, mqt.bench).
"""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(1, str(Path(__file__).resolve().parents[1]))  # for the tests' shared checker
import peer_suite as suite  # noqa: E402

from tests.support.routing import check_routed  # noqa: E402


def main():
    from mirel.couplize import bestfirst

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="16,27")
    parser.add_argument("--names", default=",".join(suite.NAMES))
    parser.add_argument("--topologies", default=",".join(suite.TOPOLOGY_KINDS))
    parser.add_argument("--max-nodes", type=int, help="the engine's max_nodes (default: its own)")
    args = parser.parse_args()
    cases = suite.cases(args.names.split(","), [int(s) for s in args.sizes.split(",")])
    header = (
        f"{'circuit':<20}{'topology':<16}{'2q':>7}{'swaps':>8}{'s':>8}{'summed':>8}{'split':>7}"
    )
    print(header)
    print("-" * len(header))
    capped = total = 0
    slowest = (0.0, "")
    for kind in args.topologies.split(","):
        for case in cases:
            topology = suite.topology_for(kind, case.width)
            graph = bestfirst.QubitGraph(topology.nbqbits)
            for a, b in topology.edges:
                graph.add_edge(a, b)
            limit = {} if args.max_nodes is None else {"max_nodes": args.max_nodes}
            engine = bestfirst.AstarCouplizer(**limit)
            engine.set_graph(graph)
            start = time.perf_counter()
            routed = engine.couplize(case.host)
            seconds = time.perf_counter() - start
            swaps = check_routed(case.host, routed, topology.nbqbits, topology.edges)
            summed, split = engine.summed_searches, engine.split_searches
            total += 1
            capped += summed > 0
            slowest = max(slowest, (seconds, f"{case.name} on {topology.name}"))
            print(
                f"{case.name:<20}{topology.name:<16}{case.two_qubit_gates:>7}{swaps:>8}"
                f"{seconds:>8.2f}{summed:>8}{split:>7}",
                flush=True,
            )
    print(f"\nnode limit reached on some slice: {capped} of {total} cases")
    print(f"slowest: {slowest[0]:.2f} s ({slowest[1]})")


if __name__ == "__main__":
    main()
