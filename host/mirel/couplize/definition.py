"""Gate definitions for the gates a compiled circuit uses.

Routing inserts gates the user never declared (SWAP, and the Hadamards and CNOTs of a
direction fix); `update_gate_dict` makes sure the circuit's gate dictionary describes every
gate name its operations use.
"""

import math

from mirel.comm.datamodel.ttypes import ComplexNumber, GateDefinition, GSyntax, Matrix, OpType

_H = 1 / math.sqrt(2)

# Matrices of the constant gates the system inserts, row-major, basis |q0 q1> with q0 the
# first qubit of the operation.
_MATRICES = {
    "SWAP": (4, [1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1]),
    "CNOT": (4, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0]),
    "CZ": (4, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1]),
    "H": (2, [_H, _H, _H, -_H]),
}


def _matrix(name):
    known = _MATRICES.get(name)
    if known is None:
        return None
    size, entries = known
    return Matrix(nRows=size, nCols=size, data=[ComplexNumber(re=float(v)) for v in entries])


def update_gate_dict(circuit):
    """Add a definition to `circuit.gateDic` for every gate name used by a gate operation of
    the circuit that has none yet: its name, its arity (the operation's qubit count), a syntax
    of the same name and, for SWAP, CNOT, CZ and H, its matrix. Existing definitions are kept.
    Returns nothing."""
    if circuit.gateDic is None:
        circuit.gateDic = {}
    definitions = circuit.gateDic
    for op in circuit.ops:
        name = op.gate
        if op.type != OpType.GATETYPE or not isinstance(name, str) or name in definitions:
            continue
        definitions[name] = GateDefinition(
            name=name,
            arity=len(op.qbits or []),
            matrix=_matrix(name),
            syntax=GSyntax(name=name),
        )
