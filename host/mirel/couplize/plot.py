"""A picture of a routing: the topology with each edge drawn by the number of SWAPs on it and
each physical qubit labelled with the logical qubit it holds at the end.

Needs matplotlib (the `[plot]` extra). Draws on a bare `Figure` (no pyplot), so it neither
opens a window nor changes the caller's matplotlib backend.
"""

from collections import Counter

from mirel.couplize.verification import is_swap


def swap_counts(circuit):
    """Number of SWAP gates on each undirected edge (sorted pair) of a routed circuit."""
    counts = Counter()
    for op in circuit.ops:
        if is_swap(op):
            a, b = op.qbits
            counts[(min(a, b), max(a, b))] += 1
    return counts


def draw_routing(device, routed, path, nblogical=None, title=None):
    """Draws `device` (a topology `Device`) after the routing `routed` (a `Routed` of
    `mirel.couplize.router`) into the image file `path` (format from its suffix, PNG usually).

    Edges are wider and darker the more SWAPs they carry; a physical qubit p holding logical
    qubit q at the end is labelled "p:q" (only for the first `nblogical` logical qubits)."""
    try:
        import networkx as nx
        from matplotlib import colormaps
        from matplotlib.cm import ScalarMappable
        from matplotlib.colors import Normalize
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            "drawing needs matplotlib: install the extra with pip install 'mirel-couplize[plot]'"
        ) from None

    graph = device.networkx()
    positions = device.positions
    if positions is None:
        if device.all_to_all or not graph.number_of_edges():
            positions = nx.circular_layout(graph)
        else:
            positions = nx.spring_layout(graph, seed=0)
    counts = swap_counts(routed.circuit)
    edges = list(device.edges)
    values = [counts.get(e, 0) for e in edges]
    top = max(values, default=0) or 1
    cmap = colormaps["viridis_r"]
    norm = Normalize(vmin=0, vmax=top)

    holder = {physical: logical for logical, physical in enumerate(routed.final)}
    nblogical = len(routed.final) if nblogical is None else nblogical
    labels = {
        p: f"{p}:{holder[p]}" if holder.get(p, nblogical) < nblogical else str(p)
        for p in range(device.nbqbits)
    }

    size = 4 + min(device.nbqbits, 400) ** 0.5
    figure = Figure(figsize=(size * 1.25, size))
    axes = figure.add_subplot()
    axes.set_axis_off()
    nx.draw_networkx_edges(
        graph,
        positions,
        edgelist=edges,
        width=[1.0 + 5.0 * v / top for v in values],
        edge_color=[cmap(norm(v)) for v in values],
        ax=axes,
    )
    nx.draw_networkx_nodes(graph, positions, node_color="#f3f3f3", edgecolors="#333333", ax=axes)
    nx.draw_networkx_labels(graph, positions, labels=labels, font_size=7, ax=axes)
    colorbar = figure.colorbar(ScalarMappable(norm=norm, cmap=cmap), ax=axes, shrink=0.6)
    colorbar.set_label("SWAPs on the edge")
    axes.set_title(
        title or f"{device.name}: {sum(values)} SWAPs; labels physical:logical at the end"
    )
    figure.savefig(path, dpi=110, bbox_inches="tight")
