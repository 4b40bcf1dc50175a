"""SABRE swap-insertion engine"""

from typing import SupportsIndex

import mirel.comm.datamodel.ttypes
from mirel.comm.datamodel.ttypes import Op as Op, OpType as OpType
from mirel.couplize.swapcore import QubitGraph as QubitGraph


class SabreCouplizer:
    """Couplizer based on SABRE algorithm"""

    def __init__(self) -> None:
        """
        A SABRE engine without a topology yet: give it one with set_graph

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> graph = QubitGraph(3)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> engine = SabreCouplizer()
        >>> engine.set_graph(graph)
        >>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
        >>> [op.gate for op in routed.ops]
        ['SWAP', 'CNOT', None]
        """

    def set_graph(self, graph: QubitGraph) -> None:
        """
        Set the topology (a QubitGraph) on which circuits are routed

        The engine keeps the graph itself, not a copy: edges added later count in later routings.

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> graph = QubitGraph(3)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> engine = SabreCouplizer()
        >>> engine.set_graph(graph)
        """

    def couplize(self, circuit: mirel.comm.datamodel.ttypes.Circuit, basic_heuristic: bool = False, weight: float = 0.5, delta: float = 0.001, window_size: SupportsIndex = 1, *, trials: SupportsIndex = 1, seed: SupportsIndex = 0, threads: SupportsIndex | None = None, change_initial_order: bool = False) -> mirel.comm.datamodel.ttypes.Circuit:
        """
        Route a circuit with the SABRE heuristic and return a new circuit on physical
        qubits, with SWAP gates inserted and a final REMAP giving, for each physical
        qubit, the logical qubit it holds. The input circuit is not modified.

        When SWAPs stop executing gates for long (the heuristic circles), the closest
        pair of the front layer is brought together along a shortest path and routing
        goes on, so every circuit whose gates join connected qubits is routed.

        Args:
            circuit (Circuit): the circuit to route
            basic_heuristic (bool): score SWAPs by the front layer only
            weight (float): weight of the look-ahead term (extended heuristic)
            delta (float): decay increment of swapped qubits (extended heuristic)
            window_size (int): look-ahead depth below the front layer
            trials (int): routings to run, keeping the one with the fewest SWAPs (the
                first on ties); trial 0 is the plain routing, later ones break score
                ties at random and look ahead 0, 1 or 2 levels deeper in turn; every
                eighth scores by the front layer only
            seed (int): seed of the random tie-breaks; the result depends on it and
                never on the number of threads
            threads (int | None): native threads running the trials (None: one per
                hardware thread); with one trial, a circuit of 2048 operations or more
                routes on a thread of its own while this one builds the output, unless
                threads is 1
            change_initial_order (bool): search a placement first (route forward, then
                backward and forward again four times, carrying the placement); the
                result then opens with a REMAP placing the logical qubits

        >>> from mirel.comm.datamodel.ttypes import Circuit, Op
        >>> graph = QubitGraph(3)
        >>> graph.add_edge(0, 1)
        >>> graph.add_edge(1, 2)
        >>> engine = SabreCouplizer()
        >>> engine.set_graph(graph)
        >>> routed = engine.couplize(Circuit(ops=[Op(gate="CNOT", qbits=[0, 2])], nbqbits=3))
        >>> [(op.gate, op.qbits) for op in routed.ops]
        [('SWAP', [1, 0]), ('CNOT', [1, 2]), (None, [0, 1, 2])]
        >>> routed.ops[-1].remap  # physical qubit 0 holds logical 1, and 1 holds 0
        [1, 0, 2]
        """

    def __getstate__(self) -> tuple[QubitGraph | None]: ...

    def __setstate__(self, state: tuple[QubitGraph | None], /) -> None: ...
