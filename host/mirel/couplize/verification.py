"""Check a routed circuit against its original: `verify(original, routed, graph)`.

The check follows the permutation gate by gate, with no simulation, so it costs one pass over
each circuit (linear in the number of operations and qubits):

- SWAP gates and REMAP operations move the contents of qubits (a REMAP moves the content of
  `qbits[i]` to `qbits[remap[i]]`); a SWAP of the original is followed the same way, so a
  router may keep, move or absorb it;
- every other operation of the routed circuit must be the next operation of the original on
  each logical qubit (and classical bit) it touches, with the same name, type, parameters and
  bits: operations on disjoint qubits may change order, nothing else may;
- every two-qubit gate (SWAPs included) must act on an edge of the topology (a gate of three or
  more qubits, which a router may leave in place on purpose, is not checked against it);
- at the end nothing of the original may be missing and every logical qubit must be where the
  original leaves it (its own index, unless the original swaps qubits itself).

The result says whether the routing is right and, if not, which operation is the first to break
it and why.
"""

from collections import Counter
from dataclasses import dataclass

from mirel.comm.datamodel.ttypes import Circuit, OpType


@dataclass
class Verdict:
    """`ok` is True for a correct routing; otherwise `index` is the position in the routed
    circuit of the first offending operation (None when the fault shows only at the end),
    `op` that operation, and `reason` a sentence saying what is wrong."""

    ok: bool
    reason: str = ""
    index: int = None
    op: object = None

    def __bool__(self):
        return self.ok

    def __str__(self):
        if self.ok:
            return "ok"
        where = "" if self.index is None else f"operation {self.index}: "
        return where + self.reason


def verify(original, routed, graph=None):
    """Whether `routed` is a correct routing of `original` on the topology `graph`.

    `graph` may be a topology graph object (anything with `get_nbqbits` and `get_neighbours`),
    a `Device` of `mirel.couplize.topologies` or its text form ("grid:3x3"), a networkx graph,
    the host's adjacency mapping {qubit: [neighbours]}, an iterable of qubit pairs, or None for
    all-to-all. Returns a `Verdict`; neither circuit is modified.
    """
    for name, value in (("original", original), ("routed", routed)):
        if not isinstance(value, Circuit):
            raise TypeError(f"{name} must be a host Circuit, got {type(value).__name__}")
    edges, nbphysical = _edges_of(graph)
    if nbphysical is None:
        nbphysical = max(_width(routed), _width(original))
    if _width(original) > nbphysical:
        return Verdict(
            False, f"the original uses {_width(original)} qubits, the topology has {nbphysical}"
        )

    expected = _expected_streams(original, max(_width(original), nbphysical))
    if isinstance(expected, Verdict):
        return expected
    streams, unplaced, final_holder = expected

    holder = list(range(nbphysical))  # physical qubit -> logical qubit it holds
    consumed = Counter()
    seen_unplaced = Counter()
    for index, op in enumerate(routed.ops):
        qubits = op.qbits or []
        for p in qubits:
            if not _is_qubit(p, nbphysical):
                return Verdict(
                    False, f"qubit {p!r} is outside the topology ({nbphysical} qubits)", index, op
                )
        if len(set(qubits)) != len(qubits):
            return Verdict(False, f"repeated qubit in {list(qubits)}", index, op)
        if edges is not None and len(qubits) == 2 and op.type == OpType.GATETYPE:
            if (min(qubits), max(qubits)) not in edges:
                return Verdict(
                    False, f"{_describe(op)} is not on an edge of the topology", index, op
                )
        if _is_move(op):
            fault = _move(holder, op)
            if fault:
                return Verdict(False, fault, index, op)
            continue
        logical = [holder[p] for p in qubits]
        signature = _signature(op, logical)
        if not qubits:
            seen_unplaced[signature] += 1
            if seen_unplaced[signature] > unplaced[signature]:
                return Verdict(False, f"{_describe(op)} is not in the original", index, op)
        for wire in _wires(op, logical):
            stream = streams.get(wire, ())
            position = consumed[wire]
            if position >= len(stream):
                return Verdict(
                    False,
                    f"{_describe(op)} acts on {_wire_name(wire)}, "
                    "which has no more operations in the original",
                    index,
                    op,
                )
            if stream[position][0] != signature:
                return Verdict(
                    False,
                    f"{_describe(op)} (logical {_logical(logical)}) where {_wire_name(wire)} "
                    f"expects {stream[position][1]} next",
                    index,
                    op,
                )
            consumed[wire] += 1

    for wire, stream in streams.items():
        if consumed[wire] < len(stream):
            missing = len(stream) - consumed[wire]
            return Verdict(
                False,
                f"{missing} operation(s) of the original on {_wire_name(wire)} are missing, "
                f"the first is {stream[consumed[wire]][1]}",
            )
    if seen_unplaced != unplaced:
        return Verdict(False, "operations without qubits differ from the original")
    goal = final_holder + list(range(len(final_holder), nbphysical))
    for p, (content, wanted) in enumerate(zip(holder, goal, strict=True)):
        if content != wanted:
            return Verdict(
                False,
                f"at the end physical qubit {p} holds logical qubit {content} instead of "
                f"{wanted} (is the final REMAP missing or wrong?)",
            )
    return Verdict(True)


def _expected_streams(original, nbqubits):
    """Per logical qubit and classical bit, the original's operations in order, with SWAPs and
    REMAPs of the original followed as moves; also its operations without qubits and where its
    logical qubits end."""
    holder = list(range(nbqubits))
    streams = {}
    unplaced = Counter()
    for index, op in enumerate(original.ops):
        qubits = op.qbits or []
        if not all(_is_qubit(p, nbqubits) for p in qubits):
            return Verdict(
                False,
                f"operation {index} of the original has qubits {qubits} outside the topology",
            )
        if _is_move(op):
            fault = _move(holder, op)
            if fault:
                return Verdict(False, f"operation {index} of the original: {fault}")
            continue
        logical = [holder[p] for p in qubits]
        signature = _signature(op, logical)
        if not qubits:
            unplaced[signature] += 1
        entry = (signature, f"{_describe(op, logical)} (operation {index} of the original)")
        for wire in _wires(op, logical):
            streams.setdefault(wire, []).append(entry)
    return streams, unplaced, holder


def _is_qubit(p, nbqubits):
    return isinstance(p, int) and not isinstance(p, bool) and 0 <= p < nbqubits


def _is_move(op):
    return op.type == OpType.REMAP or is_swap(op)


def _move(holder, op):
    """Moves the contents of `holder` (physical -> logical) by a REMAP or a SWAP; returns a
    fault text for a REMAP that is not a permutation, else None."""
    if op.type == OpType.REMAP:
        return apply_remap(holder, op)
    a, b = op.qbits
    holder[a], holder[b] = holder[b], holder[a]
    return None


def apply_remap(holder, op):
    """Moves the contents of `holder` (physical -> logical) as the REMAP `op` does: the content
    of qbits[i] goes to qbits[remap[i]]. Returns a fault text, leaving `holder` as it was, when
    the REMAP is not a permutation of its positions; else None."""
    qubits, remap = list(op.qbits or []), list(op.remap or [])
    if sorted(remap) != list(range(len(qubits))):
        return f"REMAP {remap} is not a permutation of the positions of its qubits {qubits}"
    contents = [holder[p] for p in qubits]
    for i, content in enumerate(contents):
        holder[qubits[remap[i]]] = content
    return None


def is_swap(op):
    """Whether `op` is a SWAP gate (the moves a routing inserts)."""
    return op.type == OpType.GATETYPE and op.gate == "SWAP" and len(op.qbits or []) == 2


def _freeze(value):
    if isinstance(value, (list, tuple)):
        return tuple(_freeze(v) for v in value)
    return value


def _signature(op, logical):
    return (op.gate, op.type, _freeze(op.params), _freeze(op.cbits), tuple(logical))


def _wires(op, logical):
    return list(logical) + [("c", c) for c in op.cbits or ()]


def _wire_name(wire):
    return f"classical bit {wire[1]}" if isinstance(wire, tuple) else f"logical qubit {wire}"


def _logical(qubits):
    return "(" + ", ".join(str(q) for q in qubits) + ")"


def _describe(op, qubits=None):
    qubits = op.qbits if qubits is None else qubits
    if op.type == OpType.MEASURE:
        name = "measure"
    elif op.type == OpType.RESET:
        name = "reset"
    else:
        name = op.gate if op.gate is not None else f"operation of type {op.type}"
    params = ""
    if op.params:
        params = "(" + ", ".join(f"{p:g}" if isinstance(p, float) else str(p) for p in op.params)
        params += ")"
    return f"{name}{params} on {_logical(qubits or [])}"


def _width(circuit):
    width = circuit.nbqbits or 0
    for op in circuit.ops:
        for p in op.qbits or ():
            if isinstance(p, int) and not isinstance(p, bool) and p >= width:
                width = p + 1
    return width


def _edges_of(graph):
    """(set of sorted pairs or None for all-to-all, physical qubit count or None)."""
    if graph is None:
        return None, None
    if isinstance(graph, str):  # a topology's text form, as `route` takes it
        from mirel.couplize.topologies import device

        graph = device(graph)
    if isinstance(graph, dict):  # the host's adjacency mapping (a CUSTOM topology's graph)
        graph = [(q, m) for q, neighbours in graph.items() for m in neighbours]
    if hasattr(graph, "get_nbqbits") and hasattr(graph, "get_neighbours"):
        n = graph.get_nbqbits()
        return {(min(a, b), max(a, b)) for a in range(n) for b in graph.get_neighbours(a)}, n
    if hasattr(graph, "edges") and hasattr(graph, "nbqbits") and hasattr(graph, "all_to_all"):
        if graph.all_to_all:
            return None, graph.nbqbits
        return {(min(a, b), max(a, b)) for a, b in graph.edges}, graph.nbqbits
    if hasattr(graph, "nodes") and hasattr(graph, "edges"):  # networkx
        nodes = list(graph.nodes)
        n = max(nodes) + 1 if nodes else 0
        return {(min(a, b), max(a, b)) for a, b in graph.edges}, n
    try:
        pairs = [tuple(e) for e in graph]
    except TypeError:
        raise TypeError(f"cannot read a topology from {type(graph).__name__}") from None
    if any(len(e) != 2 for e in pairs):
        raise ValueError("a topology given as edges holds pairs of qubits")
    n = max((max(e) for e in pairs), default=-1) + 1
    return {(min(a, b), max(a, b)) for a, b in pairs}, n
