"""Initial-placement search around any routing function.

A router starts from the identity placement (logical qubit q on physical qubit q) and its result
depends strongly on it. These functions search a better placement by routing relabelled copies
of the circuit with `couplize_fn`, a one-argument function that returns a routed circuit (ending
with a REMAP when its final placement is not the identity). The result starts with the chosen
placement as a REMAP over all qubits and ends with the REMAP that sends every logical state back
to its own index, like the default engine's own updaters.

Randomness comes from the interpreter's shared `random` generator: seed it for reproducible runs.
"""

import copy
import math
import random

from mirel.comm.datamodel.ttypes import Op, OpType
from mirel.couplize.swapcore import inverse_remap, merge_remaps


def relabel(circuit, placement):
    """Shallow copy of `circuit` whose operations are shallow copies acting on
    `placement[q]` instead of q; the copy is wide enough for every label of the placement."""
    size = len(placement)
    ops = []
    for index, op in enumerate(circuit.ops):
        clone = copy.copy(op)
        if op.qbits is not None:
            for q in op.qbits:
                if not 0 <= q < size:
                    raise ValueError(
                        f"Operation {index} acts on qubit {q}, outside the circuit's "
                        f"{circuit.nbqbits} qubits"
                    )
            clone.qbits = [placement[q] for q in op.qbits]
        ops.append(clone)
    result = copy.copy(circuit)
    result.ops = ops
    result.nbqbits = max(circuit.nbqbits, size)
    return result


def final_placement(routed, nbqbits):
    """For each logical qubit, the physical qubit holding it at the end of `routed`, read from
    its trailing REMAP (the identity when there is none)."""
    placement = list(range(nbqbits))
    ops = routed.ops
    if ops and ops[-1].type == OpType.REMAP:
        last = ops[-1]
        widest = max([nbqbits - 1, *last.qbits]) + 1
        placement.extend(range(nbqbits, widest))
        for i, q in enumerate(last.qbits):
            placement[last.qbits[last.remap[i]]] = q
    return placement


def _route(circuit, placement, couplize_fn):
    """Route `circuit` relabelled by `placement` (None: as it is). Returns the routed circuit
    without its trailing REMAP, and that REMAP or None."""
    routed = couplize_fn(circuit if placement is None else relabel(circuit, placement))
    tail = None
    if routed.ops and routed.ops[-1].type == OpType.REMAP:
        tail = routed.ops.pop()
    return routed, tail


def _cost(routed, metric):
    return -metric(routed)


def _with_placement(routed, tail, placement):
    """Frame a routing of the relabelled circuit with the placement REMAP in front and, at the
    end, the REMAP that brings every logical state back to its own index."""
    begin = Op(type=OpType.REMAP, qbits=list(range(len(placement))), remap=list(placement))
    back = inverse_remap(begin)
    routed.ops.insert(0, begin)
    routed.ops.append(back if tail is None else merge_remaps(tail, back))
    return routed


def couplize_annealing(circuit, metric, couplize_fn, max_iteration=250, temperature=1000.0):
    """Simulated annealing over placements. Each step exchanges two qubits of the current
    placement, routes the relabelled circuit and scores it with `metric` (higher is better); a
    better placement is always kept, a worse one with probability exp(-increase / T). T starts
    at `temperature` and is divided by 10 after the first step and then every 10 steps; the
    search stops after `max_iteration` steps or when T reaches 0. Returns the routing of the
    best placement found."""
    if isinstance(max_iteration, bool) or not isinstance(max_iteration, int):
        raise TypeError(f"The annealing step count must be an integer (got {max_iteration!r})")
    if max_iteration < 0:
        raise ValueError(f"The annealing step count must not be negative (got {max_iteration})")
    if isinstance(temperature, bool) or not isinstance(temperature, (int, float)):
        raise TypeError(f"The annealing temperature must be a number (got {temperature!r})")
    if not temperature >= 0:  # also refuses NaN
        raise ValueError(f"The annealing temperature must not be negative (got {temperature})")
    n = circuit.nbqbits
    order = list(range(n))
    routed, tail = _route(circuit, None, couplize_fn)
    cost = _cost(routed, metric)
    best = (order, routed, tail)
    best_cost = cost
    steps = max_iteration if n >= 2 else 0  # a single qubit has no other placement
    heat = temperature
    for step in range(steps):
        a, b = random.sample(range(n), 2)
        candidate = order[:]
        candidate[a], candidate[b] = candidate[b], candidate[a]
        routed, tail = _route(circuit, candidate, couplize_fn)
        new_cost = _cost(routed, metric)
        if new_cost < cost or (
            heat > 0 and random.uniform(0, 1) < math.exp(-(new_cost - cost) / heat)
        ):
            order, cost = candidate, new_cost
            if new_cost < best_cost:
                best = (candidate, routed, tail)
                best_cost = new_cost
        if step % 10 == 0:
            heat /= 10
        if heat == 0.0:
            break
    placement, routed, tail = best
    return _with_placement(routed, tail, placement)


def couplize_reverse(circuit, metric, couplize_fn):
    """Forward, backward, forward: the final placement of a routing of the circuit is the
    starting placement of a routing of the reversed circuit, whose final placement in turn
    starts the routing returned. `metric` is not used; it is taken for symmetry with
    `couplize_annealing`."""
    n = circuit.nbqbits
    forward, tail = _route(circuit, None, couplize_fn)
    if tail is not None:
        forward.ops.append(tail)
    order = final_placement(forward, n)
    backward = copy.copy(circuit)
    backward.ops = circuit.ops[::-1]
    second = _with_placement(*_route(backward, order, couplize_fn), order)
    order = final_placement(second, n)
    return _with_placement(*_route(circuit, order, couplize_fn), order)
