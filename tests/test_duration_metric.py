"""DurationMetric: gate keys, durations, scheduling, the engine link and its native choice."""

import copy
import gc
import pickle
import re

import pytest

from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op, Param, ParamType
from mirel.core.variables import Variable
from mirel.couplize.swapcore import (
    Couplizer,
    DurationMetric,
    QuantumCostMetric,
    QubitGraph,
)
from tests.support.routing import TOPOLOGIES, check_routed, make_graph, random_circuit

BASIC = ["A", "B", "H", "X", "T", "CNOT", "CZ", "SWAP"]


def basic_gates(*names):
    return {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in names or BASIC}


def metric_with(gate_time):
    metric = DurationMetric()
    metric.set_gate_time(gate_time)
    return metric


def example_circuit():
    ops = [Op(gate="A", qbits=[0]), Op(gate="B", qbits=[0, 1]), Op(gate="A", qbits=[1])]
    return Circuit(ops=ops, nbqbits=2, gateDic=basic_gates())


def test_overall_and_idle_time_of_the_example():
    metric = metric_with({"A": 1.0, "B": 2.0, "SWAP": 3.0})
    assert metric(example_circuit()) == -4.0
    metric.minimize_idle_time()
    assert metric(circuit=example_circuit()) == -1.0
    metric.minimize_overall_time()
    assert metric(example_circuit()) == -4.0
    assert str(metric(Circuit())) == "-0.0"


def controlled_dagger_gates():
    gates = basic_gates("H", "SWAP")
    gates["DH"] = GateDefinition(is_dag=True, subgate="H")
    gates["CDH"] = GateDefinition(is_ctrl=True, subgate="DH")
    gates["CCT"] = GateDefinition(nbctrls=2, subgate="TH")
    gates["TH"] = GateDefinition(is_trans=True, subgate="SH")
    gates["SH"] = GateDefinition(is_conj=True, subgate="H")
    return gates


@pytest.mark.parametrize(
    "gate, key",
    [("H", "H"), ("DH", "D-H"), ("CDH", "C-D-H"), ("CCT", "C-C-T-S-H")],
)
def test_gate_keys_follow_the_definition_chain(gate, key):
    circuit = Circuit(ops=[Op(gate=gate, qbits=[0])], nbqbits=1, gateDic=controlled_dagger_gates())
    assert metric_with({key: 5.0})(circuit) == -5.0
    with pytest.raises(Exception) as info:
        metric_with({"Z": 1.0})(circuit)
    assert str(info.value) == "Unknown time of execution of the gate " + key


def test_default_duration_covers_gates_and_swaps():
    metric = metric_with({"-DEFAULT-": 1.0})
    assert metric(example_circuit()) == -3.0
    # one SWAP then B against two SWAPs then B: the shorter wins, each SWAP lasting 1
    engine = Couplizer(metric=metric)
    engine.circuit = example_circuit()
    engine.metric.init()
    long = [(False, [0, 1]), (False, [1, 2]), (True, [0, 1])]
    short = [(False, [1, 2]), (True, [0, 1])]
    assert engine.metric.get_best_index([], [long, short]) == 1


def test_callable_duration_receives_parameter_values():
    seen = []

    def rotation_time(angle, label):
        seen.append((angle, label))
        return 4 * angle

    gates = basic_gates("SWAP")
    params = [Param(ParamType.DOUBLE, double_p=0.5), Param(ParamType.STRING, string_p="x")]
    gates["RZ_1"] = GateDefinition(syntax=GSyntax("RZ", params))
    circuit = Circuit(ops=[Op(gate="RZ_1", qbits=[0])], nbqbits=1, gateDic=gates)
    assert metric_with({"RZ": rotation_time})(circuit) == -2.0
    assert seen == [(0.5, "x")]


def test_get_parameters_converts_each_kind():
    abstract = [
        Param(ParamType.INT, is_abstract=True, string_p="n"),
        Param(ParamType.DOUBLE, is_abstract=True, string_p="theta"),
    ]
    concrete = [Param(ParamType.INT, int_p=3), Param(ParamType.STRING, string_p="s")]
    values = DurationMetric().__get_parameters__(abstract + concrete)
    assert values == [Variable("n", int), Variable("theta", float), 3, "s"]


def test_wire_names_and_operations_without_gate_are_skipped():
    ops = [Op(gate="-3-", qbits=[0]), Op(gate=None, qbits=[1]), Op(gate="A", qbits=[0])]
    circuit = Circuit(ops=ops, nbqbits=2, gateDic=basic_gates("A"))
    assert metric_with({"A": 2.0})(circuit) == -2.0


@pytest.mark.parametrize(
    "gates, error, message",
    [
        (
            {"Y": GateDefinition(name="Y")},
            ValueError,
            "Cannot extract the syntax of (at least) one gate of the circuit",
        ),
        ({"Y": GateDefinition(is_dag=True, subgate="Y")}, ValueError, "refers back to itself"),
        ({}, ValueError, "Gate 'Y' has no definition in the circuit's gateDic"),
    ],
)
def test_undefinable_gates_raise(gates, error, message):
    circuit = Circuit(ops=[Op(gate="Y", qbits=[0])], nbqbits=1, gateDic=gates)
    with pytest.raises(error, match=re.escape(message)):
        metric_with({"-DEFAULT-": 1.0})(circuit)


def test_init_needs_a_couplizer_and_a_swap_duration():
    metric = metric_with({"A": 1.0, "B": 2.0})
    with pytest.raises(ValueError) as info:
        metric.init()
    assert str(info.value) == (
        "No given couplizer. The init function must be executed to warn this object that the "
        "given  couplizer is ready"
    )
    engine = Couplizer(metric=metric)
    engine.circuit = example_circuit()
    with pytest.raises(Exception) as info:
        engine.metric.init()
    assert str(info.value) == "Unknow time of execution of the gate SWAP"
    # the call itself does not need SWAP
    assert engine.metric(example_circuit()) == -4.0


@pytest.mark.parametrize("value", [None, [], Circuit])
def test_non_circuits_are_refused_by_both_metrics(value):
    with pytest.raises(ValueError, match="The argument is not an instance of Circuit"):
        DurationMetric()(value)
    with pytest.raises(ValueError, match="The argument must be a Circuit"):
        QuantumCostMetric()(value)


def test_set_gate_time_takes_a_dict_or_none():
    metric = DurationMetric()
    with pytest.raises(TypeError, match="expected dict, got list"):
        metric.set_gate_time([])
    times = {"A": 1.0}
    metric.set_gate_time(times)
    times["B"] = 2.0  # the reference is kept
    metric.set_gate_time(None)
    with pytest.raises(Exception, match="Unknown time of execution of the gate A"):
        metric(example_circuit())


def test_one_engine_per_metric():
    metric = metric_with({"-DEFAULT-": 1.0})
    engine = Couplizer(metric=metric)
    bound = engine.metric
    assert bound is not metric and type(bound) is DurationMetric
    Couplizer(metric=metric)  # the caller's metric stays free
    message = (
        "DurationMetric objects may be used for only one Couplizer. Please define a new instance "
        "of DurationMetric"
    )
    with pytest.raises(ValueError) as info:
        bound.set_couplizer(Couplizer())
    assert str(info.value) == message
    copied = copy.copy(bound)
    with pytest.raises(ValueError, match="only one Couplizer"):
        copied.set_couplizer(engine)
    with pytest.raises(ValueError, match="only one Couplizer"):
        Couplizer(metric=bound)
    with pytest.raises(TypeError):
        metric.set_couplizer(5)
    metric.set_couplizer(None)  # links nothing
    Couplizer(metric=metric)
    del engine, bound, copied
    gc.collect()


def test_copy_shares_the_user_dictionary_and_pickling_is_refused():
    times = {"-DEFAULT-": 1.0}
    metric = metric_with(times)
    metric.minimize_idle_time()
    clone = copy.copy(metric)
    times["A"] = 7.0
    circuit = Circuit(ops=[Op(gate="A", qbits=[0])], nbqbits=1, gateDic=basic_gates("A"))
    clone.minimize_overall_time()
    assert clone(circuit) == -7.0
    assert copy.deepcopy(metric)(circuit) == 0.0  # idle time, its own dictionary
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(metric)


def test_best_index_replays_the_base_path_and_keeps_the_first_tie():
    metric = metric_with({"A": 1.0, "B": 2.0, "SWAP": 3.0})
    engine = Couplizer(metric=metric)
    engine.circuit = example_circuit()
    bound = engine.metric
    bound.init()
    assert bound.get_best_index([], []) == -1
    base = [(True, [0])]  # A on 0 until t=1
    b_on_01 = [(True, [0, 1])]
    b_on_12 = [(True, [1, 2])]  # qubit 2 is beyond the circuit's two: free from 0
    assert bound.get_best_index(base, [b_on_01, b_on_12]) == 1
    assert bound.get_best_index([], [b_on_01, b_on_12]) == 0
    bound.minimize_idle_time()
    assert bound.get_best_index(base, [b_on_01, b_on_12]) == 1
    with pytest.raises(ValueError, match="more operations of the circuit than its 3"):
        bound.get_best_index([(True, [0])] * 4, [[]])


class PythonChoice(DurationMetric):
    """Same scores, chosen through the Python-visible get_best_index."""

    def get_best_index(self, base_path, candidates):
        return DurationMetric.get_best_index(self, base_path, candidates)


@pytest.mark.parametrize("name", sorted(TOPOLOGIES))
@pytest.mark.parametrize("idle", [False, True])
def test_native_choice_matches_the_python_choice_and_routes(name, idle):
    nbqbits, edges = TOPOLOGIES[name]
    graph = make_graph(QubitGraph, nbqbits, edges)
    circuit = random_circuit(nbqbits, 40, seed=nbqbits)
    circuit.gateDic = basic_gates()
    times = {"-DEFAULT-": 1.0, "CNOT": 2.0, "SWAP": 3.0}
    routed = []
    for kind in (DurationMetric, PythonChoice):
        metric = kind()
        metric.set_gate_time(times)
        if idle:
            metric.minimize_idle_time()
        engine = Couplizer(2, metric)
        engine.set_graph(graph)
        routed.append(engine.couplize(circuit))
    assert routed[0] == routed[1]
    check_routed(circuit, routed[0], nbqbits, edges)
