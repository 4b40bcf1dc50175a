"""GraphCircuit of the host pattern package: matching on the dependency graph and rewriting."""

import copy
import random
from collections import defaultdict

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.lumbra.libcpp_lumbra import VAR, GateName, GraphCircuit

SWAP_PAIR = [("SWAP", {0, 1}), ("SWAP", [0, 1])]


def op(name, *qubits, params=None):
    return Op(gate=name, qbits=list(qubits), params=params)


def loaded(*ops, n=4):
    graph = GraphCircuit()
    graph.load_circuit(Circuit(ops=list(ops), nbqbits=n))
    return graph


def gates(circuit):
    return [(o.gate, o.qbits, o.params) for o in circuit.ops]


def per_qubit(circuit):
    """The sequence of operations on each qubit: what any valid reordering must keep."""
    seen = defaultdict(list)
    for o in circuit.ops:
        for q in o.qbits or []:
            seen[q].append((o.gate, tuple(o.qbits), repr(o.params)))
    return dict(seen)


def rewrite_all(graph, pattern, replacement):
    rounds = 0
    while graph.replace_pattern(pattern, replacement, pos=all):
        rounds += 1
        assert rounds < 10_000, "replace_pattern keeps reporting replacements"
    return rounds


@pytest.mark.parametrize(
    "pattern, ops, found",
    [
        # Ordered qubits: the k-th qubit of the gate is the k-th local qubit.
        ([("CNOT", [0, 1]), ("CNOT", [0, 1])], [op("CNOT", 0, 1), op("CNOT", 0, 1)], 1),
        ([("CNOT", [0, 1]), ("CNOT", [0, 1])], [op("CNOT", 0, 1), op("CNOT", 1, 0)], 0),
        ([("CNOT", [0, 1]), ("CNOT", [1, 0])], [op("CNOT", 0, 1), op("CNOT", 1, 0)], 1),
        # A set leaves the assignment open: both bindings of an unordered pair are found.
        ([("CZ", {0, 1}), ("CZ", {0, 1})], [op("CZ", 0, 1), op("CZ", 1, 0)], 2),
        (SWAP_PAIR, [op("SWAP", 1, 2), op("SWAP", 2, 1)], 1),
        # Nothing between on the shared qubits, whatever happens on the others.
        (SWAP_PAIR, [op("SWAP", 1, 2), op("H", 0), op("CNOT", 0, 3), op("SWAP", 1, 2)], 1),
        # A gate (or a REMAP) on a shared qubit in between blocks the match.
        (SWAP_PAIR, [op("SWAP", 1, 2), op("H", 2), op("SWAP", 1, 2)], 0),
        (
            SWAP_PAIR,
            [op("SWAP", 1, 2), Op(type=OpType.REMAP, qbits=[1], remap=[0]), op("SWAP", 1, 2)],
            0,
        ),
        # Local qubits bind to distinct circuit qubits; arities must agree.
        ([("H", [0]), ("CNOT", [0, 1])], [op("H", 2), op("CNOT", 2, 3)], 1),
        ([("H", [0]), ("CNOT", [0, 1])], [op("H", 2), op("CNOT", 2, 3, 0)], 0),
        # Gate names: plain strings are exact, GateName is a full regular-expression match.
        ([(GateName("R[XYZ]"), [0])], [op("RX", 0), op("RXX", 1), op("RZ", 2), op("XRX", 3)], 2),
        ([("RX", [0])], [op("RXX", 0), op("rx", 0)], 0),
    ],
)
def test_occurrences(pattern, ops, found):
    assert len(loaded(*ops).find_occurrences(pattern)) == found


@pytest.mark.parametrize(
    "params, ops, found",
    [
        ([0.5], [op("RX", 0, params=[0.5]), op("RX", 1, params=[0.25])], 1),
        (None, [op("RX", 0, params=[0.5]), op("RX", 1)], 2),
        ([], [op("RX", 0, params=[0.5]), op("RX", 1), op("RX", 2, params=[])], 2),
    ],
)
def test_literal_params(params, ops, found):
    assert len(loaded(*ops).find_occurrences([("RX", [0], params)])) == found


def test_var_binds_one_value_per_occurrence_and_feeds_the_replacement():
    angle = VAR("angle")
    pattern = [("RZ", [0], [angle]), ("RZ", [0], [angle])]
    graph = loaded(
        op("RZ", 0, params=[0.5]),
        op("RZ", 0, params=[0.25]),
        op("RZ", 1, params=[0.75]),
        op("RZ", 1, params=[0.75]),
    )
    (occurrence,) = graph.find_occurrences(pattern)
    assert occurrence.values == {angle: 0.75} and occurrence.qubits == {0: 1}
    assert graph.replace_pattern(pattern, [("RZ2", [0], [angle, "twice"])])
    assert gates(graph.to_circ()) == [
        ("RZ", [0], [0.5]),
        ("RZ", [0], [0.25]),
        ("RZ2", [1], [0.75, "twice"]),
    ]


def test_swap_pair_cancels_through_the_dependency_graph():
    circuit = Circuit(
        ops=[op("SWAP", 1, 2), op("H", 0), op("SWAP", 2, 1), op("X", 1)], nbqbits=3, name="c"
    )
    original = copy.deepcopy(circuit)
    graph = GraphCircuit()
    graph.load_circuit(circuit)
    assert rewrite_all(graph, SWAP_PAIR, []) == 1
    result = graph.to_circ()
    assert gates(result) == [("H", [0], None), ("X", [1], None)]
    assert (result.name, result.nbqbits) == ("c", 3)
    assert circuit == original


def test_nested_pairs_cancel_one_after_the_other():
    # Removing the inner pair makes the outer one consecutive.
    graph = loaded(
        op("SWAP", 0, 1), op("SWAP", 1, 2), op("H", 3), op("SWAP", 2, 1), op("SWAP", 1, 0)
    )
    assert rewrite_all(graph, SWAP_PAIR, []) == 2
    assert gates(graph.to_circ()) == [("H", [3], None)]


def test_outside_path_between_matched_gates_blocks_the_match():
    # B follows A directly on qubit 0, but X depends on A (qubit 1) and B on X (qubit 2):
    # replacing A and B by one gate would have to come both before and after X.
    pattern = [("A", [0, 1]), ("B", [0, 2])]
    assert loaded(op("A", 0, 1), op("X", 1, 2), op("B", 0, 2)).find_occurrences(pattern) == []
    assert len(loaded(op("A", 0, 1), op("X", 1, 3), op("B", 0, 2)).find_occurrences(pattern)) == 1


def test_pos_chooses_among_occurrences():
    graph = loaded(op("H", 0), op("H", 1), op("H", 2))
    assert not graph.replace_pattern([("H", [0])], [("X", [0])], pos=lambda occ: False)
    assert graph.replace_pattern([("H", [0])], [("X", [0])], pos=lambda occ: occ.qubits[0] == 1)
    assert gates(graph.to_circ()) == [("H", [0], None), ("X", [1], None), ("H", [2], None)]
    # `all` takes the first occurrence in circuit order.
    assert graph.replace_pattern([("H", [0])], [("Y", [0])], pos=all)
    assert gates(graph.to_circ())[0] == ("Y", [0], None)


def test_replacement_takes_the_place_of_the_match():
    graph = loaded(op("H", 0), op("CNOT", 0, 1), op("CNOT", 0, 1), op("X", 1))
    assert graph.replace_pattern(
        [("CNOT", [0, 1]), ("CNOT", [0, 1])], [("Z", [1]), ("SWAP", [1, 0])]
    )
    assert gates(graph.to_circ()) == [
        ("H", [0], None),
        ("Z", [1], None),
        ("SWAP", [1, 0], None),
        ("X", [1], None),
    ]


def test_replacement_reorders_independent_gates_when_needed():
    # Y (qubit 0) must now follow the merged gate, and W (qubit 2) precede it.
    ops = [op("A", 0, 1), op("Y", 0), op("W", 2), op("B", 1, 2)]
    graph = loaded(*ops)
    assert graph.replace_pattern([("A", [0, 1]), ("B", [1, 2])], [("M", [0, 1, 2])])
    result = graph.to_circ()
    names = [o.gate for o in result.ops]
    assert sorted(names) == ["M", "W", "Y"]
    assert names.index("W") < names.index("M") < names.index("Y")


@pytest.mark.parametrize("seed", range(30))
def test_repeated_rewriting_matches_a_fresh_search_each_time(seed):
    rng = random.Random(seed)
    n = 4
    ops = []
    for _ in range(rng.randrange(2, 40)):
        if rng.random() < 0.7:
            ops.append(op("SWAP", *rng.sample(range(n), 2)))
        else:
            ops.append(op(rng.choice(["H", "CNOT"])[0:1], rng.randrange(n)))
    circuit = Circuit(ops=ops, nbqbits=n)
    graph = GraphCircuit()
    graph.load_circuit(circuit)
    rewrite_all(graph, SWAP_PAIR, [])
    incremental = graph.to_circ()

    reference = circuit
    while True:
        fresh = GraphCircuit()
        fresh.load_circuit(reference)
        found = fresh.find_occurrences(SWAP_PAIR)
        if not found:
            break
        fresh.replace(found[0], [])
        reference = fresh.to_circ()
    assert gates(incremental) == gates(reference)
    assert GraphCircuit.find_occurrences(graph, SWAP_PAIR) == []


@pytest.mark.parametrize("seed", range(25))
def test_each_replacement_splices_every_qubit_history(seed):
    # After every rewrite, each qubit's sequence of operations is the previous one with the
    # matched operations on that qubit (consecutive there) swapped for the replacement's.
    # Merging A(0,1) and B(1,2) into one gate often forces unrelated gates to be reordered.
    rng = random.Random(seed)
    ops = []
    for index in range(40):
        kind = rng.choice(["A", "B", "H"])
        qubits = rng.sample(range(5), 1 if kind == "H" else 2)
        ops.append(op(kind, *qubits, params=[index]))  # params make every operation unique
    pattern = [("A", [0, 1]), ("B", [1, 2])]
    replacement = [("M", [0, 1, 2]), ("N", [1])]
    graph = loaded(*ops, n=5)
    history = per_qubit(graph.to_circ())
    for _ in range(100):
        found = graph.find_occurrences(pattern)
        if not found:
            break
        occurrence = found[0]
        matched = [(o.gate, tuple(o.qbits), repr(o.params)) for o in occurrence.ops]
        phi = occurrence.qubits
        added = [(name, tuple(phi[j] for j in locals_), "None") for name, locals_ in replacement]
        expected = {}
        for q, seq in history.items():
            positions = [i for i, entry in enumerate(seq) if entry in matched]
            if positions:
                assert positions == list(range(positions[0], positions[-1] + 1))
                mine = [entry for entry in added if q in entry[1]]
                seq = seq[: positions[0]] + mine + seq[positions[-1] + 1 :]
            expected[q] = seq
        graph.replace(occurrence, replacement)
        history = per_qubit(graph.to_circ())
        assert history == expected


@pytest.mark.parametrize(
    "pattern, replacement, error, message",
    [
        ([], [], ValueError, "A pattern must be a non-empty list of gates"),
        (
            [("H", [0]), ("X", [1])],
            [],
            ValueError,
            "Pattern entry 1 shares no qubit with the entries before it; a pattern must be "
            "connected",
        ),
        ([("H", [0, 0])], [], ValueError, "Pattern entry 0: local qubit 0 is listed twice"),
        ([("H", [])], [], ValueError, "Pattern entry 0 has no qubits"),
        ([(3, [0])], [], TypeError, "Pattern entry 0: the gate name must be a str or a GateName"),
        (
            [("H",)],
            [],
            TypeError,
            "Pattern entry 0 must be (name, qubits) or (name, qubits, params)",
        ),
        (
            [("H", [0])],
            [("X", [1])],
            ValueError,
            "Replacement entry 0 uses local qubit 1, which the pattern does not bind",
        ),
        (
            [("H", {0})],
            [("X", {0})],
            ValueError,
            "Replacement entry 0: qubits must be a list (a set leaves their order open)",
        ),
        (
            [("H", [0])],
            [("X", [0], [VAR("t")])],
            ValueError,
            "Replacement entry 0 uses VAR('t'), which the pattern does not bind",
        ),
        (
            [("H", [0])],
            [(GateName("X"), [0])],
            TypeError,
            "Replacement entry 0: the gate name must be a str",
        ),
    ],
)
def test_pattern_errors(pattern, replacement, error, message):
    graph = loaded(op("H", 0))
    with pytest.raises(error) as info:
        graph.replace_pattern(pattern, replacement)
    assert str(info.value) == message
    assert gates(graph.to_circ()) == [("H", [0], None)]


def test_graph_circuit_state_errors():
    graph = GraphCircuit()
    with pytest.raises(RuntimeError, match="call load_circuit first"):
        graph.to_circ()
    with pytest.raises(TypeError, match="Circuit"):
        graph.load_circuit([op("H", 0)])
    with pytest.raises(ValueError, match="Operation 1 lists qubit 2 twice"):
        graph.load_circuit(Circuit(ops=[op("H", 0), op("CNOT", 2, 2)]))
    graph = loaded(op("H", 0), op("H", 0))
    (first, second) = graph.find_occurrences([("H", [0])])
    graph.replace(first, [])
    with pytest.raises(ValueError, match="stale"):
        graph.replace(second, [])
    with pytest.raises(TypeError, match="pos"):
        graph.replace_pattern([("H", [0])], [], pos=3)
