"""Pattern rewriting on circuits: the circuit graph and the pattern vocabulary."""

from mirel.lumbra.graph_circuit import GraphCircuit, Occurrence
from mirel.lumbra.pattern import VAR, GateName

__all__ = ["GraphCircuit", "Occurrence", "GateName", "VAR"]
