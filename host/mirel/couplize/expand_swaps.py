"""Direction fixes for topologies whose couplings work one way only.

A CUSTOM topology lists, for each qubit, the qubits it can act on. When an edge is listed under
one of its ends only, a two-qubit gate may run only from that end to the other. Routing treats
the topology as undirected, so a routed circuit can hold gates against the direction of their
edge; `expand_directed` rewrites them into sequences that respect it.
"""

import copy

from mirel.comm.datamodel.ttypes import Op, OpType
from mirel.couplize.definition import update_gate_dict


def directed_pairs(graph):
    """The set of ordered pairs (q, m) for which the mapping lists m under q (self loops left
    out), and whether some pair is listed one way only."""
    pairs = {(q, m) for q, neighbours in graph.items() for m in neighbours if q != m}
    one_way = any((m, q) not in pairs for q, m in pairs)
    return pairs, one_way


def _gate_like(op, name, qbits):
    """A copy of `op` (keeping params and every other field) renamed and re-targeted."""
    clone = copy.deepcopy(op)
    clone.gate = name
    clone.qbits = list(qbits)
    return clone


def _hadamards(a, b):
    return [Op(gate="H", qbits=[a]), Op(gate="H", qbits=[b])]


def _turned_cnot(op, a, b):
    """CNOT with control a and target b, built from the allowed CNOT b -> a: Hadamards on both
    qubits exchange the roles of control and target."""
    return [*_hadamards(a, b), _gate_like(op, "CNOT", [b, a]), *_hadamards(a, b)]


# Two-qubit gates that exchanging their qubits leaves unchanged (for any parameters): against
# the direction of their edge they run with their operands exchanged.
SYMMETRIC = frozenset({"CZ", "CP", "CU1", "CS", "CSDG", "RZZ", "RXX", "RYY", "ISWAP"})


def _rewrite(op, a, b):
    """Operations equal to `op` on (a, b) that use only the coupling b -> a."""
    if op.gate == "CNOT":
        return _turned_cnot(op, a, b)
    if op.gate in SYMMETRIC:
        return [_gate_like(op, op.gate, [b, a])]
    if op.gate == "SWAP":
        # SWAP = CNOT(b, a) CNOT(a, b) CNOT(b, a); the middle one is turned.
        return [
            _gate_like(op, "CNOT", [b, a]),
            *_turned_cnot(op, a, b),
            _gate_like(op, "CNOT", [b, a]),
        ]
    raise ValueError(
        f"Cannot turn the gate {op.gate!r} on qubits ({a}, {b}): the topology only allows "
        f"two-qubit gates from qubit {b} to qubit {a}"
    )


def expand_directed(circuit, graph):
    """Return `circuit` itself when every edge of the topology mapping `graph` is listed under
    both of its ends. Otherwise return a new circuit in which each CNOT, SWAP and symmetric gate
    (CZ, CP, RZZ... see SYMMETRIC) acting against the direction of its edge is replaced by a
    sequence that respects it (Hadamard conjugation for CNOT, three CNOTs for SWAP, exchanged
    operands for a symmetric gate); the gate dictionary
    of the new circuit describes the gates added. Raises ValueError for any other two-qubit gate
    against the direction of its edge, or for a two-qubit gate on qubits the mapping does not
    join. The given circuit is not modified."""
    pairs, one_way = directed_pairs(graph)
    if not one_way:
        return circuit
    result = copy.deepcopy(circuit)
    ops = []
    for op in result.ops:
        qubits = op.qbits or []
        if op.type != OpType.GATETYPE or len(qubits) != 2 or (qubits[0], qubits[1]) in pairs:
            ops.append(op)
            continue
        a, b = qubits
        if (b, a) not in pairs:
            raise ValueError(
                f"The gate {op.gate!r} acts on qubits ({a}, {b}), which the topology does not join"
            )
        ops.extend(_rewrite(op, a, b))
    result.ops = ops
    update_gate_dict(result)
    return result
