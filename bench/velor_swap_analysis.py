"""Why the windowed engine ("velor") inserts so many SWAPs on a full entangler over a line.

The circuit is CNOT(j, k) for every j < k, taken k by k (the two-qubit part of MQT Bench's
vqe_two_local, one repetition). Qiskit's SabreSwap needs about one SWAP per CNOT on a line. The
first table counts velor's SWAPs per window size, with and without the opt-in modes; the second
shows the SWAPs spent on each round k (the CNOTs onto qubit k) and where the qubits sit when the
round starts: with window 3 the qubits end up interleaved (odd ones at one end, even ones at the
other), so qubit k travels the whole line for nearly every CNOT of its round and round k costs
about k * k / 2 SWAPs.

Run: python bench/velor_swap_analysis.py [n]
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from mirel.comm.datamodel.ttypes import Circuit, Op  # noqa: E402
from mirel.couplize.swapcore import Couplizer, QubitGraph  # noqa: E402
from tests.support.routing import line_edges, make_graph  # noqa: E402

MODES = {
    "default": {},
    "whole_window": {"whole_window": True},
    "ahead 4, w 2": {"lookahead": 4, "lookahead_weight": 2.0},
    "whole+ahead 4, w 2": {"whole_window": True, "lookahead": 4, "lookahead_weight": 2.0},
    "whole+ahead 20, w 1": {"whole_window": True, "lookahead": 20, "lookahead_weight": 1.0},
}


def full_entangler(n):
    ops = [Op(gate="CNOT", qbits=[j, k]) for k in range(1, n) for j in range(k)]
    return Circuit(ops=ops, nbqbits=n)


def route(n, window, **options):
    engine = Couplizer(window, **options)
    engine.set_graph(make_graph(QubitGraph, n, line_edges(n)))
    return engine.couplize(full_entangler(n))


def rounds(n, routed):
    """SWAPs spent on each round k, and the placement (logical qubit per physical) at its start."""
    holder = list(range(n))
    per_round, starts, cnots = [0] * n, {}, 0
    k = 1
    for op in routed.ops:
        if op.gate == "SWAP":
            a, b = op.qbits
            holder[a], holder[b] = holder[b], holder[a]
            per_round[k] += 1
        elif op.gate == "CNOT":
            if cnots == 0:
                starts[k] = list(holder)
            cnots += 1
            if cnots == k:
                k, cnots = k + 1, 0
    return per_round, starts


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    cnots = n * (n - 1) // 2
    print(f"full entangler on a line of {n} qubits: {cnots} CNOTs; SWAPs (SWAPs per CNOT)")
    print(f"{'window':>6}" + "".join(f"{mode:>21}" for mode in MODES))
    for window in (1, 2, 3, 4, 5):
        cells = []
        for options in MODES.values():
            swaps = sum(op.gate == "SWAP" for op in route(n, window, **options).ops)
            cells.append(f"{swaps:>10} ({swaps / cnots:4.1f})")
        print(f"{window:>6}" + "".join(f"{c:>21}" for c in cells))

    small = min(n, 10)
    print(f"\nwindow 3, default, {small} qubits: SWAPs per round and placement at its start")
    per_round, starts = rounds(small, route(small, 3))
    for k in range(1, small):
        print(f"round {k:>2}: {per_round[k]:>3} SWAPs  start {starts[k]}")
    per_round, _ = rounds(n, route(n, 3))
    print(f"\nwindow 3, default, {n} qubits: SWAPs per round k = 1..{n - 1}")
    print(" ".join(str(c) for c in per_round[1:]))


if __name__ == "__main__":
    main()
