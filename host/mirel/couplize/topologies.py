"""Device topologies by name: `line:N`, `ring:N`, `grid:RxC`, `heavy-hex:D`, `all:N`, or a JSON
edge list / adjacency mapping (inline text or a file).

`device(text)` returns a `Device`: the qubit count, the couplings, drawing positions, and the two
forms the rest of the system consumes, a `QubitGraph` (`Device.graph()`) and the host's
`HardwareSpecs` (`Device.specs()`). Only numpy-free standard Python is needed here; qiskit is used
by `Device.coupling_map()` alone.
"""

import json
import math
import os
import re
from dataclasses import dataclass, field

from mirel.comm.hardware.ttypes import HardwareSpecs, Topology, TopologyType

# Presets grow edges linearly with the qubit count, except all:N; these bounds keep a typo
# (all:100000) from exhausting memory in the graph's distance tables.
MAX_QUBITS = 100_000
MAX_ALL_TO_ALL = 1_000

FORMS = "line:N, ring:N, grid:RxC, heavy-hex:D, all:N, or a JSON edge list or adjacency mapping"


@dataclass
class Device:
    """A hardware topology over physical qubits 0 .. nbqbits-1.

    `edges` are the undirected couplings (sorted pairs, each once) the routers use. `adjacency`
    is the host's topology mapping (qubit -> neighbour list); a coupling listed under one end
    only is directed (see `directed`). `positions` give each qubit a natural (x, y) drawing
    place, or None when the topology has no natural geometry.
    """

    name: str
    nbqbits: int
    edges: list
    adjacency: dict = field(repr=False)
    all_to_all: bool = False
    positions: dict = field(default=None, repr=False)

    @property
    def directed(self):
        return any(
            a not in self.adjacency.get(b, ()) for a, ns in self.adjacency.items() for b in ns
        )

    def graph(self, graph_type=None):
        """A topology graph object with one `add_edge` per coupling. `graph_type` defaults to
        the default engine's `QubitGraph`; pass another engine's graph class to route with it."""
        if graph_type is None:
            from mirel.couplize.swapcore import QubitGraph as graph_type
        graph = graph_type(self.nbqbits)
        for a, b in self.edges:
            graph.add_edge(a, b)
        return graph

    def specs(self, directed=True):
        """The host's hardware specification: ALL_TO_ALL for all:N, else a CUSTOM mapping;
        with `directed` False every coupling is listed under both its ends."""
        if self.all_to_all:
            return HardwareSpecs(nbqbits=self.nbqbits, topology=Topology(TopologyType.ALL_TO_ALL))
        if directed:
            graph = {q: list(ns) for q, ns in self.adjacency.items()}
        else:
            graph = {q: [] for q in range(self.nbqbits)}
            for a, b in self.edges:
                graph[a].append(b)
                graph[b].append(a)
        return HardwareSpecs(
            nbqbits=self.nbqbits,
            topology=Topology(type=TopologyType.CUSTOM, graph=graph),
            description=self.name,
        )

    def networkx(self):
        import networkx as nx

        graph = nx.Graph()
        graph.add_nodes_from(range(self.nbqbits))
        graph.add_edges_from(self.edges)
        return graph

    def coupling_map(self):
        """The couplings as a qiskit `CouplingMap`, both directions of each undirected edge."""
        from qiskit.transpiler import CouplingMap

        pairs = [[a, b] for a, ns in self.adjacency.items() for b in ns]
        if not self.directed:
            pairs = [[a, b] for a, b in self.edges] + [[b, a] for a, b in self.edges]
        coupling = CouplingMap(pairs)
        for q in range(coupling.size(), self.nbqbits):
            coupling.add_physical_qubit(q)
        return coupling


def device(text):
    """Parse a topology description; raises ValueError naming the accepted forms."""
    if isinstance(text, Device):
        return text
    if not isinstance(text, str):
        raise TypeError(f"a topology is given as text ({FORMS}), not {type(text).__name__}")
    written = text.strip()
    match = re.fullmatch(r"([a-z-]+):(\d+)(?:x(\d+))?", written)
    if match:
        kind, first, second = match.group(1), int(match.group(2)), match.group(3)
        builder = _PRESETS.get(kind)
        if builder is None:
            raise ValueError(f"unknown topology kind '{kind}': expected {FORMS}")
        if kind == "grid" and second is None:
            raise ValueError(f"topology '{written}': a grid is written grid:RxC (rows x columns)")
        if kind != "grid" and second is not None:
            raise ValueError(f"topology '{written}': write {kind}:N (only a grid takes grid:RxC)")
        return builder(first) if second is None else builder(first, int(second))
    if written.startswith(("[", "{")):
        return from_json(written, name="json")
    if os.path.isfile(written):
        with open(written, encoding="utf-8") as handle:
            return from_json(handle.read(), name=written)
    kind = written.partition(":")[0]
    if kind in _PRESETS:  # a preset with a malformed size, such as line:abc or grid:3x
        form = {"grid": "grid:RxC", "heavy-hex": "heavy-hex:D"}.get(kind, f"{kind}:N")
        raise ValueError(f"topology '{written}': write {form} with whole numbers")
    raise ValueError(f"unknown topology '{written}': expected {FORMS} (file not found)")


def from_json(text, name="json"):
    """A JSON edge list `[[0, 1], [1, 2]]` (undirected couplings) or adjacency mapping
    `{"0": [1], "1": [2]}` (the host's form: a coupling listed under one end only is directed)."""
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ValueError(f"topology {name}: not valid JSON ({exc})") from None
    if isinstance(data, list):
        pairs = []
        for item in data:
            if not (isinstance(item, list) and len(item) == 2):
                raise ValueError(f"topology {name}: an edge list holds pairs [a, b], got {item!r}")
            pairs.append((_qubit(item[0], name), _qubit(item[1], name)))
        adjacency = {}
        for a, b in pairs:
            _check_loop(a, b, name)
            adjacency.setdefault(a, []).append(b)
            adjacency.setdefault(b, []).append(a)
    elif isinstance(data, dict):
        adjacency = {}
        for key, neighbours in data.items():
            q = _qubit(key, name)
            if not isinstance(neighbours, list):
                raise ValueError(f"topology {name}: neighbours of qubit {q} must be a list")
            for m in neighbours:
                _check_loop(q, _qubit(m, name), name)
            adjacency.setdefault(q, []).extend(_qubit(m, name) for m in neighbours)
    else:
        raise ValueError(f"topology {name}: expected an edge list or an adjacency mapping")
    qubits = set(adjacency) | {m for ns in adjacency.values() for m in ns}
    if not qubits:
        raise ValueError(f"topology {name}: no qubits")
    nbqbits = max(qubits) + 1
    _check_size(nbqbits, name)
    adjacency = {q: list(dict.fromkeys(ns)) for q, ns in sorted(adjacency.items())}
    edges = sorted({(min(a, b), max(a, b)) for a, ns in adjacency.items() for b in ns})
    return Device(name, nbqbits, edges, adjacency)


def from_edges(nbqbits, pairs, name="edges"):
    """A topology of `nbqbits` qubits from undirected couplings (pairs may repeat or be given
    in both directions, as in a Qiskit coupling map)."""
    _check_size(nbqbits, name)
    edges = set()
    for a, b in pairs:
        a, b = _qubit(a, name), _qubit(b, name)
        _check_loop(a, b, name)
        if max(a, b) >= nbqbits:
            raise ValueError(f"topology {name}: edge ({a}, {b}) is outside {nbqbits} qubits")
        edges.add((min(a, b), max(a, b)))
    return _undirected(name, nbqbits, list(edges), None)


def line_edges(n):
    """The couplings of a line of `n` qubits, in order along it."""
    return [(i, i + 1) for i in range(n - 1)]


def grid_edges(rows, cols):
    """The couplings of a `rows` x `cols` grid numbered in reading order: for each qubit, its
    right then its lower neighbour."""
    edges = []
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                edges.append((q, q + 1))
            if r + 1 < rows:
                edges.append((q, q + cols))
    return edges


def line(n):
    _check_size(n, f"line:{n}")
    return _undirected(f"line:{n}", n, line_edges(n), {i: (i, 0) for i in range(n)})


def ring(n):
    if n < 3:
        raise ValueError(f"topology ring:{n}: a ring needs at least 3 qubits")
    _check_size(n, f"ring:{n}")
    edges = line_edges(n) + [(0, n - 1)]
    angle = 2 * math.pi / n
    positions = {i: (math.cos(i * angle), math.sin(i * angle)) for i in range(n)}
    return _undirected(f"ring:{n}", n, edges, positions)


def grid(rows, cols):
    _check_size(rows * cols, f"grid:{rows}x{cols}")
    edges = grid_edges(rows, cols)
    positions = {r * cols + c: (c, -r) for r in range(rows) for c in range(cols)}
    return _undirected(f"grid:{rows}x{cols}", rows * cols, edges, positions)


def heavy_hex(distance):
    """The heavy-hexagon lattice of code distance `distance` (odd): `distance` rows of
    2*distance-1 qubits, consecutive rows joined by bridge qubits. Bridges below even rows sit
    at column 0 and every fourth column from 3; below odd rows, every fourth column from 1 and
    the last column. Qubits are numbered in reading order: a row, then the bridges below it."""
    name = f"heavy-hex:{distance}"
    if distance < 1 or distance % 2 == 0:
        raise ValueError(f"topology {name}: the distance must be an odd number of at least 1")
    width = 2 * distance - 1
    _check_size(distance * width + (distance - 1) * (distance + 1) // 2, name)
    edges, positions = [], {}
    index = 0
    previous_row = None
    pending = []  # (bridge qubit, column) waiting for the next row
    for r in range(distance):
        row = list(range(index, index + width))
        index += width
        for c, q in enumerate(row):
            positions[q] = (c, -2 * r)
        edges += [(row[c], row[c + 1]) for c in range(width - 1)]
        for bridge, c in pending:
            edges.append((bridge, row[c]))
        previous_row, pending = row, []
        if r + 1 < distance:
            if r % 2 == 0:
                columns = [0] + list(range(3, width, 4))
            else:
                columns = sorted(set(range(1, width, 4)) | {width - 1})
            for c in columns:
                edges.append((previous_row[c], index))
                positions[index] = (c, -2 * r - 1)
                pending.append((index, c))
                index += 1
    return _undirected(name, index, edges, positions)


def all_to_all(n):
    if n > MAX_ALL_TO_ALL:
        raise ValueError(f"topology all:{n}: at most {MAX_ALL_TO_ALL} qubits for all-to-all")
    _check_size(n, f"all:{n}")
    edges = [(a, b) for a in range(n) for b in range(a + 1, n)]
    result = _undirected(f"all:{n}", n, edges, None)
    result.all_to_all = True
    return result


_PRESETS = {"line": line, "ring": ring, "grid": grid, "heavy-hex": heavy_hex, "all": all_to_all}


def _undirected(name, n, edges, positions):
    edges = sorted((min(a, b), max(a, b)) for a, b in edges)
    adjacency = {q: [] for q in range(n)}
    for a, b in edges:
        adjacency[a].append(b)
        adjacency[b].append(a)
    return Device(name, n, edges, adjacency, positions=positions)


def _check_size(n, name):
    if n < 1:
        raise ValueError(f"topology {name}: at least one qubit is needed")
    if n > MAX_QUBITS:
        raise ValueError(f"topology {name}: {n} qubits is more than the {MAX_QUBITS} supported")


def _check_loop(a, b, name):
    if a == b:
        raise ValueError(f"topology {name}: qubit {a} is coupled to itself")


def _qubit(value, name):
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"topology {name}: qubits are non-negative integers, got {value!r}")
    return value
