"""What every engine hands back: independent copies of the input operations, of their own
class, whatever their fields hold."""

import pytest

from mirel.comm.datamodel.ttypes import Circuit, GSyntax, Op, OpType
from mirel.core.variables import Variable
from mirel.couplize import bestfirst, lookahead, swapcore
from tests.support.routing import line_edges, make_graph


class TaggedOp(Op):
    """A host operation subclass with an extra attribute."""


def route_velor(circuit):
    engine = swapcore.Couplizer()
    engine.set_graph(make_graph(swapcore.QubitGraph, 3, line_edges(3)))
    return engine.couplize(circuit)


def route_sabre(circuit):
    engine = lookahead.SabreCouplizer()
    engine.set_graph(make_graph(lookahead.QubitGraph, 3, line_edges(3)))
    return engine.couplize(circuit)


def route_astar(circuit):
    engine = bestfirst.AstarCouplizer()
    engine.set_graph(make_graph(bestfirst.QubitGraph, 3, line_edges(3)))
    return engine.couplize(circuit)


@pytest.mark.parametrize("route", [route_velor, route_sabre, route_astar])
def test_routed_operations_are_independent_copies(route):
    tagged = TaggedOp(gate="CNOT", qbits=[0, 2], params=[0.5])
    tagged.note = "kept"
    symbolic = Op(gate="RZ", qbits=[1], params=[Variable("theta")])
    nested = Op(gate="U", qbits=[2], params=[[1, 2], {"k": [3]}])
    circuit = Circuit(ops=[tagged, symbolic, nested], nbqbits=3)

    routed = route(circuit)
    by_gate = {op.gate: op for op in routed.ops if op.type == OpType.GATETYPE}
    assert {"CNOT", "RZ", "U", "SWAP"} <= set(by_gate)

    copy = by_gate["CNOT"]
    assert type(copy) is TaggedOp and copy.note == "kept" and copy.params == [0.5]
    assert copy.params is not tagged.params
    assert by_gate["RZ"].params == symbolic.params
    assert by_gate["U"].params == nested.params
    assert by_gate["U"].params[1]["k"] is not nested.params[1]["k"]
    swap = by_gate["SWAP"]
    assert type(swap) is Op and swap.type == OpType.GATETYPE and len(swap.qbits) == 2

    copy.params.append(1.0)
    by_gate["U"].params[1]["k"].append(4)
    assert tagged.params == [0.5] and nested.params[1]["k"] == [3]


class NotedCircuit(Circuit):
    """A host circuit subclass: copied by the generic protocol, not field by field."""


def circuit_with_fields(circuit_type, extra):
    circuit = circuit_type(
        ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3, name="c", gateDic={"G": GSyntax("G", [1])}
    )
    circuit.gateDic["whole"] = circuit  # a reference back to the circuit itself
    if extra:
        circuit.note = [1]  # not one of the class's fields
    return circuit


@pytest.mark.parametrize("route", [route_velor, route_sabre, route_astar])
@pytest.mark.parametrize(
    "circuit_type, extra",
    [(Circuit, False), (Circuit, True), (NotedCircuit, False)],
    ids=["plain", "extra-attribute", "subclass"],
)
def test_routed_circuit_fields_are_independent_copies(route, circuit_type, extra):
    circuit = circuit_with_fields(circuit_type, extra)
    routed = route(circuit)
    assert type(routed) is circuit_type and routed.name == "c" and routed.nbqbits == 3
    assert routed.gateDic["G"] == circuit.gateDic["G"]
    assert routed.gateDic["G"] is not circuit.gateDic["G"]
    assert routed.gateDic["whole"] is routed
    assert not extra or (routed.note == [1] and routed.note is not circuit.note)
    routed.gateDic["G"].parameters.append(2)
    assert circuit.gateDic["G"].parameters == [1] and len(circuit.ops) == 1
