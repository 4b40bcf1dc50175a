"""Python threads sharing one topology graph, one engine of each kind and the remap and placement
functions, while edges are added to the graph.

Every routing result must be a correct routing on the edges added so far (edges are only ever
added, so a routing valid on an earlier snapshot of the graph stays valid); every other call must
give a consistent answer or refuse with the busy engine's RuntimeError. The test command also
runs this file against extension modules built with ThreadSanitizer.
"""

import random
import subprocess
import sys
import textwrap
import threading
from collections import defaultdict
from itertools import pairwise
from pathlib import Path

import pytest

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize import bestfirst
from mirel.couplize.lookahead import SabreCouplizer
from mirel.couplize.swapcore import (
    Couplizer,
    QubitGraph,
    calc_swaps,
    get_initial_order,
    replace_middle_remap,
)
from tests.support.routing import check_routed, line_edges, make_graph, op_qubits, random_circuit

N = 8
BASE = line_edges(N)  # connected from the start, so every call can route
EXTRA = [(N - 1, 0), (0, 4), (2, 6), (1, 5), (3, 7), (0, 2), (5, 7), (1, 3), (4, 6), (2, 5)]
THREADS = 6
ROUNDS = 40
BUSY = "already running a call"


def neighbours_in(edges):
    around = defaultdict(list)
    for a, b in edges:
        around[a].append(b)
        around[b].append(a)
    return around


class Shared:
    """What the threads share, and the edges any call may have seen: an edge is announced before
    it is added, so a list taken after a call holds every edge that call could have used."""

    def __init__(self):
        self.graph = make_graph(QubitGraph, N, BASE)
        self.astar_graph = make_graph(bestfirst.QubitGraph, N, BASE)
        self.announced = list(BASE)
        self.velor = Couplizer()
        self.velor.set_graph(self.graph)
        self.sabre = SabreCouplizer()
        self.sabre.set_graph(self.graph)
        self.bka = bestfirst.AstarCouplizer()
        self.bka.set_graph(self.astar_graph)

    def seen_edges(self):
        return list(self.announced)

    def add_edge(self, a, b):
        self.announced.append((a, b))
        self.graph.add_edge(a, b)
        self.astar_graph.add_edge(a, b)


def busy_or(call, *args, **kwargs):
    """The call's result, or None when the engine refused it as busy."""
    try:
        return call(*args, **kwargs)
    except RuntimeError as error:
        assert BUSY in str(error), error
        return None


def check_path(path, i, j, edges):
    assert path[0] == i and path[-1] == j
    edge_set = {frozenset(e) for e in edges}
    for a, b in pairwise(path):
        assert frozenset((a, b)) in edge_set, f"path {path} leaves the graph"
    assert len(path) - 1 <= abs(i - j), "longer than the path along the line"


def check_neighbours(found, node, edges):
    base = neighbours_in(BASE)[node]
    assert found[: len(base)] == base, "the first edges keep their order"
    added = found[len(base) :]
    assert len(set(added)) == len(added) and set(added) <= set(neighbours_in(edges)[node])


def moves(ops):
    """Replays REMAP operations and SWAP gates as moves of qubit contents: the gates each
    content meets, in order, and where every content ends."""
    holder = list(range(N))
    met = defaultdict(list)
    for op in ops:
        qubits = op_qubits(op)
        if op.type == OpType.REMAP:
            contents = [holder[p] for p in qubits]
            for k, content in enumerate(contents):
                holder[qubits[op.remap[k]]] = content
        elif op.gate == "SWAP":
            a, b = qubits
            holder[a], holder[b] = holder[b], holder[a]
        else:
            for p in qubits:
                met[holder[p]].append((op.gate, tuple(holder[q] for q in qubits)))
    return dict(met), holder


def remap_op(rng):
    qubits = rng.sample(range(N), rng.randint(2, 5))
    remap = list(range(len(qubits)))
    rng.shuffle(remap)
    return Op(type=OpType.REMAP, qbits=qubits, remap=remap)


def check_swaps_realise(swaps, remap, edges):
    edge_set = {frozenset(e) for e in edges}
    holder = list(range(N))
    for a, b in swaps:
        assert frozenset((a, b)) in edge_set, f"SWAP {a}, {b} is not on an edge"
        holder[a], holder[b] = holder[b], holder[a]
    for k, q in enumerate(remap.qbits):
        assert holder[remap.qbits[remap.remap[k]]] == q


def worker(shared, index, barrier):
    rng = random.Random(index)
    circuits = [random_circuit(N, 24, seed=100 * index + k) for k in range(4)]
    my_edges = EXTRA[index::THREADS]
    barrier.wait()
    for round_ in range(ROUNDS):
        if round_ % 4 == 0 and my_edges:
            shared.add_edge(*my_edges.pop())
        circuit = rng.choice(circuits)
        action = rng.randrange(9)
        if action == 0:
            i, j = rng.sample(range(N), 2)
            path = shared.graph.path(i, j)
            check_path(path, i, j, shared.seen_edges())
            node = rng.randrange(N)
            check_neighbours(shared.graph.get_neighbours(node), node, shared.seen_edges())
        elif action == 1:
            routed = busy_or(shared.velor.couplize, circuit)
            if routed is not None:
                check_routed(circuit, routed, N, shared.seen_edges())
        elif action == 2:
            order = busy_or(shared.velor.get_order)
            assert order is None or sorted(order) == list(range(N))
            busy_or(shared.velor.set_graph, shared.graph)
        elif action == 3:
            kwargs = {"trials": 3, "seed": index, "threads": 2} if rng.random() < 0.3 else {}
            routed = busy_or(shared.sabre.couplize, circuit, **kwargs)
            if routed is not None:
                check_routed(circuit, routed, N, shared.seen_edges())
        elif action == 4:
            busy_or(shared.sabre.set_graph, shared.graph)
        elif action == 5:
            routed = busy_or(shared.bka.couplize, circuit)
            if routed is not None:
                check_routed(circuit, routed, N, shared.seen_edges())
            else:
                busy_or(shared.bka.set_graph, shared.astar_graph)
        elif action == 6:
            remap = remap_op(rng)
            swaps = calc_swaps(shared.graph, remap)
            check_swaps_realise(swaps, remap, shared.seen_edges())
        elif action == 7:
            ops = list(circuit.ops)
            ops.insert(len(ops) // 2, remap_op(rng))
            with_remap = Circuit(ops=ops, nbqbits=N)
            result = replace_middle_remap(with_remap, shared.graph)
            edges = {frozenset(e) for e in shared.seen_edges()}
            assert moves(result.ops) == moves(with_remap.ops)
            for op in result.ops:
                if op.gate == "SWAP":
                    assert frozenset(op_qubits(op)) in edges
        else:
            order = get_initial_order(circuit, shared.graph, parallel=rng.random() < 0.5)
            assert sorted(order) == list(range(N))


@pytest.fixture
def fine_switching():
    """Threads hand the GIL over every few microseconds, so calls interleave finely."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def run_threads(target, *args):
    barrier = threading.Barrier(THREADS)
    errors = []

    def run(index):
        try:
            target(*args, index, barrier)
        except BaseException as error:  # reported by the main thread
            barrier.abort()
            errors.append(error)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def test_shared_graph_and_engines_under_threads(fine_switching):
    shared = Shared()
    run_threads(worker, shared)
    # Every edge was added, and every engine is idle and routes on the final topology.
    for a, b in EXTRA:
        assert b in shared.graph.get_neighbours(a)
    circuit = random_circuit(N, 30, seed=7)
    shared.velor.set_graph(shared.graph)
    shared.bka.set_graph(shared.astar_graph)
    for engine in (shared.velor, shared.sabre, shared.bka):
        check_routed(circuit, engine.couplize(circuit), N, BASE + EXTRA)
    assert sorted(shared.velor.get_order()) == list(range(N))


def test_order_read_while_another_thread_routes(fine_switching):
    """get_order from one thread while another routes a long circuit natively: it refuses, or
    (between routings) gives a whole placement, never one half-way through a SWAP."""
    n = 16
    edges = line_edges(n)
    engine = Couplizer()
    engine.set_graph(make_graph(QubitGraph, n, edges))
    circuits = [random_circuit(n, 400, seed=k) for k in range(3)]
    done = threading.Event()
    orders, refused = [], 0

    def route():
        try:
            for circuit in circuits:
                check_routed(circuit, engine.couplize(circuit), n, edges)
        finally:
            done.set()

    router = threading.Thread(target=route)
    router.start()
    while not done.is_set():
        order = busy_or(engine.get_order)
        if order is None:
            refused += 1
        else:
            orders.append(order)
    router.join()
    for order in orders:
        assert sorted(order) == list(range(n))
    assert len(orders) + refused > 0


def test_seeded_placement_searches_on_threads_are_reproducible(fine_switching):
    graph = make_graph(QubitGraph, N, BASE + EXTRA[:3])
    circuit = random_circuit(N, 30, seed=3)
    alone = [get_initial_order(circuit, graph, parallel=False, seed=k) for k in range(THREADS)]
    found = defaultdict(list)

    def search(index, barrier):
        barrier.wait()
        for _ in range(4):
            found[index].append(get_initial_order(circuit, graph, parallel=False, seed=index))

    run_threads(search)
    for index in range(THREADS):
        assert found[index] == [alone[index]] * 4


def test_large_routings_built_beside_on_threads(fine_switching):
    """Large circuits route on threads of their own while the calling threads build the output;
    several such calls at once, one per engine, all on one graph."""
    graph = make_graph(QubitGraph, N, BASE)
    circuits = [random_circuit(N, 2500, seed=k) for k in range(THREADS)]
    expected = [SabreCouplizer() for _ in range(THREADS)]
    for engine in expected:
        engine.set_graph(make_graph(QubitGraph, N, BASE))
    alone = [engine.couplize(c, threads=1) for engine, c in zip(expected, circuits, strict=True)]

    def route(index, barrier):
        engine = SabreCouplizer()
        engine.set_graph(graph)
        barrier.wait()
        routed = engine.couplize(circuits[index])
        assert [(op.gate, op.qbits) for op in routed.ops[:-1]] == [
            (op.gate, op.qbits) for op in alone[index].ops[:-1]
        ]
        assert routed.ops[-1].remap == alone[index].ops[-1].remap

    run_threads(route)


def test_first_routings_on_threads_do_not_deadlock():
    """Two threads route for the first time in a fresh interpreter while the host's Op hands
    the GIL over in its __init__: the engines' lazily built host objects used to wait for each
    other there forever."""
    code = textwrap.dedent("""
        import threading, time
        from mirel.comm.datamodel.ttypes import Circuit, Op
        init = Op.__init__
        def slow_init(self, *args, **kwargs):
            time.sleep(0.02)
            init(self, *args, **kwargs)
        Op.__init__ = slow_init
        from mirel.couplize import bestfirst
        from mirel.couplize.lookahead import SabreCouplizer
        from mirel.couplize.swapcore import Couplizer, QubitGraph
        def route(engine, graph_type):
            graph = graph_type(3)
            graph.add_edge(0, 1)
            graph.add_edge(1, 2)
            engine.set_graph(graph)
            engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
        for engine, graph_type in ((Couplizer, QubitGraph), (SabreCouplizer, QubitGraph),
                                   (bestfirst.AstarCouplizer, bestfirst.QubitGraph)):
            threads = [threading.Thread(target=route, args=(engine(), graph_type))
                       for _ in range(2)]
            for thread in threads: thread.start()
            for thread in threads: thread.join()
        Op.__init__ = init  # the engines' op factory keeps an Op, hence the class, to the end
        print("ok")
    """)
    child = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=Path(__file__).resolve().parent.parent,
    )
    assert child.returncode == 0 and child.stdout.strip() == "ok", child.stderr[-2000:]
    assert "leaked" not in child.stderr
