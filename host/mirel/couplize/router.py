"""One entry point for routing a whole circuit, measurements included: `route(circuit, device,
method, options)`. The command line and the Qiskit routing plugin both go through it, and it
goes through the host-facing plugin's `compile`.

The engines route gates only. Final measurements (nothing but measurements follows them on
their qubit) are taken out first, handed over as the job's measured-qubit list, and put back at
the end on the physical qubits where the permutation left their logical qubits, writing the
same classical bits. A measurement followed by a gate on its qubit, a reset or a classical
operation is refused with a ValueError.
"""

import copy
import json
import math
import random
import time
from dataclasses import dataclass

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.comm.exceptions.ttypes import PluginException
from mirel.couplize.topologies import device as parse_device
from mirel.couplize.verification import apply_remap, is_swap

# Keyword options each method accepts, with their defaults (the plugin's defaults).
METHOD_OPTIONS = {
    "velor": {
        "window_size": 4,
        "update_initial_order": None,
        "max_iteration": 250,
        "temperature": 1000,
        "whole_window": False,
        "lookahead": 0,
        "lookahead_weight": 0.5,
    },
    "sabre": {
        "basic_heuristic": False,
        "weight": 0.5,
        "delta": 0.001,
        "window_size": 4,
        "trials": 1,
        "seed": 0,
        "threads": None,
        "change_initial_order": False,
    },
    "bka": {"size_slice": 0, "use_sum_heuristic": False, "lookahead": 0, "lookahead_discount": 0.5},
    "kovra": {"rewriting_method": "gradient"},
}

# The best-quality modes: options handed to the plugin only when given, so that a routing
# without them calls each engine exactly as before.
OPT_IN_OPTIONS = {
    "velor": ("whole_window", "lookahead", "lookahead_weight"),
    "sabre": ("trials", "seed", "threads", "change_initial_order"),
    "bka": ("lookahead", "lookahead_discount"),
}


@dataclass
class Routed:
    """The result of `route`.

    `circuit` is on physical qubits (as many as the topology has), with SWAP gates inserted and
    the final measurements at the end, and holds no REMAP. `initial[q]` and `final[q]` are the
    physical qubits of logical qubit q before the first and after the last operation.
    `swaps` counts the inserted SWAP gates and `seconds` the time spent routing. On a topology
    with one-way couplings, `circuit` has its gates turned to the allowed directions and
    `routing` holds the routing before that step; otherwise both are the same circuit.
    """

    def __post_init__(self):
        if self.routing is None:
            self.routing = self.circuit

    circuit: Circuit
    initial: list
    final: list
    swaps: int
    seconds: float
    routing: Circuit = None

    def with_remaps(self):
        """The routed circuit in the engines' own form: a leading REMAP that places the logical
        qubits (only when the placement is not the identity), the operations, and a final REMAP
        that brings every logical qubit back to its index. `verify` reads this form."""
        n = len(self.initial)
        ops = []
        if self.initial != list(range(n)):
            ops.append(Op(type=OpType.REMAP, qbits=list(range(n)), remap=list(self.initial)))
        ops += self.routing.ops  # shared, not copied: the checks only read them
        holder = [0] * n
        for logical, physical in enumerate(self.final):
            holder[physical] = logical
        ops.append(Op(type=OpType.REMAP, qbits=list(range(n)), remap=holder))
        result = copy.copy(self.routing)
        result.ops = ops
        return result


def split_final_measurements(circuit):
    """(`circuit` without its final measurements, copies of those measurements in order).

    Raises ValueError for a measurement that a later operation on its qubit follows, for a
    reset and for classical or REMAP operations."""
    touched = set()
    final = [False] * len(circuit.ops)
    for index in range(len(circuit.ops) - 1, -1, -1):
        op = circuit.ops[index]
        qubits = op.qbits or []
        if op.type == OpType.MEASURE:
            later = touched.intersection(qubits)
            if later:
                raise ValueError(
                    f"operation {index}: qubit {min(later)} is measured in the middle of the "
                    "circuit (a later gate acts on it); only final measurements can be routed"
                )
            final[index] = True
        elif op.type == OpType.RESET:
            raise ValueError(f"operation {index}: resets are not supported by the routing engines")
        elif op.type != OpType.GATETYPE:
            raise ValueError(
                f"operation {index}: operations of type {op.type} are not supported; "
                "only gates and final measurements can be routed"
            )
        else:
            touched.update(qubits)
    # The gates are shared with `circuit`, not copied: the plugin's compile copies its jobs.
    gates = copy.copy(circuit)
    gates.ops = [op for op, last in zip(circuit.ops, final, strict=True) if not last]
    measurements = [copy.deepcopy(op) for op, last in zip(circuit.ops, final, strict=True) if last]
    return gates, measurements


def check_options(method, options):
    """The option set of `method`: `options` over the defaults of every option but the opt-in
    ones (OPT_IN_OPTIONS), which are only there when given. ValueError for an unknown method or
    option, or for a value of the wrong kind."""
    if method not in METHOD_OPTIONS:
        raise ValueError(f"unknown method '{method}': choose one of {', '.join(METHOD_OPTIONS)}")
    known = METHOD_OPTIONS[method]
    unknown = sorted(set(options or {}) - set(known))
    if unknown:
        raise ValueError(
            f"unknown option '{unknown[0]}' for method {method}: it accepts " + ", ".join(known)
        )
    opt_in = OPT_IN_OPTIONS.get(method, ())
    defaults = {key: value for key, value in known.items() if key not in opt_in}
    settings = {**defaults, **(options or {})}
    for key, value in (options or {}).items():
        fault = _OPTION_CHECKS[method][key](value)
        if fault:
            raise ValueError(f"option {key}={value!r} of method {method}: {fault}")
    return settings


def _count(least, most=None):
    """Check of an integer option of at least `least` (the engines store it unsigned), and at
    most `most` when given (the width of the engine's integer)."""

    def check(value):
        if isinstance(value, bool) or not isinstance(value, int) or value < least:
            if most is None:
                return f"expected an integer of at least {least}"
            return f"expected an integer from {least} to {most}"
        if most is not None and value > most:
            return f"expected an integer from {least} to {most}"
        return None

    return check


def _optional(check):
    """`check`, letting None (the engine's own choice) through."""
    return lambda value: None if value is None else check(value)


def _real_within(low, high=None, low_open=False):
    """Check of a finite number of at least `low` (more than `low` when `low_open`) and at most
    `high` when given; NaN and infinities are refused."""
    if high is None:
        wanted = f"expected a finite number of at least {low}"
    else:
        wanted = f"expected a number in {'(' if low_open else '['}{low}, {high}]"

    def check(value):
        if _real(value) or not math.isfinite(value):
            return wanted
        if value < low or (low_open and value == low) or (high is not None and value > high):
            return wanted
        return None

    return check


def _real(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or value != value:
        return "expected a number"
    return None


def _flag(value):
    return None if isinstance(value, bool) else "expected true or false"


def _choice(*allowed):
    def check(value):
        if value not in allowed:
            return "expected one of " + ", ".join(map(repr, allowed))
        return None

    return check


# Value checks of every option of METHOD_OPTIONS, so that a bad value is reported with its name
# before an engine converts it (a negative count would wrap around as an unsigned integer).
_UINT32 = 2**32 - 1
_OPTION_CHECKS = {
    "velor": {
        "window_size": _count(1),
        "update_initial_order": _choice(None, "annealing", "reverse"),
        "max_iteration": _count(0),
        "temperature": _real,
        "whole_window": _flag,
        "lookahead": _count(0, _UINT32),
        "lookahead_weight": _real_within(0),
    },
    "sabre": {
        "basic_heuristic": _flag,
        "weight": _real,
        "delta": _real,
        "window_size": _count(0),
        "trials": _count(1, _UINT32),
        "seed": _count(0, 2**63 - 1),
        "threads": _optional(_count(1, _UINT32)),
        "change_initial_order": _flag,
    },
    "bka": {
        "size_slice": _count(0),
        "use_sum_heuristic": _flag,
        "lookahead": _count(0, _UINT32),
        "lookahead_discount": _real_within(0, 1, low_open=True),
    },
    "kovra": {"rewriting_method": _choice("gradient", "annealing")},
}


def route(circuit, device, method="sabre", options=None, seed=None):
    """Route a host circuit on a topology (a `Device` or its text form, such as "grid:5x5").

    Returns a `Routed`; the input circuit is not modified. Raises ValueError for bad input: an
    unknown method or option, a qubit outside the topology, qubits that the topology cannot
    bring together, a gate of three or more qubits, a mid-circuit measurement, or an error of
    the engine. `seed`, when given, seeds Python's and numpy's global random generators, which
    the randomised placement searches draw from.
    """
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a host Circuit, got {type(circuit).__name__}")
    device = parse_device(device)
    settings = check_options(method, options)
    _check_fits(circuit, device)
    gates, measurements = split_final_measurements(circuit)
    _check_reachable(gates, device)
    if seed is not None:
        _seed(seed)
    measured = list(dict.fromkeys(q for op in measurements for q in op.qbits or []))

    import mirel.couplize.plugin  # noqa: F401 (loaded before the clock starts)

    start = time.perf_counter()
    engine_form, mapped = _route_with_plugin(gates, device, method, settings, measured)
    seconds = time.perf_counter() - start

    n = device.nbqbits
    initial, final, body = _placements(engine_form, n)
    for logical, physical in zip(measured, mapped, strict=True):
        if final[logical] != physical:
            raise RuntimeError(
                f"the router placed measured qubit {logical} on {physical}, "
                f"but its permutation leaves it on {final[logical]}"
            )
    for op in measurements:
        op.qbits = [final[q] for q in op.qbits]
        body.append(op)
    swaps = sum(1 for op in body if is_swap(op)) - sum(1 for op in gates.ops if is_swap(op))
    routed = copy.copy(circuit)
    routed.ops = body
    routed.nbqbits = n
    routed.gateDic = {}
    output = routed
    if device.directed:
        from mirel.couplize.expand_swaps import expand_directed

        output = expand_directed(routed, device.adjacency)
    return Routed(output, initial, final, swaps, seconds, routed)


def _route_with_plugin(gates, device, method, settings, measured):
    """Runs the host-facing plugin on one job; returns the routed circuit in the engines' form
    (leading / closing REMAPs put back from the job's remap record) and the physical qubits of
    the measured logical qubits. Directions are left to the caller: the plugin gets the
    undirected topology, so that what it returns is the routing alone."""
    from mirel.core import Batch, Job
    from mirel.couplize.plugin import Couplizer

    try:
        plugin = Couplizer(method, **settings)
        batch = Batch(jobs=[Job(circuit=gates, qubits=list(measured) or None)])
        result = plugin.compile(batch, device.specs(directed=False))
    except PluginException as exc:
        raise ValueError(str(exc)) from exc
    job = result.jobs[0]
    routed = job.circuit
    record = json.loads((result.meta_data or {}).get("COUPLIZE-0", "null")) or {}
    if record.get("BEGIN"):
        routed.ops.insert(0, _remap_op(record["BEGIN"]))
    if record.get("END"):
        routed.ops.append(_remap_op(record["END"]))
    mapped = list(job.qubits) if measured and record.get("END") else list(measured)
    return routed, mapped


def _remap_op(entry):
    return Op(type=OpType.REMAP, qbits=list(entry["qbits"]), remap=list(entry["remap"]))


def _placements(result, n):
    """(initial placement, final placement, operations without REMAPs) of an engine's circuit:
    [leading REMAP] operations [closing REMAP]. Placements are indexed by logical qubit and give
    its physical qubit; they are read from the REMAPs, not from the SWAP gates, because SWAP
    gates of the input are gates of the computation and move no logical qubit. A circuit that
    is a single REMAP has that placement at both ends."""
    ops = list(result.ops)
    holder = list(range(n))  # physical -> logical
    if ops and ops[0].type == OpType.REMAP:
        fault = apply_remap(holder, ops.pop(0))
        if fault:
            raise RuntimeError(f"the router returned a bad leading REMAP: {fault}")
        if not ops:
            placement = _placement_of(holder)
            return placement, list(placement), ops
    initial = _placement_of(holder)
    holder = list(range(n))
    if ops and ops[-1].type == OpType.REMAP:
        # The closing REMAP brings every logical qubit home: the content of qbits[i], which
        # lands on qbits[remap[i]], is that logical qubit.
        closing = ops.pop()
        for i, target in enumerate(closing.remap):
            holder[closing.qbits[i]] = closing.qbits[target]
    for op in ops:
        if op.type == OpType.REMAP:
            raise RuntimeError("the router returned a REMAP between gates")
    return initial, _placement_of(holder), ops


def _placement_of(holder):
    placement = [0] * len(holder)
    for physical, logical in enumerate(holder):
        placement[logical] = physical
    return placement


def _check_fits(circuit, device):
    if (circuit.nbqbits or 0) > device.nbqbits:
        raise ValueError(
            f"the circuit has {circuit.nbqbits} qubits, more than the {device.nbqbits} of "
            f"topology {device.name}"
        )
    for index, op in enumerate(circuit.ops):
        if op.type == OpType.GATETYPE and not 1 <= len(op.qbits or ()) <= 2:
            raise ValueError(
                f"operation {index} ({op.gate}) acts on {len(op.qbits or ())} qubits; the routing "
                "engines take gates of one or two qubits (decompose larger gates first)"
            )
        for q in op.qbits or ():
            if isinstance(q, bool) or not isinstance(q, int) or not 0 <= q < device.nbqbits:
                raise ValueError(
                    f"operation {index} acts on qubit {q!r}, outside topology {device.name} "
                    f"({device.nbqbits} qubits)"
                )


def _check_reachable(circuit, device):
    """Refuses a two-qubit gate whose qubits lie in different parts of a disconnected topology:
    no SWAP can bring them together and a router would search forever."""
    import networkx as nx

    part = {}
    for number, qubits in enumerate(nx.connected_components(device.networkx())):
        part.update(dict.fromkeys(qubits, number))
    for index, op in enumerate(circuit.ops):
        qubits = op.qbits or []
        if len(qubits) >= 2 and len({part[q] for q in qubits}) > 1:
            raise ValueError(
                f"operation {index} acts on qubits {list(qubits)}, which topology {device.name} "
                "does not connect"
            )


def _seed(seed):
    random.seed(seed)
    try:
        import numpy

        numpy.random.seed(seed % 2**32)
    except ImportError:
        pass
