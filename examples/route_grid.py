"""Route a small built-in circuit on a 3x3 grid with the default engine and print the result."""

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.couplize.swapcore import Couplizer, QuantumCostMetric, QubitGraph


def grid(rows, cols):
    graph = QubitGraph(rows * cols)
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                graph.add_edge(q, q + 1)
            if r + 1 < rows:
                graph.add_edge(q, q + cols)
    return graph


def main():
    graph = grid(3, 3)
    print("topology: 3x3 grid; shortest path 0 -> 8:", graph.path(0, 8))
    ops = [Op(gate="H", qbits=[0])]
    ops += [Op(gate="CNOT", qbits=[0, q]) for q in (1, 4, 8, 6, 2)]
    ops += [Op(gate="CZ", qbits=[2, 6]), Op(gate="CNOT", qbits=[8, 0])]
    circuit = Circuit(ops=ops, nbqbits=9)

    engine = Couplizer(window_size=3, metric=QuantumCostMetric())
    engine.set_graph(graph)
    routed = engine.couplize(circuit)

    print(f"input: {len(circuit.ops)} operations; routed: {len(routed.ops)} operations")
    for op in routed.ops:
        if op.type == OpType.REMAP:
            print(f"  REMAP {op.qbits} -> {op.remap}")
        else:
            print(f"  {op.gate:<5} {op.qbits}")
    print("final placement (logical qubit on each physical qubit):", engine.get_order())


if __name__ == "__main__":
    main()
