"""The windowed engine: construction, binding, routing and its metric protocol."""

import copy
import pickle

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize.swapcore import Couplizer, PredefMetric, QuantumCostMetric, QubitGraph
from tests.support.routing import (
    TOPOLOGIES,
    check_routed,
    line_edges,
    make_graph,
    random_circuit,
)


def line(n):
    return make_graph(QubitGraph, n, line_edges(n))


def engine_on(graph, *args, **kwargs):
    engine = Couplizer(*args, **kwargs)
    engine.set_graph(graph)
    return engine


def cnot(a, b):
    return Op(gate="CNOT", qbits=[a, b])


def test_defaults_and_order_lifecycle():
    engine = Couplizer()
    assert engine.get_order() == []
    assert isinstance(engine.circuit, Circuit)
    engine.set_graph(line(4))
    assert engine.get_order() == [0, 1, 2, 3]
    engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4))
    assert sorted(engine.get_order()) == [0, 1, 2, 3]
    assert engine.get_order() != [0, 1, 2, 3]


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((0,), {}, ValueError, "Window size should be a positive integer (not null)"),
        ((), {"window_size": -1}, OverflowError, "can't convert negative value to unsigned int"),
        ((2**32,), {}, OverflowError, "value too large to convert to unsigned int"),
        ((1.5,), {}, TypeError, "an integer is required"),
        ((3, None, 4), {}, TypeError, None),
        ((), {"window": 3}, TypeError, None),
    ],
)
def test_constructor_rejects(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Couplizer(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_predefined_metric_is_copied_and_bound_callable_is_kept():
    metric = QuantumCostMetric()
    engine = Couplizer(metric=metric)
    assert engine.metric is not metric and type(engine.metric) is QuantumCostMetric

    def scorer(circ):
        return 0

    assert Couplizer(metric=scorer).metric is scorer

    bound = []

    class Recording(PredefMetric):
        def set_couplizer(self, couplizer):
            bound.append(couplizer)

    original = Recording()
    engine = Couplizer(metric=original)
    assert bound == [engine] and engine.metric is not original


def test_public_attributes_delete_to_none_and_engine_does_not_pickle():
    engine = Couplizer()
    del engine.metric
    del engine.circuit
    assert engine.metric is None and engine.circuit is None
    with pytest.raises(TypeError):
        pickle.dumps(engine)


def test_binding_errors():
    circuit = Circuit(ops=[cnot(0, 1)], nbqbits=5)
    with pytest.raises(Exception, match="No graph defined"):
        Couplizer().couplize(circuit)
    with pytest.raises(Exception) as info:
        engine_on(line(3)).couplize(circuit)
    assert str(info.value) == (
        "The graph does not have enought qubits:\nCircuit: 5 qubits - Graph: 3 qubits"
    )
    with pytest.raises(TypeError, match="Argument 'graph' has incorrect type"):
        Couplizer().set_graph(None)


def test_graph_is_copied_at_set_graph():
    graph = line(3)
    engine = engine_on(graph)
    graph.add_edge(0, 2)
    routed = engine.couplize(Circuit(ops=[cnot(0, 2)], nbqbits=3))
    assert any(op.gate == "SWAP" for op in routed.ops)


def test_adjacent_circuit_is_unchanged_without_remap():
    ops = [cnot(0, 1), Op(gate="H", qbits=[2]), cnot(2, 1), cnot(3, 2)]
    circuit = Circuit(ops=ops, nbqbits=4)
    routed = engine_on(line(4)).couplize(circuit)
    assert routed.ops == ops
    assert all(a is not b for a, b in zip(routed.ops, ops, strict=True))


def test_final_remap_records_the_order():
    engine = engine_on(line(4))
    routed = engine.couplize(Circuit(ops=[cnot(0, 3), Op(gate="H", qbits=[0])], nbqbits=4))
    remap = routed.ops[-1]
    assert remap.type == OpType.REMAP
    assert remap.qbits == [0, 1, 2, 3] and remap.remap == engine.get_order()
    assert routed.ops[0] == Op(gate="SWAP", qbits=[2, 3], type=OpType.GATETYPE)


def test_empty_circuit_gives_deep_copy():
    circuit = Circuit(ops=[], nbqbits=2, name="empty", gateDic={"H": ["def"]})
    routed = engine_on(line(2)).couplize(circuit)
    assert routed == circuit and routed.gateDic is not circuit.gateDic


@pytest.mark.parametrize(
    "ops, message",
    [
        ([Op(gate="CCX", qbits=[0, 1, 2])], "arity strictly greater than 2"),
        ([cnot(0, 6)], "qubit 6, which is not in the graph"),
        ([cnot(1, 1)], "acts twice on qubit 1"),
    ],
)
def test_invalid_operations_raise_value_error(ops, message):
    with pytest.raises(ValueError, match=message):
        engine_on(line(6)).couplize(Circuit(ops=ops, nbqbits=3))


def test_unconnected_qubits_message():
    graph = QubitGraph(4)
    graph.add_edge(0, 1)
    graph.add_edge(2, 3)
    with pytest.raises(ValueError) as info:
        engine_on(graph).couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4))
    assert str(info.value) == (
        "A gate acting on two unconnected qubits (0 and 3) is present in the circuit. "
        "Couplization is not allowed in this case."
    )


def test_operations_without_qubits_stay_in_place():
    classical = Op(gate=None, qbits=None, type=OpType.CLASSIC, formula="c[0] = 1")
    circuit = Circuit(ops=[cnot(0, 1), classical, cnot(0, 2), classical], nbqbits=3)
    routed = engine_on(line(3)).couplize(circuit)
    kinds = [op.type for op in routed.ops]
    assert kinds.count(OpType.CLASSIC) == 2
    assert routed.ops[1] == classical
    check_routed(circuit, routed, 3, line_edges(3))


class FixedIndex(PredefMetric):
    def __init__(self, index=0):
        self.index = index
        self.calls = []

    def set_couplizer(self, couplizer):
        pass

    def init(self):
        pass

    def get_best_index(self, base_path, candidates):
        self.calls.append((base_path, candidates))
        return self.index


@pytest.mark.parametrize("index", [-1, 3, 2**40])
def test_invalid_metric_index_names_it(index):
    engine = engine_on(line(4), 1, FixedIndex(index))
    with pytest.raises(ValueError, match=f"candidate {index},"):
        engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4))


def test_python_metric_receives_lists_of_gate_tuples():
    engine = engine_on(line(4), 1, FixedIndex(1))
    engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4))
    base, candidates = engine.metric.calls[0]
    assert base == []
    assert candidates == [
        [(False, [2, 3]), (False, [1, 2]), (True, [0, 1])],
        [(False, [0, 1]), (False, [2, 3]), (True, [1, 2])],
        [(False, [0, 1]), (False, [1, 2]), (True, [2, 3])],
    ]
    assert engine.get_order() == [1, 0, 3, 2]


def test_callable_metric_ties_keep_the_earliest_candidate():
    circuit = random_circuit(6, 40, seed=3)
    by_constant = engine_on(line(6), 2, lambda circ: 0).couplize(circuit)
    by_first = engine_on(line(6), 2, FixedIndex(0)).couplize(circuit)
    assert by_constant == by_first


def test_callable_metric_sees_whole_circuit_and_matches_native_choice():
    circuit = random_circuit(6, 30, seed=5)
    seen = []

    def op_count(circ):
        seen.append(len(circ.ops))
        return -len(circ.ops)

    routed = engine_on(line(6), 2, op_count).couplize(circuit)
    assert routed == engine_on(line(6), 2, QuantumCostMetric()).couplize(circuit)
    assert routed == engine_on(line(6), 2).couplize(circuit)
    assert seen


def test_initial_order_adds_placement_and_inverse():
    circuit = Circuit(ops=[cnot(0, 1), cnot(1, 2)], nbqbits=3)
    routed = engine_on(line(3)).couplize(circuit, initial_order=[1, 0, 2])
    first, last = routed.ops[0], routed.ops[-1]
    assert (first.type, first.qbits, first.remap) == (OpType.REMAP, [0, 1, 2], [1, 0, 2])
    assert last.type == OpType.REMAP
    check_routed(circuit, routed, 3, line_edges(3))


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (
            {"initial_order": [0, 1, 2], "change_initial_order": True},
            ValueError,
            'If "initial_order" is passed in argument, "change_initial_order" must be False '
            "(or undefined",
        ),
        (
            {"initial_order": [0, 1]},
            ValueError,
            'Length of "initial_order" must be equal to the number of qubits of the circuit',
        ),
        (
            {"initial_order": [0, 0, 1]},
            ValueError,
            'Argument "initial_order" is not permutation of [0 ; n - 1]',
        ),
        ({"change_initial_order": True, "method": "other"}, ValueError, "Unknown method other"),
        ({"change_initial_order": True, "method": None}, ValueError, "Unknown method None"),
        ({"method": 3}, TypeError, "Argument 'method' has incorrect type (expected str, got int)"),
    ],
)
def test_couplize_argument_errors(kwargs, error, message):
    circuit = Circuit(ops=[cnot(0, 2)], nbqbits=3)
    with pytest.raises(error) as info:
        engine_on(line(3)).couplize(circuit, **kwargs)
    assert str(info.value) == message


def test_unused_method_is_ignored():
    circuit = Circuit(ops=[cnot(0, 2)], nbqbits=3)
    assert engine_on(line(3)).couplize(circuit, method="other").ops


@pytest.mark.parametrize("name", sorted(TOPOLOGIES))
@pytest.mark.parametrize("window", [1, 2, 3, 4])
def test_property_routes_are_valid_and_equivalent(name, window):
    nbqbits, edges = TOPOLOGIES[name]
    graph = make_graph(QubitGraph, nbqbits, edges)
    for seed in range(3):
        circuit = random_circuit(nbqbits, 40, seed=100 * window + seed)
        before = copy.deepcopy(circuit)
        routed = engine_on(graph, window, QuantumCostMetric()).couplize(circuit)
        assert circuit == before
        check_routed(circuit, routed, nbqbits, edges)


def test_smaller_circuit_on_larger_graph_routes():
    nbqbits, edges = TOPOLOGIES["grid3x3"]
    circuit = random_circuit(5, 40, seed=9)
    routed = engine_on(make_graph(QubitGraph, nbqbits, edges)).couplize(circuit)
    check_routed(circuit, routed, nbqbits, edges)


def test_quantum_cost_metric_protocol():
    metric = QuantumCostMetric()
    lengths = [5, 3, 3, 4]
    candidates = [[(False, [0, 1])] * n for n in lengths]
    assert metric.get_best_index([], candidates) == 1
    assert metric.get_best_index([(True, [0])], [candidates[0]]) == 0
    assert metric.get_best_index([], []) == -1
    assert metric(Circuit(ops=[Op()] * 12)) == -12
    with pytest.raises(ValueError, match="The argument must be a Circuit"):
        metric([])
    metric.set_couplizer(None)
    with pytest.raises(TypeError):
        metric.set_couplizer(5)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(metric)
    assert type(copy.copy(metric)) is QuantumCostMetric


def test_predef_metric_pickles_its_dictionary():
    metric = PredefMetric()
    metric.weight = 2
    assert pickle.loads(pickle.dumps(metric)).weight == 2


# --- opt-in routing modes of the built-in choice ---------------------------------------------


@pytest.mark.parametrize(
    "options",
    [
        {"whole_window": True},
        {"lookahead": 8},
        {"whole_window": True, "lookahead": 20, "lookahead_weight": 1.0},
        {"lookahead": 3, "lookahead_weight": 0.0},
    ],
    ids=["whole", "ahead", "both", "zero-weight"],
)
@pytest.mark.parametrize("window", [1, 3])
@pytest.mark.parametrize("topology", sorted(TOPOLOGIES))
def test_opt_in_modes_route_correctly(topology, window, options):
    nbqbits, edges = TOPOLOGIES[topology]
    circuit = random_circuit(nbqbits, 60, seed=window)
    before = copy.deepcopy(circuit)
    engine = engine_on(make_graph(QubitGraph, nbqbits, edges), window, **options)
    routed = engine.couplize(circuit)
    check_routed(circuit, routed, nbqbits, edges)
    assert [(op.gate, op.qbits) for op in circuit.ops] == [(op.gate, op.qbits) for op in before.ops]


def test_opt_in_modes_cut_swaps_of_a_full_entangler_on_a_line():
    # CNOT(j, k) for every j < k, k by k: window 3 alone moves qubits back and forth.
    n = 16
    ops = [cnot(j, k) for k in range(1, n) for j in range(k)]
    circuit = Circuit(ops=ops, nbqbits=n)

    def swaps(**options):
        routed = engine_on(line(n), 3, **options).couplize(circuit)
        return sum(op.gate == "SWAP" for op in routed.ops)

    assert swaps(whole_window=True, lookahead=20, lookahead_weight=1.0) < swaps() / 2


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"lookahead": -1}, OverflowError, "can't convert negative value to unsigned int"),
        ({"lookahead_weight": -0.5}, ValueError, "lookahead_weight must be a finite number >= 0"),
        ({"lookahead_weight": float("nan")}, ValueError, "lookahead_weight must be a finite"),
        ({"lookahead_weight": float("inf")}, ValueError, "lookahead_weight must be a finite"),
    ],
)
def test_opt_in_modes_reject_bad_settings(kwargs, error, message):
    with pytest.raises(error, match=message):
        Couplizer(**kwargs)


@pytest.mark.parametrize("options", [{"whole_window": True}, {"lookahead": 2}])
def test_opt_in_modes_need_the_built_in_choice(options):
    engine = engine_on(line(4), 3, metric=lambda circ: -len(circ.ops), **options)
    with pytest.raises(ValueError, match="built-in fewest-operations choice only"):
        engine.couplize(Circuit(ops=[cnot(0, 3)], nbqbits=4))
