"""Qiskit routing stage backed by the couplize engines.

Installed as the routing plugins `couplize-sabre`, `couplize-velor`, `couplize-bka` and
`couplize-kovra` (entry point group `qiskit.transpiler.routing`), so that

    transpile(qc, coupling_map=cm, routing_method="couplize-sabre")

routes with our engines after Qiskit's layout stage. `CouplizeRouting` is the pass itself, for
pass managers of one's own (it also takes the method's options).

The pass routes gates of one and two qubits and final measurements. It keeps each Qiskit
operation as it was (parameters, labels, custom gates) and only moves it to other physical
qubits. Barriers that only measurements or barriers follow are put back, on the qubits where
their logical qubits end, before those measurements; other barriers are dropped, since the
engines route gates only. A measurement followed by a gate on its qubit, a reset, control flow
or a gate of three or more qubits raises `TranspilerError`; the routing stages first break up
gates of three or more qubits that the target does not take as they are.
"""

from qiskit.circuit.library import SwapGate
from qiskit.transpiler import Layout, PassManager, TranspilerError
from qiskit.transpiler.basepasses import TransformationPass
from qiskit.transpiler.passes import Unroll3qOrMore
from qiskit.transpiler.preset_passmanagers.common import generate_routing_passmanager
from qiskit.transpiler.preset_passmanagers.plugin import PassManagerStagePlugin

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize import router, topologies


class CouplizeRouting(TransformationPass):
    """Inserts SWAPs with a couplize engine so that every two-qubit gate of a laid-out circuit
    acts on a coupling of `coupling_map`, and records the permutation as `final_layout`."""

    def __init__(self, coupling_map, method="sabre", options=None, seed=None):
        super().__init__()
        router.check_options(method, options)
        self.coupling_map = coupling_map
        self.method = method
        self.options = dict(options or {})
        self.seed = seed

    def run(self, dag):
        if self.coupling_map is None:
            return dag
        size = self.coupling_map.size()
        if dag.num_qubits() != size:
            raise TranspilerError(
                f"couplize routing needs a laid-out circuit: it has {dag.num_qubits()} qubits, "
                f"the coupling map {size}"
            )
        device = topologies.from_edges(size, self.coupling_map.get_edges(), "coupling map")
        nodes, host, barriers = _to_host(dag)
        try:
            routed = router.route(host, device, self.method, self.options, self.seed)
        except (ValueError, TypeError, NotImplementedError, RuntimeError) as exc:
            raise TranspilerError(f"couplize routing failed: {exc}") from exc

        result = dag.copy_empty_like()
        qubits = dag.qubits
        swap = SwapGate()
        pending_barriers = True
        for op in routed.circuit.ops:
            qargs = tuple([qubits[p] for p in op.qbits])
            node = nodes.get(op.gate)
            if node is None:
                if op.gate != "SWAP":
                    raise TranspilerError(f"couplize routing returned an unknown gate {op.gate!r}")
                result.apply_operation_back(swap, qargs, (), check=False)  # an inserted SWAP
                continue
            if pending_barriers and op.type == OpType.MEASURE:
                _apply_barriers(result, dag, barriers, routed.final)
                pending_barriers = False
            result.apply_operation_back(node.op, qargs, node.cargs, check=False)
        if pending_barriers:
            _apply_barriers(result, dag, barriers, routed.final)

        previous = self.property_set["final_layout"]
        if previous is None:
            final = Layout({qubits[i]: routed.final[i] for i in range(size)})
        else:
            final = Layout({qubits[i]: routed.final[previous[qubits[i]]] for i in range(size)})
        self.property_set["final_layout"] = final
        return result


def _to_host(dag):
    """(op nodes by tag, host circuit whose gate names are the tags "#k", terminal barriers)."""
    index = {bit: i for i, bit in enumerate(dag.qubits)}
    clindex = {bit: i for i, bit in enumerate(dag.clbits)}
    nodes, ops, barriers = {}, [], []
    for node in dag.topological_op_nodes():
        name = node.name
        if name == "barrier":
            if all(
                getattr(d, "name", None) in ("measure", "barrier")
                for d in dag.descendants(node)
                if hasattr(d, "op")
            ):
                barriers.append(node)
            continue
        tag = f"#{len(nodes)}"
        qubits = [index[q] for q in node.qargs]
        if name == "measure":
            cbits = [clindex[c] for c in node.cargs]
            ops.append(Op(gate=tag, qbits=qubits, cbits=cbits, type=OpType.MEASURE))
        elif name == "reset":
            raise TranspilerError("couplize routing does not handle resets")
        elif node.cargs or node.is_control_flow():
            raise TranspilerError(f"couplize routing does not handle '{name}' (classical bits)")
        elif not 1 <= len(qubits) <= 2:
            raise TranspilerError(
                f"couplize routing takes operations of one or two qubits, '{name}' has "
                f"{len(qubits)}"
            )
        else:
            ops.append(Op(gate=tag, qbits=qubits))
        nodes[tag] = node
    return nodes, Circuit(ops=ops, nbqbits=dag.num_qubits(), nbcbits=dag.num_clbits()), barriers


def _apply_barriers(result, dag, barriers, final):
    index = {bit: i for i, bit in enumerate(dag.qubits)}
    for node in barriers:
        qargs = tuple(dag.qubits[final[index[q]]] for q in node.qargs)
        result.apply_operation_back(node.op, qargs, (), check=False)


class _RoutingStage(PassManagerStagePlugin):
    method = None

    def pass_manager(self, pass_manager_config, optimization_level=None):
        coupling = pass_manager_config.coupling_map
        target = pass_manager_config.target
        if coupling is None and target is not None:
            coupling = target.build_coupling_map()
        if coupling is None:
            return PassManager()
        routing = CouplizeRouting(coupling, self.method, seed=pass_manager_config.seed_transpiler)
        # Without a basis or target (transpile given a coupling map alone) no earlier stage
        # breaks up gates of three or more qubits, which the engines cannot place.
        stage = PassManager([Unroll3qOrMore(target, pass_manager_config.basis_gates)])
        stage += generate_routing_passmanager(
            routing,
            target,
            coupling_map=coupling,
            seed_transpiler=pass_manager_config.seed_transpiler,
            use_barrier_before_measurement=False,
        )
        return stage


class SabreRouting(_RoutingStage):
    """Routing stage `couplize-sabre`: the SABRE engine."""

    method = "sabre"


class VelorRouting(_RoutingStage):
    """Routing stage `couplize-velor`: the windowed exhaustive search."""

    method = "velor"


class AstarRouting(_RoutingStage):
    """Routing stage `couplize-bka`: slice-by-slice A*."""

    method = "bka"


class PatternRouting(_RoutingStage):
    """Routing stage `couplize-kovra`: SWAP chains around distant gates, then rewriting."""

    method = "kovra"
