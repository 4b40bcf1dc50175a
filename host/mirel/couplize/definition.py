"""Gate definitions for the gates a compiled circuit uses.

Routing inserts gates the user never declared (SWAP, and the Hadamards and CNOTs of a
direction fix); `update_gate_dict` makes sure the circuit's gate dictionary describes every
gate name its operations use.
"""

from mirel.comm.datamodel.ttypes import GateDefinition, GSyntax, OpType


def update_gate_dict(circuit):
    """Add a definition to `circuit.gateDic` for every gate name used by a gate operation of
    the circuit that has none yet: its name, its arity (the qubit count of its first operation)
    and a syntax of the same name. Existing definitions are kept. Returns nothing."""
    if circuit.gateDic is None:
        circuit.gateDic = {}
    definitions = circuit.gateDic
    # One set pass finds the missing names; only their first operations are looked at again.
    missing = {op.gate for op in circuit.ops if op.type == OpType.GATETYPE}
    missing.difference_update(definitions)
    if not missing:
        return
    for op in circuit.ops:
        name = op.gate
        if op.type != OpType.GATETYPE or name not in missing or not isinstance(name, str):
            continue
        missing.discard(name)
        definitions[name] = GateDefinition(
            name=name, arity=len(op.qbits or []), syntax=GSyntax(name=name)
        )
        if not missing:
            break
