"""Topology presets and JSON topologies."""

import json

import networkx as nx
import pytest

from mirel.comm.hardware.ttypes import TopologyType
from mirel.couplize import topologies
from mirel.couplize.swapcore import QubitGraph


@pytest.mark.parametrize(
    "text, nbqbits, nbedges, max_degree",
    [
        ("line:5", 5, 4, 2),
        ("ring:6", 6, 6, 2),
        ("grid:3x4", 12, 17, 4),
        ("all:5", 5, 10, 4),
        ("line:1", 1, 0, 0),
        ("heavy-hex:3", 19, 20, 3),
    ],
)
def test_presets_have_the_expected_shape(text, nbqbits, nbedges, max_degree):
    device = topologies.device(text)
    graph = device.networkx()
    assert (device.nbqbits, len(device.edges)) == (nbqbits, nbedges)
    assert max((d for _, d in graph.degree), default=0) == max_degree
    assert nbqbits == 1 or nx.is_connected(graph)
    assert len(set(device.edges)) == len(device.edges)


@pytest.mark.parametrize("distance", [1, 3, 5, 7])
def test_heavy_hex_is_qiskits_heavy_hex_lattice(distance):
    from qiskit.transpiler import CouplingMap

    reference = nx.Graph()
    coupling = CouplingMap.from_heavy_hex(distance)
    reference.add_nodes_from(range(coupling.size()))
    reference.add_edges_from(coupling.get_edges())
    assert nx.is_isomorphic(topologies.device(f"heavy-hex:{distance}").networkx(), reference)


def test_grid_and_heavy_hex_carry_their_geometry():
    grid = topologies.device("grid:2x3")
    assert grid.positions[4] == (1, -1)
    hexes = topologies.device("heavy-hex:3")
    assert len(set(hexes.positions.values())) == hexes.nbqbits
    # neighbours sit one step apart in the drawing
    for a, b in hexes.edges:
        (xa, ya), (xb, yb) = hexes.positions[a], hexes.positions[b]
        assert abs(xa - xb) + abs(ya - yb) == 1


def test_graph_and_specs_describe_the_same_couplings():
    device = topologies.device("ring:4")
    graph = device.graph()
    assert isinstance(graph, QubitGraph) and graph.get_nbqbits() == 4
    assert sorted(graph.get_neighbours(0)) == [1, 3]
    specs = device.specs()
    assert specs.nbqbits == 4 and specs.topology.type == TopologyType.CUSTOM
    assert specs.topology.graph == {0: [1, 3], 1: [0, 2], 2: [1, 3], 3: [0, 2]}
    assert topologies.device("all:3").specs().topology.type == TopologyType.ALL_TO_ALL


def test_json_edge_lists_are_undirected_and_mappings_may_be_directed(tmp_path):
    edges = topologies.device("[[0, 1], [2, 1], [1, 0]]")
    assert (edges.nbqbits, edges.edges, edges.directed) == (3, [(0, 1), (1, 2)], False)
    path = tmp_path / "device.json"
    path.write_text(json.dumps({"0": [1], "1": [2], "2": [1]}))
    mapping = topologies.device(str(path))
    assert mapping.directed and mapping.edges == [(0, 1), (1, 2)]
    assert mapping.specs().topology.graph == {0: [1], 1: [2], 2: [1]}
    assert mapping.specs(directed=False).topology.graph == {0: [1], 1: [0, 2], 2: [1]}


@pytest.mark.parametrize(
    "text, message",
    [
        ("torus:4", "unknown topology kind"),
        ("grid:4", "grid:RxC"),
        ("line:3x3", "write line:N"),
        ("line:abc", "write line:N with whole numbers"),
        ("grid:3x", "write grid:RxC with whole numbers"),
        ("ring:2", "at least 3"),
        ("heavy-hex:4", "odd"),
        ("line:0", "at least one qubit"),
        ("line:100001", "more than"),
        ("all:5000", "all-to-all"),
        ("[[0, 0]]", "coupled to itself"),
        ("[[0, -1]]", "non-negative"),
        ("[[0, 1, 2]]", "pairs"),
        ('{"0": 1}', "must be a list"),
        ("[]", "no qubits"),
        ("[[0, 1]", "not valid JSON"),
        ("no-such-file.json", "file not found"),
    ],
)
def test_bad_topologies_raise_value_errors(text, message):
    with pytest.raises(ValueError, match=message):
        topologies.device(text)
