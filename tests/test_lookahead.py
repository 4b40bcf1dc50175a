"""The SABRE engine: routing results, argument and circuit errors, circling heuristics, topologies
larger or smaller than the circuit, pickling, the best-quality mode (trials, placement search),
and the routing property on random circuits."""

import pickle
import subprocess
import sys

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize import lookahead, swapcore
from mirel.couplize.lookahead import QubitGraph, SabreCouplizer
from tests.support.routing import (
    TOPOLOGIES,
    check_routed,
    grid_edges,
    heavy_hex_edges,
    line_edges,
    make_graph,
    random_circuit,
    ring_edges,
    star_edges,
)

SABRE_MESSAGE = "SABRE algorithm does not accept gateswhich act one more than 2 qubits"


def engine_on(nbqbits, edges):
    engine = SabreCouplizer()
    engine.set_graph(make_graph(QubitGraph, nbqbits, edges))
    return engine


def cnot(a, b):
    return Op(gate="CNOT", qbits=[a, b])


def summary(circuit):
    return [(op.gate, op.type, op.qbits, op.remap) for op in circuit.ops]


def test_qubit_graph_is_swapcores_type():
    assert QubitGraph is swapcore.QubitGraph
    assert lookahead.Op is Op
    assert SabreCouplizer.__doc__ == "Couplizer based on SABRE algorithm"


@pytest.mark.parametrize("basic", [True, False])
def test_line_of_three_swaps_the_first_tied_candidate(basic):
    circuit = Circuit(ops=[cnot(0, 2)], nbqbits=3)
    routed = engine_on(3, line_edges(3)).couplize(circuit, basic_heuristic=basic)
    assert summary(routed) == [
        ("SWAP", OpType.GATETYPE, [1, 0], None),
        ("CNOT", OpType.GATETYPE, [1, 2], None),
        (None, OpType.REMAP, [0, 1, 2], [1, 0, 2]),
    ]
    assert routed.ops[0] == Op(gate="SWAP", qbits=[1, 0])
    assert summary(circuit) == [("CNOT", OpType.GATETYPE, [0, 2], None)]


def test_neighbour_circuit_comes_back_group_by_group_as_copies():
    ops = [cnot(0, 1), Op(gate="H", qbits=[2]), cnot(1, 2), Op(gate="T", qbits=[0])]
    circuit = Circuit(ops=ops, nbqbits=3, name="c", gateDic={"H": None})
    before = repr(circuit)
    routed = engine_on(3, line_edges(3)).couplize(circuit)
    assert [(op.gate, op.qbits) for op in routed.ops[:-1]] == [
        ("H", [2]),
        ("CNOT", [0, 1]),
        ("T", [0]),
        ("CNOT", [1, 2]),
    ]
    assert routed.ops[-1].remap == [0, 1, 2]
    assert all(new is not old for new in routed.ops for old in ops)
    assert routed.name == "c" and routed.gateDic == {"H": None}
    assert routed.gateDic is not circuit.gateDic
    assert repr(circuit) == before


def test_routing_follows_the_graph_as_it_changes_between_calls():
    # The engine keeps what it derived from the last topology routed on; an edge added since, or
    # another graph, must be routed on as a fresh engine would.
    circuit = Circuit(ops=[cnot(0, 3), cnot(1, 2)], nbqbits=4)
    graph = make_graph(QubitGraph, 4, line_edges(4))
    engine = SabreCouplizer()
    engine.set_graph(graph)
    on_line = summary(engine.couplize(circuit))
    assert summary(engine.couplize(circuit)) == on_line
    graph.add_edge(0, 3)
    on_ring = summary(engine.couplize(circuit))
    assert on_ring == summary(engine_on(4, ring_edges(4)).couplize(circuit))
    assert sum(op[0] == "SWAP" for op in on_ring) < sum(op[0] == "SWAP" for op in on_line)
    engine.set_graph(make_graph(QubitGraph, 4, line_edges(4)))
    assert summary(engine.couplize(circuit, trials=2)) == summary(
        engine_on(4, line_edges(4)).couplize(circuit, trials=2)
    )


def test_one_qubit_circuit_needs_no_graph():
    circuit = Circuit(ops=[Op(gate="H", qbits=[1]), Op(gate="X", qbits=[0])], nbqbits=2)
    routed = SabreCouplizer().couplize(circuit)
    assert summary(routed) == [
        ("H", OpType.GATETYPE, [1], None),
        ("X", OpType.GATETYPE, [0], None),
        (None, OpType.REMAP, [0, 1], [0, 1]),
    ]


def test_two_qubit_gate_without_graph_raises_attribute_error():
    with pytest.raises(AttributeError, match="set_graph"):
        SabreCouplizer().couplize(Circuit(ops=[cnot(0, 1)], nbqbits=2))


@pytest.mark.parametrize(
    "qbits, error, message",
    [
        ([], ValueError, SABRE_MESSAGE),
        (None, ValueError, SABRE_MESSAGE),
        ([0, 1, 2], ValueError, SABRE_MESSAGE),
        ([0, 3], ValueError, "Gate 1 acts on qubit 3, but the circuit has only 3 qubits"),
        ([2, 2], ValueError, "Gate 1 acts twice on qubit 2"),
        ([0, -1], OverflowError, "can't convert negative value to unsigned int"),
        ([0, 1.0], TypeError, "an integer is required"),
    ],
)
def test_bad_gates_are_rejected(qbits, error, message):
    circuit = Circuit(ops=[cnot(0, 1), Op(gate="G", qbits=qbits)], nbqbits=3)
    with pytest.raises(error) as info:
        engine_on(3, line_edges(3)).couplize(circuit)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"weight": "x"}, TypeError),
        ({"delta": None}, TypeError),
        ({"window_size": 2**31}, OverflowError),
        ({"trials": 0}, ValueError),
        ({"trials": -1}, OverflowError),
        ({"trials": 1.0}, TypeError),
        ({"seed": -1}, ValueError),
        ({"seed": 2**64}, OverflowError),
        ({"seed": "1"}, TypeError),
        ({"threads": 0}, ValueError),
        ({"threads": 1.5}, TypeError),
    ],
)
def test_bad_options_are_rejected(kwargs, error):
    circuit = Circuit(ops=[cnot(0, 2)], nbqbits=3)
    before = summary(circuit)
    with pytest.raises(error):
        engine_on(3, line_edges(3)).couplize(circuit, **kwargs)
    assert summary(circuit) == before


@pytest.mark.parametrize(
    "nbphysical, edges, gates, message",
    [
        (4, [(0, 1), (2, 3)], [(0, 1), (1, 2)], "Qubits 1 and 2 of a two-qubit gate"),
        (4, line_edges(3), [(3, 0)], "Qubits 3 and 0 of a two-qubit gate"),
    ],
)
def test_pair_that_can_never_meet_raises(nbphysical, edges, gates, message):
    circuit = Circuit(ops=[cnot(a, b) for a, b in gates], nbqbits=4)
    for basic in (True, False):
        with pytest.raises(ValueError, match=message):
            engine_on(nbphysical, edges).couplize(circuit, basic_heuristic=basic)


@pytest.mark.parametrize(
    "nbqbits, edges, circuit, kwargs",
    [
        # The smallest circuit found on which the default heuristic circles on a line of 20.
        (
            20,
            line_edges(20),
            Circuit(
                ops=[cnot(*p) for p in [(1, 16), (7, 17), (16, 17), (4, 18), (2, 19)]], nbqbits=20
            ),
            {},
        ),
        # A large delta penalises the qubits that have rested, so the same qubits move back and
        # forth.
        (*TOPOLOGIES["line6"], random_circuit(6, 30, seed=2), {"delta": 0.3}),
    ],
    ids=["five-gates-line20", "large-delta-line6"],
)
def test_circling_heuristic_still_routes(nbqbits, edges, circuit, kwargs):
    routed = engine_on(nbqbits, edges).couplize(circuit, **kwargs)
    check_routed(circuit, routed, nbqbits, edges)


# Small topologies of every shape the engine meets: (qubits, edges).
STRESS_TOPOLOGIES = {
    "line9": (9, line_edges(9)),
    "ring8": (8, ring_edges(8)),
    "star7": (7, star_edges(7)),
    "grid3x4": (12, grid_edges(3, 4)),
    "heavy-hex": heavy_hex_edges(3, 7),
}


@pytest.mark.parametrize("topology", sorted(STRESS_TOPOLOGIES))
def test_seeded_search_finds_no_routing_failure(topology):
    # 8 option sets x 60 circuits per topology, 2400 in all: nothing raises, every output is a
    # correct routing. Large deltas and weights make the extended heuristic circle.
    nbqbits, edges = STRESS_TOPOLOGIES[topology]
    engine = engine_on(nbqbits, edges)
    options = [
        {"basic_heuristic": True},
        {},
        {"delta": 0.1},
        {"delta": 0.5, "weight": 0.9},
        {"weight": 2.0, "window_size": 2},
        {"delta": 1.0, "window_size": 3},
        {"weight": 0.0},
        {"delta": 0.3, "window_size": 0},
    ]
    for seed in range(60):
        circuit = random_circuit(nbqbits, 10 + seed % 40, seed=seed, one_qubit_share=0.1)
        for kwargs in options:
            routed = engine.couplize(circuit, **kwargs)
            check_routed(circuit, routed, nbqbits, edges)


def test_larger_topology_routes_through_idle_physical_qubits():
    # Physical 0 and 1 only meet through physical 2..4, which hold no qubit of the circuit.
    edges = [(0, 2), (2, 3), (3, 4), (4, 1)]
    circuit = Circuit(ops=[cnot(0, 1), Op(gate="H", qbits=[1])], nbqbits=2)
    for basic in (True, False):
        routed = engine_on(5, edges).couplize(circuit, basic_heuristic=basic)
        remap = routed.ops[-1]
        assert remap.type == OpType.REMAP and remap.qbits == [0, 1, 2, 3, 4]
        assert check_routed(circuit, routed, 5, edges) == 3
        assert routed.nbqbits == 2


def test_smaller_topology_is_rejected():
    circuit = Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=3)
    with pytest.raises(ValueError, match="The topology has 2 qubits, fewer than the 3 qubits"):
        engine_on(2, [(0, 1)]).couplize(circuit)


def test_set_graph_asserts_its_type():
    engine = SabreCouplizer()
    with pytest.raises(AssertionError) as info:
        engine.set_graph("graph")
    assert str(info.value) == ""
    engine.set_graph(graph=QubitGraph(2))


def test_set_graph_without_assertions_fails_at_routing():
    script = (
        "from mirel.couplize.lookahead import SabreCouplizer\n"
        "from mirel.comm.datamodel.ttypes import Circuit, Op\n"
        "e = SabreCouplizer(); e.set_graph(3)\n"
        "try:\n"
        "    e.couplize(Circuit(ops=[Op(qbits=[0, 1])], nbqbits=2))\n"
        "except TypeError as error:\n"
        "    print(error)\n"
    )
    out = subprocess.run(
        [sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=60
    )
    assert "must be a QubitGraph, not int" in out.stdout, out.stderr


def test_pickling_keeps_the_graph_state():
    engine = pickle.loads(pickle.dumps(SabreCouplizer()))
    assert isinstance(engine, SabreCouplizer)
    assert engine.couplize(Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1)).ops[0].gate == "H"
    engine.set_graph(QubitGraph(2))
    with pytest.raises(TypeError):  # the graph itself cannot be pickled
        pickle.dumps(engine)


def test_negative_window_reaches_every_later_group():
    nbqbits, edges = TOPOLOGIES["line6"]
    circuit = random_circuit(nbqbits, 40, seed=3)
    routed = engine_on(nbqbits, edges).couplize(circuit, window_size=-1)
    check_routed(circuit, routed, nbqbits, edges)


@pytest.mark.parametrize("topology", sorted(TOPOLOGIES))
@pytest.mark.parametrize("basic, window", [(True, 1), (False, 0), (False, 1), (False, 3)], ids=str)
def test_routing_property_on_random_circuits(topology, basic, window):
    nbqbits, edges = TOPOLOGIES[topology]
    engine = engine_on(nbqbits, edges)
    for seed in range(8):
        circuit = random_circuit(nbqbits, 50 + 10 * seed, seed=seed)
        before = repr(circuit)
        routed = engine.couplize(circuit, basic_heuristic=basic, window_size=window)
        check_routed(circuit, routed, nbqbits, edges)
        assert repr(circuit) == before


def test_best_quality_options_are_keyword_only():
    with pytest.raises(TypeError):
        engine_on(3, line_edges(3)).couplize(
            Circuit(ops=[cnot(0, 2)], nbqbits=3), False, 0.5, 0.001, 1, 4
        )


@pytest.mark.parametrize("placement", [False, True], ids=["trivial", "placement"])
def test_trials_give_one_result_whatever_the_thread_count(placement):
    # The trial search itself is tested natively; here the binding's options and output form.
    nbqbits, edges = STRESS_TOPOLOGIES["heavy-hex"]
    engine = engine_on(nbqbits, edges)
    circuit = random_circuit(nbqbits, 120, seed=4)
    plain = engine.couplize(circuit)
    assert summary(engine.couplize(circuit, trials=1, seed=7, threads=2)) == summary(plain)
    runs = [
        engine.couplize(circuit, trials=5, seed=4, threads=threads, change_initial_order=placement)
        for threads in (1, 3, None)
    ]
    assert all(summary(run) == summary(runs[0]) for run in runs[1:])
    swaps = check_routed(circuit, runs[0], nbqbits, edges)
    assert (runs[0].ops[0].type == OpType.REMAP) == placement
    if not placement:  # trial 0 is the plain routing: more trials never cost SWAPs
        assert swaps <= check_routed(circuit, plain, nbqbits, edges)


def test_placement_search_on_a_larger_topology_and_without_two_qubit_gates():
    # 3 logical qubits on 5 physical ones: the placement REMAP covers the whole topology.
    edges = [(0, 2), (2, 3), (3, 4), (4, 1)]
    circuit = Circuit(ops=[Op(gate="H", qbits=[2]), cnot(0, 1), cnot(1, 2), cnot(0, 2)], nbqbits=3)
    routed = engine_on(5, edges).couplize(circuit, change_initial_order=True, trials=3)
    assert routed.ops[0].qbits == [0, 1, 2, 3, 4]
    check_routed(circuit, routed, 5, edges)
    assert routed.nbqbits == 3
    single = Circuit(ops=[Op(gate="H", qbits=[1])], nbqbits=2)
    routed = SabreCouplizer().couplize(single, change_initial_order=True)
    assert [op.type for op in routed.ops] == [OpType.REMAP, OpType.GATETYPE, OpType.REMAP]
    check_routed(single, routed, 2, [])


class UncopyableOp(Op):
    def __deepcopy__(self, memo):
        raise RuntimeError("this operation cannot be copied")


@pytest.mark.parametrize("topology", ["line9", "heavy-hex"])
def test_large_routing_built_beside_equals_the_one_thread_routing(topology):
    # From 2048 operations on, the routing runs on its own thread while the output is built.
    nbqbits, edges = STRESS_TOPOLOGIES[topology]
    engine = engine_on(nbqbits, edges)
    circuit = random_circuit(nbqbits, 4000, seed=11)
    circuit.ops[:0] = [Op(gate="H", qbits=[q]) for q in range(nbqbits)]  # begin gates
    beside = engine.couplize(circuit)
    assert summary(beside) == summary(engine.couplize(circuit, threads=1))
    check_routed(circuit, beside, nbqbits, edges)


@pytest.mark.parametrize("at", [0, 3000])
def test_large_routing_stops_on_an_output_error_and_the_engine_routes_again(at):
    nbqbits, edges = STRESS_TOPOLOGIES["line9"]
    engine = engine_on(nbqbits, edges)
    circuit = random_circuit(nbqbits, 4000, seed=12)
    circuit.ops[at] = UncopyableOp(gate="CNOT", qbits=[0, 8])
    with pytest.raises(RuntimeError, match="cannot be copied"):
        engine.couplize(circuit)
    circuit.ops[at] = cnot(0, 8)
    check_routed(circuit, engine.couplize(circuit), nbqbits, edges)
