"""The Python face of the topology graph: argument conversion, errors, documentation and paths."""

import copy
import pickle
from itertools import pairwise

import numpy as np
import pytest

from mirel.couplize.swapcore import QubitGraph
from tests.support.routing import grid_edges, make_graph

NOT_AN_INTEGER = (TypeError, "an integer is required")
NEGATIVE = (OverflowError, "can't convert negative value to unsigned int")
TOO_LARGE = (OverflowError, "value too large to convert to unsigned int")

BAD_VALUES = [
    pytest.param(1.0, NOT_AN_INTEGER, id="float"),
    pytest.param(np.float64(2.0), NOT_AN_INTEGER, id="numpy-float"),
    pytest.param("3", NOT_AN_INTEGER, id="str"),
    pytest.param(None, NOT_AN_INTEGER, id="None"),
    pytest.param([1], NOT_AN_INTEGER, id="list"),
    pytest.param(-1, NEGATIVE, id="minus-one"),
    pytest.param(np.int64(-5), NEGATIVE, id="numpy-negative"),
    pytest.param(-(2**70), NEGATIVE, id="huge-negative"),
    pytest.param(2**32, TOO_LARGE, id="2**32"),
    pytest.param(2**64, TOO_LARGE, id="2**64"),
    pytest.param(2**100, TOO_LARGE, id="2**100"),
]

# Each call puts the bad value in one integer argument of one member.
CALLS = [
    pytest.param(lambda v: QubitGraph(v), id="constructor"),
    pytest.param(lambda v: QubitGraph(nbqbits=v), id="constructor-keyword"),
    pytest.param(lambda v: QubitGraph(4).add_edge(v, 1), id="add_edge-i"),
    pytest.param(lambda v: QubitGraph(4).add_edge(1, v), id="add_edge-j"),
    pytest.param(lambda v: QubitGraph(4).path(v, 1), id="path-i"),
    pytest.param(lambda v: QubitGraph(4).path(1, v), id="path-j"),
    pytest.param(lambda v: QubitGraph(4).get_neighbours(v), id="get_neighbours"),
]


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("value, expected", BAD_VALUES)
def test_integer_conversion_errors(call, value, expected):
    error_type, message = expected
    with pytest.raises(error_type) as info:
        call(value)
    assert type(info.value) is error_type
    assert str(info.value) == message


def test_failed_add_edge_leaves_the_graph_unchanged():
    graph = make_graph(QubitGraph, 3, [(0, 1)])
    assert graph.path(0, 1) == [0, 1]
    for bad in (-1, 2**32, 0.5):
        with pytest.raises((TypeError, OverflowError)):
            graph.add_edge(2, bad)
    assert [graph.get_neighbours(k) for k in range(3)] == [[1], [0], []]


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1),
        (False, 0),
        (np.int64(5), 5),
        (np.uint8(3), 3),
        (np.int32(0), 0),
        (np.uint64(7), 7),
        (np.array(2), 2),
    ],
)
def test_integer_like_values_accepted(value, expected):
    assert QubitGraph(value).get_nbqbits() == expected
    graph = QubitGraph(8)
    graph.add_edge(value, 7)
    assert graph.get_neighbours(value) == ([7] if expected != 7 else [])
    assert graph.path(value, value) == [expected]


def test_constructor_forms():
    assert QubitGraph(3).get_nbqbits() == 3
    assert QubitGraph(nbqbits=5).get_nbqbits() == 5
    assert QubitGraph(0).get_nbqbits() == 0
    assert QubitGraph(2**16).get_nbqbits() == 2**16


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2), {}), ((), {"n": 3}), ((1,), {"nbqbits": 1})],
    ids=["none", "two", "wrong-keyword", "positional-and-keyword"],
)
def test_constructor_argument_count(args, kwargs):
    with pytest.raises(TypeError):
        QubitGraph(*args, **kwargs)


@pytest.mark.parametrize(
    "call",
    [
        lambda g: g.path(0),
        lambda g: g.path(0, 1, 2),
        lambda g: g.add_edge(0),
        lambda g: g.get_neighbours(),
        lambda g: g.get_nbqbits(1),
    ],
    ids=["path-one", "path-three", "add_edge-one", "get_neighbours-none", "get_nbqbits-one"],
)
def test_method_argument_count(call):
    with pytest.raises(TypeError):
        call(QubitGraph(3))


def test_keyword_arguments():
    graph = QubitGraph(nbqbits=3)
    graph.add_edge(i=0, j=1)
    graph.add_edge(j=2, i=1)
    assert graph.path(i=0, j=2) == [0, 1, 2]
    assert graph.get_neighbours(node=1) == [0, 2]


@pytest.mark.parametrize("i, j", [(4, 0), (0, 4), (4, 4), (2**32 - 1, 0)])
def test_path_index_outside_the_graph(i, j):
    graph = make_graph(QubitGraph, 4, [(0, 1), (1, 2), (2, 3)])
    with pytest.raises(ValueError, match="not in the graph"):
        graph.path(i, j)


def test_path_on_empty_graph():
    with pytest.raises(ValueError):
        QubitGraph(0).path(0, 0)


@pytest.mark.parametrize("node", [3, 4, 2**32 - 1])
def test_get_neighbours_outside_the_graph(node):
    graph = QubitGraph(3)
    with pytest.raises(ValueError) as info:
        graph.get_neighbours(node)
    assert str(info.value) == "The given node is not is the graph"


@pytest.mark.parametrize("edge", [(2, 2), (0, 3), (3, 0), (0, 2**32 - 1)])
def test_ignored_edges(edge):
    graph = make_graph(QubitGraph, 3, [(0, 1)])
    assert graph.path(1, 0) == [1, 0]
    assert graph.add_edge(*edge) is None
    assert [graph.get_neighbours(k) for k in range(3)] == [[1], [0], []]


def test_duplicate_edges_are_stored_twice():
    graph = QubitGraph(3)
    graph.add_edge(0, 1)
    graph.add_edge(0, 1)
    graph.add_edge(2, 0)
    assert graph.get_neighbours(0) == [1, 1, 2]
    assert graph.get_neighbours(1) == [0, 0]
    assert graph.get_neighbours(2) == [0]


def test_returned_lists_are_independent():
    graph = make_graph(QubitGraph, 3, [(0, 1), (1, 2)])
    path = graph.path(0, 2)
    path.append(99)
    assert graph.path(0, 2) == [0, 1, 2]
    neighbours = graph.get_neighbours(1)
    neighbours.clear()
    assert graph.get_neighbours(1) == [0, 2]


SIX_EDGES = [(0, 1), (1, 4), (4, 5), (0, 2), (2, 3), (3, 5)]


@pytest.mark.parametrize(
    "nbqbits, edges, queries",
    [
        (4, [(0, 1), (1, 2), (2, 3)], [((0, 3), [0, 1, 2, 3]), ((3, 0), [3, 2, 1, 0])]),
        (4, [(0, 1), (1, 3), (0, 2), (2, 3)], [((0, 3), [0, 1, 3]), ((3, 0), [3, 1, 0])]),
        (6, SIX_EDGES, [((0, 5), [0, 2, 3, 5]), ((5, 0), [5, 3, 2, 0])]),
        (6, SIX_EDGES, [((5, 0), [5, 4, 1, 0]), ((0, 5), [0, 1, 4, 5])]),
        (3, [(0, 1)], [((1, 1), [1]), ((0, 2), []), ((2, 0), [])]),
    ],
    ids=["line", "square", "six-edges-cached", "six-edges-fresh", "self-and-unreachable"],
)
def test_path_examples(nbqbits, edges, queries):
    graph = make_graph(QubitGraph, nbqbits, edges)
    for (i, j), expected in queries:
        assert graph.path(i, j) == expected, (i, j)


def test_add_edge_empties_the_cache():
    graph = make_graph(QubitGraph, 6, SIX_EDGES)
    assert graph.path(0, 5) == [0, 2, 3, 5]
    graph.add_edge(0, 3)
    assert graph.path(5, 0) == [5, 3, 0]
    graph.add_edge(4, 0)
    assert graph.path(5, 0) == [5, 3, 0]
    assert graph.path(0, 5) == [0, 3, 5]


def test_unreachable_then_connected():
    graph = make_graph(QubitGraph, 4, [(0, 1), (2, 3)])
    assert graph.path(0, 3) == []
    graph.add_edge(1, 2)
    assert graph.path(0, 3) == [0, 1, 2, 3]


def test_grid_paths_are_shortest_walks():
    rows, cols = 5, 6
    graph = make_graph(QubitGraph, rows * cols, grid_edges(rows, cols))
    for target in range(rows * cols):
        path = graph.path(0, target)
        row, col = divmod(target, cols)
        assert len(path) == row + col + 1
        assert path[0] == 0 and path[-1] == target
        for a, b in pairwise(path):
            assert b in graph.get_neighbours(a)


@pytest.mark.parametrize(
    "action",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda g: g.__reduce__()],
    ids=["pickle", "copy", "deepcopy", "reduce"],
)
def test_not_picklable(action):
    with pytest.raises(TypeError) as info:
        action(QubitGraph(3))
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


@pytest.mark.parametrize(
    "member, first_line",
    [
        ("get_nbqbits", "Get the number of qubits used in the graph"),
        ("get_neighbours", "Get all neighbours of a given node"),
        ("add_edge", "Create an edge between two qubits. An edge means that the two given"),
        ("path", "Return the shortest path between two qubits. Each edge has a weight"),
    ],
)
def test_documentation(member, first_line):
    doc = getattr(QubitGraph, member).__doc__
    assert first_line in doc.splitlines()
