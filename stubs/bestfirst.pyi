"""Slice-by-slice A* swap-insertion engine"""

from typing import NoReturn, SupportsIndex

import networkx

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

def to_networkx(graph: QubitGraph) -> networkx.Graph:
    """
    Return the topology as a networkx Graph: one node per qubit, one edge per neighbour
    entry

    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> sorted(to_networkx(graph).edges)
    [(0, 1), (1, 2)]
    """

class AstarCouplizer:
    """
    Swap insertion by A* search over qubit placements, slice by slice

    >>> from mirel.comm.datamodel.ttypes import Circuit, Op
    >>> graph = QubitGraph(3)
    >>> graph.add_edge(0, 1)
    >>> graph.add_edge(1, 2)
    >>> engine = AstarCouplizer()
    >>> engine.set_graph(graph)
    >>> engine.size_slice  # the topology's maximum matching: one gate at a time
    1
    >>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
    >>> [op.gate for op in routed.ops]
    ['SWAP', 'CNOT', None]
    """

    def __init__(self, size_slice: SupportsIndex = 0, *, max_nodes: SupportsIndex = 5000) -> None:
        """
        size_slice: largest number of two-qubit gates per slice (0: the topology's maximum
        matching). max_nodes: largest number of nodes of one search (0: no limit); a
        search that reaches it is redone with the sum estimate, then, if that reaches it
        too, for each gate of its slice in turn.

        >>> AstarCouplizer(2, max_nodes=0).size_slice
        2
        """

    def set_graph(self, graph: QubitGraph) -> None:
        """
        Set the topology; the slice size is capped by its maximum matching

        >>> graph = QubitGraph(4)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(2, 3)
        >>> engine = AstarCouplizer(size_slice=5)
        >>> engine.set_graph(graph)
        >>> engine.size_slice
        2
        """

    def couplize(self, circuit: mirel.comm.datamodel.ttypes.Circuit, use_sum_heuristic: bool = False, *, lookahead: SupportsIndex = 0, lookahead_discount: float = 0.5) -> mirel.comm.datamodel.ttypes.Circuit:
        """
        Return a routed copy of the circuit: SWAPs inserted before each slice of gates
        that does not fit the topology, then a final REMAP.

        Each slice gets the fewest SWAPs possible from the placement it starts from (unless
        its search reaches max_nodes and is redone), found by A* with the estimate
        max(largest excess, ceil(summed excess / 2)), a gate's excess being its distance
        minus one. use_sum_heuristic: estimate with the summed excess instead; it can
        overestimate (one SWAP can shorten two gates), so searches are shorter but a slice
        may get more SWAPs than the fewest. lookahead: also count the excess of the next
        `lookahead` slices' gates, slice k after the current one weighted by
        lookahead_discount**k (0 < discount <= 1); this steers each slice's placement
        towards the gates that follow, at the price of the per-slice guarantee. 0 (the
        default) turns it off.

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> graph = QubitGraph(3)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> engine = AstarCouplizer()
        >>> engine.set_graph(graph)
        >>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
        >>> [(op.gate, op.qbits) for op in routed.ops]
        [('SWAP', [0, 1]), ('CNOT', [1, 2]), (None, [0, 1, 2])]
        >>> routed.ops[-1].remap
        [1, 0, 2]
        """

    @property
    def size_slice(self, /) -> int:
        """Largest number of two-qubit gates per slice (0: not chosen yet)"""

    @property
    def max_nodes_expanded(self, /) -> int:
        """Largest number of nodes expanded by one search in the last couplize"""

    @property
    def summed_searches(self, /) -> int:
        """
        Searches of the last couplize that reached max_nodes and were redone with the sum
        estimate (their slice may get more than the fewest SWAPs)
        """

    @property
    def split_searches(self, /) -> int:
        """Searches of the last couplize that were redone gate by gate"""
