"""Pattern rewriting on circuits: the circuit graph, the pattern vocabulary and the pattern
manager."""

from mirel.lumbra.graph_circuit import GraphCircuit, Occurrence
from mirel.lumbra.pattern import VAR, GateName
from mirel.lumbra.pattern_manager import PatternGroup, PatternManager

__all__ = ["GraphCircuit", "Occurrence", "GateName", "VAR", "PatternManager", "PatternGroup"]
