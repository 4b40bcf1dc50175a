"""Pattern-based routing ("kovra").

Every two-qubit gate on distant qubits is surrounded by a chain of SWAPs along a shortest path,
which brings its first qubit next to its second, and by the same chain reversed, which brings it
back: logical qubit q is physical qubit q before and after every gate, and the output carries no
REMAP of its own. The host's pattern manager then removes the redundant SWAPs with a fixed set of
rewriting rules (`optimize_swap`).
"""

import operator
from copy import copy, deepcopy

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize.swapcore import QuantumCostMetric, QubitGraph
from mirel.lumbra.libcpp_lumbra import VAR, GateName, PatternManager

__all__ = ["PatternCouplizer", "QubitGraph", "optimize_swap"]


def _qubit(value, index):
    if isinstance(value, bool):
        raise TypeError(f"Operation {index} has a non-integer qubit {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"Operation {index} has a non-integer qubit {value!r}") from None


class PatternCouplizer:
    """Routing engine of method "kovra": SWAP chains around distant gates, then rewriting."""

    def __init__(self):
        self.graph = None

    def set_graph(self, graph):
        """Set the topology (a QubitGraph) on which circuits are routed."""
        # Raised explicitly so that the check also holds under python -O.
        if not isinstance(graph, QubitGraph):
            raise AssertionError(f"set_graph expects a QubitGraph, got {type(graph).__name__}")
        self.graph = graph

    def couplize(self, circuit, **kwargs):
        """Route `circuit` on the graph and return the rewritten result; every keyword goes to
        `optimize_swap` (e.g. `method`, `metric`). The circuit is never modified.

        A REMAP operation is a relabelling of the qubits it lists, not a gate: it is copied as
        it is, whatever its number of qubits."""
        if not isinstance(circuit, Circuit):
            raise AssertionError(f"couplize expects a host Circuit, got {type(circuit).__name__}")
        graph = self.graph
        shell = copy(circuit)
        shell.ops = []
        result = deepcopy(shell)
        ops = []
        for index, op in enumerate(circuit.ops):
            if op.type == OpType.REMAP:
                ops.append(deepcopy(op))
                continue
            qubits = [_qubit(q, index) for q in (op.qbits or ())]
            if not qubits:
                raise ValueError(
                    f"Operation {index} ({op.gate}) acts on no qubit, so it cannot be placed"
                )
            if len(qubits) > 2:
                raise ValueError("Cannot couplize gate acting on more than 2 qubits")
            if graph is not None:
                nbqbits = graph.get_nbqbits()
                for q in qubits:
                    if not 0 <= q < nbqbits:
                        raise ValueError(
                            f"Operation {index} acts on qubit {q}, which is not in the graph "
                            f"({nbqbits} qubits)"
                        )
            if len(qubits) == 1:
                ops.append(deepcopy(op))
                continue
            if graph is None:
                raise AttributeError("No graph is set: call set_graph before couplize")
            first_qb, second_qb = qubits
            if first_qb == second_qb:
                raise ValueError(f"Operation {index} acts twice on qubit {first_qb}")
            path = graph.path(first_qb, second_qb)
            if len(path) < 2:
                raise ValueError(
                    f"Operation {index} acts on qubits {first_qb} and {second_qb}, which no "
                    "path of the graph joins"
                )
            swaps = []
            for idx in range(len(path) - 2):
                swap = [path[idx], path[idx + 1]]
                ops.append(Op(type=OpType.GATETYPE, gate="SWAP", qbits=swap))
                swaps.append(swap)
            moved = deepcopy(op)
            moved.qbits = [path[-2], path[-1]]
            ops.append(moved)
            for swap in reversed(swaps):
                ops.append(Op(type=OpType.GATETYPE, gate="SWAP", qbits=list(swap)))
        result.ops = ops
        return optimize_swap(result, **kwargs)


def swap_equivalences():
    """The rewriting rules, as (first, second) pattern pairs: each moves a gate of any name
    (with or without a parameter) across neighbouring SWAPs, so that two SWAPs on the same pair
    can meet and be removed."""
    first_name = GateName(".*")
    x = VAR()

    def gate(*qubits, param=False):
        return (first_name, list(qubits), [x]) if param else (first_name, list(qubits))

    def swap(a, b):
        return ("SWAP", {a, b})

    equivalences = []
    for param in (False, True):
        equivalences.append(
            ([swap(0, 1), gate(0, 1, param=param)], [gate(1, 0, param=param), swap(0, 1)])
        )
    for param in (False, True):
        equivalences.append(
            (
                [gate(0, 1, param=param), swap(1, 2), swap(0, 1)],
                [swap(1, 2), swap(0, 1), gate(1, 2, param=param)],
            )
        )
    for param in (False, True):
        equivalences.append(
            (
                [swap(0, 1), gate(1, 2, param=param), swap(0, 1)],
                [swap(1, 2), gate(0, 1, param=param), swap(1, 2)],
            )
        )
    for param in (False, True):
        equivalences.append(
            ([gate(0, param=param), swap(0, 1)], [swap(0, 1), gate(1, param=param)])
        )
    return equivalences


def optimize_swap(circuit, **kwargs):
    """Minimize the number of SWAPS after the couplization

    Args:
        circuit: the routed circuit (a mirel Circuit; it is not modified)
        **kwargs: arguments given to the pattern manager (`method`, default "annealing";
            `metric`, default a new QuantumCostMetric(); the method's own keywords)
    """
    if "method" not in kwargs:
        kwargs["method"] = "annealing"
    metric = kwargs.pop("metric") if "metric" in kwargs else QuantumCostMetric()
    manager = PatternManager(global_metric=metric)
    for first, second in swap_equivalences():
        group = manager.new_group()
        group.add_pattern(first)
        group.add_pattern(second)

    removal = manager.new_group()
    removal.pattern_to_remove([("SWAP", {0, 1}), ("SWAP", [0, 1])])
    removal.add_pattern([])
    return manager.replace_pattern(circuit, **kwargs)
