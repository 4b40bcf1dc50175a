"""Core routing library and the default swap-insertion engine"""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, NoReturn, SupportsIndex

import mirel.comm.datamodel.ttypes


class QubitGraph:
    """
    Undirected hardware topology over the physical qubits 0..nbqbits-1

    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> graph.get_neighbours(1)
    [0, 2]
    """

    def __init__(self, nbqbits: SupportsIndex) -> None: ...

    def get_nbqbits(self) -> int:
        """
        Get the number of qubits used in the graph

        >>> QubitGraph(5).get_nbqbits()
        5
        """

    def get_neighbours(self, node: SupportsIndex) -> list[int]:
        """
        Get all neighbours of a given node

        >>> graph = QubitGraph(3)
        >>> graph.add_edge(1, 0)
        >>> graph.add_edge(1, 2)
        >>> graph.get_neighbours(1)
        [0, 2]
        """

    def add_edge(self, i: SupportsIndex, j: SupportsIndex) -> None:
        """
        Create an edge between two qubits. An edge means that the two given
        qubits may interact

        Args:
            i (int): index of the first qubit
            j (int): index of the second qubit

        >>> graph = QubitGraph(2)
        >>> graph.add_edge(0, 1)
        >>> graph.get_neighbours(0)
        [1]
        """

    def path(self, i: SupportsIndex, j: SupportsIndex) -> list[int]:
        """
        Return the shortest path between two qubits. Each edge has a weight
        of 1

        Args:
            i (int): index of the first qubit
            j (int): index of the second qubit

        Returns:
            list<int>: the shortest path between the two qubits (an empty list
            means that there is no path)

        >>> graph = QubitGraph(4)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> graph.path(0, 2)
        [0, 1, 2]
        >>> graph.path(0, 3)
        []
        """

    def __reduce__(self) -> NoReturn: ...

def default_metric(circ: mirel.comm.datamodel.ttypes.Circuit) -> int:
    """
    Default metric of the Couplizer: the opposite of the number of operations

    >>> from mirel.comm.datamodel.ttypes import Circuit, Op
    >>> default_metric(Circuit(ops=[Op(gate="H", qbits=[0]), Op(gate="X", qbits=[0])], nbqbits=1))
    -2
    """

class Couplizer:
    """
    Couplizer inserting SWAP gates with a windowed exhaustive search

    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> engine = Couplizer(window_size=2)
    >>> engine.set_graph(graph)
    >>> from mirel.comm.datamodel.ttypes import Circuit, Op
    >>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
    >>> [op.gate for op in routed.ops]
    ['SWAP', 'CNOT', None]
    """

    def __init__(self, window_size: SupportsIndex = 3, metric: PredefMetric | Callable[[mirel.comm.datamodel.ttypes.Circuit], Any] | None = None, *, whole_window: bool = False, lookahead: SupportsIndex = 0, lookahead_weight: float = 0.5) -> None:
        """
        window_size: interactions each candidate covers (default 3). metric: chooses among
        the candidates (default: fewest operations). whole_window: commit each chosen
        candidate whole and search the next window after it, instead of committing its
        first interaction and searching again from the next one. lookahead: for each
        meeting point, also weigh the mean excess distance (distance - 1) of the next
        `lookahead` two-qubit interactions under the placement it leaves, times
        lookahead_weight; 0 (the default) turns it off. Both only change the built-in
        fewest-operations choice, trading it for fewer SWAPs over the whole circuit; with a
        Python metric, which sees every candidate of each step, couplize rejects them

        >>> Couplizer(4, lookahead=4, lookahead_weight=2.0).metric is default_metric
        True
        """

    def set_graph(self, graph: QubitGraph) -> None:
        """
        Define the hardware topology (a copy of the given QubitGraph is kept)

        >>> graph = QubitGraph(2)
        >>> graph.add_edge(0, 1)
        >>> Couplizer().set_graph(graph)
        """

    def couplize(self, circuit: mirel.comm.datamodel.ttypes.Circuit, change_initial_order: bool = False, method: str | None = 'annealing', initial_order: Sequence[SupportsIndex] | None = None, max_iterations: SupportsIndex = 250, temperature: float = 1000.0) -> mirel.comm.datamodel.ttypes.Circuit:
        """
        Insert SWAP gates so that every two-qubit gate acts on neighbouring qubits

        Args:
            circuit (Circuit): the circuit to route (not modified)
            change_initial_order (bool): search a better initial placement first, with `method`
            method (str): "annealing" (simulated annealing over placements, scored by the metric;
                seed the `random` module for reproducible runs) or "reverse" (route forward, backward
                from where the qubits ended, then forward again from where they ended)
            initial_order (list<int>): explicit placement, entry q being the qubit logical qubit q
                starts on
            max_iterations (int): annealing iterations
            temperature (float): starting annealing temperature, divided by 10 every 10 iterations

        Returns:
            Circuit: a new circuit, ending with a REMAP when the final placement is not the identity;
            with a placement, it starts with the placement REMAP and ends with its inverse

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> graph = QubitGraph(3)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> engine = Couplizer()
        >>> engine.set_graph(graph)
        >>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
        >>> [(op.gate, op.qbits) for op in routed.ops]
        [('SWAP', [1, 2]), ('CNOT', [0, 1]), (None, [0, 1, 2])]
        >>> routed.ops[-1].remap
        [0, 2, 1]
        """

    def get_order(self) -> list[int]:
        """
        For each physical qubit, the logical qubit it holds after the last couplization

        While another thread's couplize of this engine routes, the order is in flux and the call raises
        RuntimeError (a metric called back by couplize reads the order under way).

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> graph = QubitGraph(3)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> engine = Couplizer()
        >>> engine.set_graph(graph)
        >>> _ = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
        >>> engine.get_order()
        [0, 2, 1]
        """

    def __reduce__(self) -> NoReturn: ...

    @property
    def circuit(self, /) -> mirel.comm.datamodel.ttypes.Circuit | None: ...

    @circuit.setter
    def circuit(self, value: mirel.comm.datamodel.ttypes.Circuit, /) -> None: ...

    @property
    def metric(self, /) -> PredefMetric | Callable[[mirel.comm.datamodel.ttypes.Circuit], Any] | None: ...

    @metric.setter
    def metric(self, value: PredefMetric | Callable[[mirel.comm.datamodel.ttypes.Circuit], Any], /) -> None: ...

class PredefMetric:
    """
    Base class of the metrics predefined by this module

    >>> isinstance(QuantumCostMetric(), PredefMetric)
    True
    """

    def __init__(self) -> None: ...

    def __getstate__(self) -> dict[str, Any]: ...

    def __setstate__(self, state: dict[str, Any], /) -> None: ...

class QuantumCostMetric(PredefMetric):
    """
    Metric minimizing the number of quantum gates

    >>> engine = Couplizer(metric=QuantumCostMetric())
    >>> type(engine.metric).__name__
    'QuantumCostMetric'
    """

    def __init__(self) -> None: ...

    def __copy__(self) -> QuantumCostMetric:
        """Return a copy of current object"""

    def __deepcopy__(self, memo: dict[int, Any], /) -> QuantumCostMetric: ...

    def __reduce__(self) -> NoReturn: ...

    def set_couplizer(self, couplizer: Couplizer | None) -> None:
        """
        Define the couplizer which will be linked to this predefined metric

        >>> QuantumCostMetric().set_couplizer(Couplizer())
        """

    def init(self) -> None:
        """
        Execute this function to warn this metric that the given couplizer is ready and
        entirely defined

        >>> QuantumCostMetric().init()
        """

    def get_best_index(self, base_path: Sequence[tuple[bool, Sequence[SupportsIndex]]], candidates: Sequence[Sequence[tuple[bool, Sequence[SupportsIndex]]]]) -> int:
        """
        Returns the index of the candidate which minimize the quantum cost

        A path is a list of (bool, qubits) pairs, True for an operation of the circuit and False
        for an inserted SWAP; the shortest candidate wins, the first one on ties.

        >>> QuantumCostMetric().get_best_index([], [[(False, [0, 1]), (True, [1, 2])], [(True, [0, 1])]])
        1
        """

    def __call__(self, circuit: mirel.comm.datamodel.ttypes.Circuit) -> int:
        """
        Returns the oposite of the quantum cost

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> QuantumCostMetric()(Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1))
        -1
        """

class DurationMetric(PredefMetric):
    """
    Metric minimizing the execution time of the circuit

    >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
    >>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
    >>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
    >>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
    >>> metric = DurationMetric()
    >>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
    >>> metric(circuit)
    -3.0
    >>> engine = Couplizer(metric=metric)
    >>> type(engine.metric).__name__
    'DurationMetric'
    """

    def __init__(self) -> None: ...

    def __copy__(self) -> DurationMetric:
        """Return a copy the current object"""

    def __deepcopy__(self, memo: dict[int, Any], /) -> DurationMetric: ...

    def __reduce__(self) -> NoReturn: ...

    def minimize_idle_time(self) -> None:
        """
        Choose the routing that leaves the qubits idle the least

        >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
        >>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
        >>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
        >>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
        >>> metric = DurationMetric()
        >>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
        >>> metric.minimize_idle_time()
        >>> metric(circuit)  # qubit 1 waits for the H on qubit 0
        -1.0
        """

    def minimize_overall_time(self) -> None:
        """
        Choose the routing that finishes first (the default)

        >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
        >>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
        >>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
        >>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
        >>> metric = DurationMetric()
        >>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
        >>> metric.minimize_idle_time()
        >>> metric.minimize_overall_time()
        >>> metric(circuit)
        -3.0
        """

    def set_gate_time(self, gate_time: dict[str, float | Callable[..., float]] | None) -> None:
        """
        Define the duration of each gate

        Args:
            gate_time (dict): duration (a number, or a function of the gate's parameter values
                returning a number) by gate key. The key is the name of the gate with "C-" added in
                front to control it, "D-" to dag it, "T-" to transpose it and "S-" to conjugate it
                (a controlled daggered H is "C-D-H"); "-DEFAULT-" as gate name defines the default
                duration of a gate. The dictionary is kept, not copied; changes take effect at the
                next init.

        >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
        >>> gates = {"X": GateDefinition(syntax=GSyntax("X"))}
        >>> gates["CNOT"] = GateDefinition(is_ctrl=True, subgate="X")
        >>> circuit = Circuit(ops=[Op(gate="CNOT", qbits=[0, 1])], nbqbits=2, gateDic=gates)
        >>> metric = DurationMetric()
        >>> metric.set_gate_time({"C-X": 2.5, "-DEFAULT-": 1.0})
        >>> metric(circuit)
        -2.5
        """

    def set_couplizer(self, couplizer: Couplizer | None) -> None:
        """
        Define the couplizer which will be linked to this predefined metric (one only)

        >>> metric = DurationMetric()
        >>> metric.set_couplizer(Couplizer())
        >>> metric.set_couplizer(Couplizer())  # doctest: +ELLIPSIS
        Traceback (most recent call last):
            ...
        ValueError: DurationMetric objects may be used for only one Couplizer...
        """

    def __get_parameters__(self, param_list: Iterable[mirel.comm.datamodel.ttypes.Param] | None) -> list[Any]:
        """Values of host parameters (a Variable for an abstract one)"""

    def init(self) -> None:
        """
        Execute this function to warn this metric that the given couplizer is ready and
        entirely defined

        A Couplizer calls it before routing; it reads the durations of the engine's circuit.

        >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
        >>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
        >>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
        >>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
        >>> metric = DurationMetric()
        >>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
        >>> engine = Couplizer(metric=metric)
        >>> engine.circuit = circuit
        >>> engine.metric.init()
        """

    def get_best_index(self, base_path: Sequence[tuple[bool, Sequence[SupportsIndex]]], candidates: Iterable[Sequence[tuple[bool, Sequence[SupportsIndex]]]]) -> int:
        """
        Returns the index of the candidate which minimize the execution time

        A path is a list of (bool, qubits) pairs, True for an operation of the circuit and False
        for an inserted SWAP. The durations are those read by the last init.

        >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
        >>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
        >>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
        >>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
        >>> metric = DurationMetric()
        >>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
        >>> engine = Couplizer(metric=metric)
        >>> engine.circuit = circuit
        >>> engine.metric.init()
        >>> one_swap = [(False, [0, 1]), (True, [0, 1])]
        >>> engine.metric.get_best_index([(True, [0])], [one_swap, [(True, [0, 1])]])
        1
        """

    def __call__(self, circuit: mirel.comm.datamodel.ttypes.Circuit) -> float:
        """
        Returns the oposite of the execution time (or of the idle time)

        >>> from mirel.comm.datamodel.ttypes import Circuit, GateDefinition, GSyntax, Op
        >>> gates = {name: GateDefinition(name=name, syntax=GSyntax(name)) for name in ["H", "CNOT"]}
        >>> ops = [Op(gate="H", qbits=[0]), Op(gate="CNOT", qbits=[0, 1])]
        >>> circuit = Circuit(ops=ops, nbqbits=2, gateDic=gates)
        >>> metric = DurationMetric()
        >>> metric.set_gate_time({"H": 1.0, "CNOT": 2.0, "SWAP": 3.0})
        >>> metric(circuit)
        -3.0
        """

def calc_swaps(graph: QubitGraph, classical_remap: mirel.comm.datamodel.ttypes.Op) -> list[tuple[int, int]]:
    """
    Replace a classical remap quantum swaps

    Args:
        graph (:class:`QubitGraph`): the topology the swaps must respect
        classical_remap (:class:`Op`): the REMAP operation to implement

    Returns:
        list<tuple<int, int>>: the SWAP gates, as pairs of neighbouring qubits, in
        application order

    >>> from mirel.comm.datamodel.ttypes import Op, OpType
    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> calc_swaps(graph, Op(type=OpType.REMAP, qbits=[0, 1, 2], remap=[2, 0, 1]))
    [(0, 1), (1, 2)]
    """

def inverse_remap(remap: mirel.comm.datamodel.ttypes.Op) -> mirel.comm.datamodel.ttypes.Op:
    """
    Return the inverse of a REMAP operation

    Args:
        remap (:class:`Op`): a REMAP operation (not modified)

    Returns:
        :class:`Op`: a copy of the argument whose remap undoes it, on the same qubits

    >>> from mirel.comm.datamodel.ttypes import Op, OpType
    >>> inverse_remap(Op(type=OpType.REMAP, qbits=[0, 1, 2], remap=[2, 0, 1])).remap
    [1, 2, 0]
    """

def merge_remaps(first_remap: mirel.comm.datamodel.ttypes.Op, second_remap: mirel.comm.datamodel.ttypes.Op) -> mirel.comm.datamodel.ttypes.Op:
    """
    Merge two REMAP operations into one

    Args:
        first_remap (:class:`Op`): the REMAP applied first
        second_remap (:class:`Op`): the REMAP applied second

    Returns:
        :class:`Op`: a new REMAP over the union of their qubits (ascending), moving
        each qubit first by first_remap, then by second_remap

    >>> from mirel.comm.datamodel.ttypes import Op, OpType
    >>> first = Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0])
    >>> second = Op(type=OpType.REMAP, qbits=[1, 2], remap=[1, 0])
    >>> merged = merge_remaps(first, second)
    >>> merged.qbits, merged.remap
    ([0, 1, 2], [2, 0, 1])
    """

def replace_middle_remap(circ: mirel.comm.datamodel.ttypes.Circuit, graph: QubitGraph) -> mirel.comm.datamodel.ttypes.Circuit:
    """
    Replace the REMAP operations of a circuit that lie between gates by SWAP gates

    The REMAPs that can be moved to the beginning or to the end of the circuit are
    moved there; the others become SWAP gates along shortest paths of the graph, and
    consecutive SWAP gates on the same two qubits cancel.

    Args:
        circ (:class:`Circuit`): the circuit (not modified)
        graph (:class:`QubitGraph`): the topology the SWAP gates must respect

    Returns:
        :class:`Circuit`: a new circuit

    >>> from mirel.comm.datamodel.ttypes import Op, OpType
    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> from mirel.comm.datamodel.ttypes import Circuit
    >>> ops = [Op(gate="CNOT", qbits=[0, 1]), Op(type=OpType.REMAP, qbits=[0, 2], remap=[1, 0]),
    ...        Op(gate="CNOT", qbits=[0, 1])]
    >>> routed = replace_middle_remap(Circuit(ops=ops, nbqbits=3), graph)
    >>> [(op.gate, op.qbits) for op in routed.ops]
    [('CNOT', [0, 1]), ('SWAP', [0, 1]), ('SWAP', [1, 2]), ('SWAP', [0, 1]), ('CNOT', [0, 1])]
    """

def get_initial_order(circuit: mirel.comm.datamodel.ttypes.Circuit, graph: QubitGraph, parallel: bool = True, seed: SupportsIndex | None = None) -> list[int]:
    """
    Get an initial order to improve couplization efficiency

    The order places logical qubit i on physical qubit order[i] so that qubits interacting early
    and often in the circuit sit close together on the graph.

    Args:
        circuit (Circuit): circuit whose first two-qubit gates are weighted
        graph (QubitGraph): connected hardware topology
        parallel (bool): use a multi-thread search (exhaustive over every placement, 12 qubits
            at most); False uses a randomised branch and bound
        seed (int or None): when given, reseeds the process-wide generator of the randomised
            search before it runs, so that equal calls return equal orders

    Returns:
        list<int>: initial order

    >>> from mirel.comm.datamodel.ttypes import Circuit, Op
    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> get_initial_order(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3), graph)
    [0, 2, 1]
    """
