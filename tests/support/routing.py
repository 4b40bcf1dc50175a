"""Shared helpers for routing tests: topologies, seeded random circuits, and the equivalence
checker every engine's property test uses."""

import random
from collections import defaultdict

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize.topologies import grid_edges, line_edges  # noqa: F401 (shared with tests)

# --- topologies as edge lists (the presets' own builders) ----------------------------------


def ring_edges(n):
    return line_edges(n) + [(n - 1, 0)]


def star_edges(n):
    return [(0, i) for i in range(1, n)]


def heavy_hex_edges(rows, cols):
    """IBM-style heavy-hex: `rows` lines of `cols` qubits, consecutive lines joined through one
    bridge qubit every four columns, the bridges shifted by two from one gap to the next.
    Returns (number of qubits, edges)."""
    edges = []
    for r in range(rows):
        edges += [(r * cols + c, r * cols + c + 1) for c in range(cols - 1)]
    n = rows * cols
    for r in range(rows - 1):
        for c in range(2 * (r % 2), cols, 4):
            edges += [(r * cols + c, n), (n, (r + 1) * cols + c)]
            n += 1
    return n, edges


def random_connected_edges(n, extra, seed):
    """A random spanning tree plus `extra` random edges."""
    rng = random.Random(seed)
    edges = [(rng.randrange(i), i) for i in range(1, n)]
    for _ in range(extra):
        a, b = rng.sample(range(n), 2)
        edges.append((a, b))
    return edges


TOPOLOGIES = {
    "line6": (6, line_edges(6)),
    "ring7": (7, ring_edges(7)),
    "grid3x3": (9, grid_edges(3, 3)),
    "random8": (8, random_connected_edges(8, 3, seed=11)),
}


def make_graph(graph_type, nbqbits, edges):
    graph = graph_type(nbqbits)
    for a, b in edges:
        graph.add_edge(a, b)
    return graph


# --- circuits ------------------------------------------------------------------------------


def random_circuit(nbqbits, nbgates, seed, one_qubit_share=0.3):
    """Seeded mix of one-qubit gates and CNOT/CZ on distinct random pairs (never SWAP, so that
    every SWAP of a routed circuit is an inserted one)."""
    rng = random.Random(seed)
    ops = []
    for _ in range(nbgates):
        if nbqbits < 2 or rng.random() < one_qubit_share:
            ops.append(Op(gate=rng.choice(["H", "X", "T"]), qbits=[rng.randrange(nbqbits)]))
        else:
            a, b = rng.sample(range(nbqbits), 2)
            ops.append(Op(gate=rng.choice(["CNOT", "CZ"]), qbits=[a, b]))
    return Circuit(ops=ops, nbqbits=nbqbits)


def op_qubits(op):
    """An op's qubits as a list of ints (engines may keep a tuple or an integer array)."""
    return [] if op.qbits is None else [int(q) for q in op.qbits]


def op_signature(op, qubits):
    return (op.gate, op.type, repr(op.params), repr(op.cbits), tuple(qubits))


# --- the equivalence checker ---------------------------------------------------------------


def check_routed(original, routed, nbphysical, edges):
    """Assert that `routed` is a correct routing of `original` on the topology `edges`.

    Replays `routed`: SWAP gates exchange the contents of two physical qubits, REMAP operations
    move the state on qbits[i] to qbits[remap[i]]. Checks that every two-qubit gate acts on an
    edge, that each logical qubit sees the same gates in the same order as in `original`, that
    operations without qubits are all kept, and that at the end every logical qubit is back on
    its own index. Returns the number of inserted SWAP gates.
    """
    edge_set = {frozenset(e) for e in edges}
    holder = list(range(nbphysical))  # physical qubit -> logical content
    expected = defaultdict(list)
    expected_unplaced = []
    for op in original.ops:
        qubits = op_qubits(op)
        signature = op_signature(op, qubits)
        if not qubits:
            expected_unplaced.append(signature)
        for q in qubits:
            expected[q].append(signature)

    seen = defaultdict(list)
    seen_unplaced = []
    swaps = 0
    for index, op in enumerate(routed.ops):
        qubits = op_qubits(op)
        for p in qubits:
            assert 0 <= p < nbphysical, f"op {index} uses physical qubit {p} outside the topology"
        if op.type == OpType.REMAP:
            assert sorted(op.remap) == list(range(len(qubits))), f"op {index}: bad remap {op.remap}"
            contents = [holder[p] for p in qubits]
            for i, content in enumerate(contents):
                holder[qubits[op.remap[i]]] = content
            continue
        if len(qubits) == 2:
            assert frozenset(qubits) in edge_set, f"op {index} {op.gate}{qubits} is not on an edge"
        if op.gate == "SWAP":
            a, b = qubits
            holder[a], holder[b] = holder[b], holder[a]
            swaps += 1
            continue
        logical = [holder[p] for p in qubits]
        signature = op_signature(op, logical)
        if not qubits:
            seen_unplaced.append(signature)
        for q in logical:
            seen[q].append(signature)

    for q in set(expected) | set(seen):
        assert seen[q] == expected[q], f"logical qubit {q}: gate sequence differs"
    assert sorted(seen_unplaced) == sorted(expected_unplaced), "operations without qubits differ"
    assert holder == list(range(nbphysical)), f"final placement {holder} is not the identity"
    return swaps
