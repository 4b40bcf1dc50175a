"""The host-facing compilation plugin.

`Couplizer` takes a batch of jobs and a hardware specification and returns a batch whose
circuits only apply two-qubit gates to neighbouring qubits of the topology. The permutations at
the very start and end of each routed circuit are taken out of it and recorded, per job, as JSON
text under "COUPLIZE-<job index>" in the batch meta data; the measured-qubit list and the
observable of each job follow the final permutation. `do_remap` translates a measured sample back
to the user's qubit order through the recorded "END" permutation.

Everything here is plumbing of host objects (copies, renames, small list walks), so it is plain
Python; the routing itself runs in the engines.
"""

import contextlib
import copy
import gc
import json
import math
import numbers

from mirel.comm.datamodel.ttypes import OpType
from mirel.comm.exceptions.ttypes import ErrorType, PluginException
from mirel.comm.hardware.ttypes import HardwareSpecs, TopologyType
from mirel.comm.shared.ttypes import Sample
from mirel.core import Batch
from mirel.core.assertion import assert_plugin
from mirel.core.plugins import AbstractPlugin, OffloadedPlugin
from mirel.couplize.bestfirst import AstarCouplizer
from mirel.couplize.bestfirst import QubitGraph as AstarGraph
from mirel.couplize.definition import update_gate_dict
from mirel.couplize.expand_swaps import expand_directed
from mirel.couplize.lookahead import QubitGraph as SabreGraph
from mirel.couplize.lookahead import SabreCouplizer
from mirel.couplize.mapping import couplize_annealing, couplize_reverse
from mirel.couplize.motifs import PatternCouplizer
from mirel.couplize.motifs import QubitGraph as PatternGraph
from mirel.couplize.swapcore import Couplizer as CCouplizer
from mirel.couplize.swapcore import QuantumCostMetric, QubitGraph

_UPDATERS = (None, "annealing", "reverse")
_ROUTABLE = {OpType.GATETYPE, OpType.REMAP}

# Best-quality settings of each engine, passed on only when the caller names them: "velor" takes
# them when built, "sabre" and "bka" when they route.
_OPT_IN = {
    "velor": ("whole_window", "lookahead", "lookahead_weight"),
    "sabre": ("trials", "seed", "threads", "change_initial_order"),
    "bka": ("lookahead", "lookahead_discount"),
}
_UINT32 = 2**32 - 1

# --- names of the operations hidden from the engine ----------------------------------------


class _HiddenName(str):
    """Gate name the plugin gives to an operation it hides from the engine while it routes: a
    large gate's placeholder ("-k-", `index` = k) or a SWAP of the input ("-SWAP-", `index`
    None). Hidden operations are recognised by this type, never by their text, so a user gate
    that happens to be called "-0-", "U-12" or "-SWAP-" is left alone. Copies of an operation
    keep the very same name object."""

    def __new__(cls, text, index=None):
        name = super().__new__(cls, text)
        name.index = index
        return name


def _is_hidden(name):
    return type(name) is _HiddenName


# --- module functions ----------------------------------------------------------------------


def _max_qubits(graph):
    """1 + the largest qubit index among the keys and neighbour lists of a topology mapping."""
    return 1 + max(max([q, *neighbours]) for q, neighbours in graph.items())


def _remap_to_dict(remap_gate, nbqbits):
    """Classical remap dictionary of a REMAP operation."""
    return {"remap": list(remap_gate.remap), "qbits": list(remap_gate.qbits), "nbqbits": nbqbits}


def _remove_large_gates(circuit):
    """Hide from the engine, in place, every gate on three or more qubits behind a one-qubit
    placeholder on its first qubit, and rename the circuit's own SWAP gates so that only the
    engine's SWAPs are called "SWAP". Returns the list of deep copies of the large gates; the
    position of a copy is the index its placeholder carries."""
    large_gates = []
    for op in circuit.ops:
        qubits = op.qbits or []
        if op.gate == "SWAP":
            op.gate = _HiddenName("-SWAP-")
        elif len(qubits) > 2 and op.type != OpType.REMAP:  # a permutation is not a gate
            large_gates.append(copy.deepcopy(op))
            index = len(large_gates) - 1
            op.gate = _HiddenName(f"-{index}-", index)
            op.qbits = [qubits[0]]
    return large_gates


def _remap_order(order, op):
    """The order list (logical qubit held by each physical qubit) after the REMAP `op`."""
    position = {q: i for i, q in enumerate(op.qbits)}
    new_order = [0] * len(order)
    for p, logical in enumerate(order):
        i = position.get(p)
        new_order[p if i is None else op.qbits[op.remap[i]]] = logical
    return new_order


def _add_large_gates(circuit, large_gates):
    """Undo `_remove_large_gates` in place on a circuit the engine has routed: each placeholder
    becomes its large gate again, on the physical qubits where that gate's logical qubits sit
    at that point, and hidden SWAPs get their name back. Raises a PluginException for a
    classical or measurement operation, and when a placeholder is missing, repeated or names no
    large gate (the routed circuit would not match the input)."""
    ops = circuit.ops
    assert_plugin(
        {op.type for op in ops} <= _ROUTABLE,
        "Unsupported gate type - classic gates and measurement gates are not supported",
    )
    if not large_gates and _HiddenName not in {type(op.gate) for op in ops}:
        return  # nothing was hidden: the common case
    order = list(range(circuit.nbqbits))
    restored = [False] * len(large_gates)
    for op in ops:
        if op.type == OpType.REMAP:
            order = _remap_order(order, op)
            continue
        name = op.gate
        if _is_hidden(name):
            if name.index is None:
                op.gate = "SWAP"
                continue
            k = name.index
            assert_plugin(
                0 <= k < len(large_gates) and not restored[k],
                f"Placeholder {name} of a large gate is unknown or appears twice in the routed "
                "circuit",
            )
            restored[k] = True
            gate = large_gates[k]
            op.gate = gate.gate
            op.qbits = [_position(order, q, gate) for q in gate.qbits]
        elif name == "SWAP":
            q1, q2 = op.qbits
            order[q1], order[q2] = order[q2], order[q1]
    assert_plugin(all(restored), "A large gate was lost while routing the circuit")


def _position(order, logical, gate):
    """Physical qubit holding `logical` in the order list."""
    try:
        return order.index(logical)
    except ValueError:
        raise PluginException(
            message=f"Large gate {gate.gate} acts on qubit {logical}, which the routed circuit "
            f"does not hold (it has {len(order)} qubits)",
            code=ErrorType.INVALID_ARGS,
        ) from None


def _update_measured_qubit(qubit, last_gate):
    """Qubit to which `qubit` corresponds through the final REMAP `last_gate`."""
    if qubit not in last_gate.qbits:
        return qubit
    i = last_gate.qbits.index(qubit)
    return last_gate.qbits[last_gate.remap.index(i)]


def _update_qubits_list(job, last_gate):
    """Measured-qubit list of `job` (all its circuit's qubits when None or empty) mapped
    through the final REMAP."""
    qubits = job.qubits or range(job.circuit.nbqbits)
    return [_update_measured_qubit(q, last_gate) for q in qubits]


def _update_observable(job, nb_qubits, last_gate):
    """Observable of `job` with every term's qubits mapped through the final REMAP, or None."""
    if job.observable is None:
        return None
    observable = copy.deepcopy(job.observable)
    observable.nbqbits = nb_qubits
    observable.terms = []
    for element in job.observable.terms:
        term = element.to_term()
        term.qbits = [_update_measured_qubit(q, last_gate) for q in term.qbits]
        observable.add_term(term)
    return observable


def do_remap(sample, remap):
    """Translate a measured sample of a compiled circuit through a classical remap dictionary
    (the "END" entry of a job's record): bit t of the new state is the bit of the old state on
    the qubit whose content went to t. Bits of qubits outside the map are dropped. Returns a new
    Sample, or `sample` itself when `remap` is None."""
    if remap is None:
        return sample
    qbits, moves = remap["qbits"], remap["remap"]
    source = {k: k for k in range(remap["nbqbits"])}
    for i, q in enumerate(qbits):
        source[qbits[moves[i]]] = q
    old = sample.state
    state = 0
    for target, origin in source.items():
        state |= ((old >> origin) & 1) << target
    result = Sample(state=state)
    result.probability = copy.deepcopy(sample.probability)
    result.amplitude = copy.deepcopy(sample.amplitude)
    return result


# --- the plugin -------------------------------------------------------------------------------


class Couplizer(AbstractPlugin, OffloadedPlugin):
    """Compilation plugin inserting SWAP gates so that every two-qubit gate of a job acts on
    neighbouring qubits of the hardware topology.

    Methods: "velor" (windowed exhaustive search, the default), "sabre", "bka" (slice-by-slice
    A*) and "kovra" (SWAP chains around distant gates, then pattern rewriting).

    Extra keywords set the method's engine. Besides the settings with defaults ("velor":
    window_size; "sabre": basic_heuristic, weight, delta, window_size; "bka": size_slice,
    use_sum_heuristic; "kovra": rewriting_method and its own keywords), each of the first three
    methods has an opt-in best-quality mode, handed to its engine only when named here (a plugin
    built without them routes exactly as before):

    - "sabre": trials (routings run, the one with the fewest SWAPs kept; trial 0 is the plain
      routing, so never more SWAPs than the default), seed (of the random tie-breaks; the result
      depends on it, never on threads), threads (native threads running the trials; None: one
      per hardware thread), change_initial_order (search a placement first, recorded as the
      job's "BEGIN" permutation; not combined with update_initial_order);
    - "velor": whole_window (commit each chosen candidate whole), lookahead (next two-qubit
      interactions weighed for each meeting point) and lookahead_weight (their weight, >= 0);
      they refine the built-in fewest-operations choice, so they need the predefined metric;
    - "bka": lookahead (next slices counted in the search's estimate) and lookahead_discount
      (weight of slice k is discount**k, in (0, 1]).

    Bad values are refused here, with a PluginException naming the setting.
    """

    couplize_algorithm = {
        "velor": CCouplizer,
        "sabre": SabreCouplizer,
        "bka": AstarCouplizer,
        "kovra": PatternCouplizer,
    }
    couplize_graph = {
        "velor": QubitGraph,
        "sabre": SabreGraph,
        "bka": AstarGraph,
        "kovra": PatternGraph,
    }

    # One score object shared by every instance that does not pass its own.
    default_metric = QuantumCostMetric()

    def __init__(
        self,
        method="velor",
        ignore_large_gates=False,
        update_initial_order=None,
        max_iteration=250,
        temperature=1000,
        metric=default_metric,
        **kwargs,
    ):
        super().__init__()
        try:
            known = method in self.couplize_algorithm
        except TypeError:  # an unhashable value cannot be a method name
            known = False
        if not known:
            raise PluginException(
                message=f"Unknown algorithm {method!r}, please select an algorithm in the "
                f"following list: {list(self.couplize_algorithm)}",
                code=ErrorType.INVALID_ARGS,
            )
        if update_initial_order is not None and update_initial_order not in _UPDATERS:
            raise PluginException(
                message="The selected algorithm to update the initial order is not known. "
                'Please select an algorithm between [None, "annealing" and "reverse"]',
                code=ErrorType.INVALID_ARGS,
            )
        self.ignore_large_gates = ignore_large_gates
        self.update_initial_order = update_initial_order
        self.max_iteration = max_iteration
        self.temperature = temperature
        self.metric = metric
        if ignore_large_gates and method != "velor":
            raise PluginException(
                message="Cannot ignore large gates using a couplization method different "
                'from "velor"',
                code=ErrorType.INVALID_ARGS,
            )
        try:
            self.couplizer, self.couplize_args = self._build_engine(method, kwargs)
        except (TypeError, ValueError, OverflowError) as exc:  # a setting the engine refuses
            raise PluginException(
                message=f"Invalid setting of the {method!r} engine: {exc}",
                code=ErrorType.INVALID_ARGS,
            ) from exc
        self.graph = None
        self.graph_type = self.couplize_graph[method]

    def _build_engine(self, method, kwargs):
        """The engine of `method` and the keywords of its `couplize`, taking the method's own
        keywords out of `kwargs`."""
        engine_class = self.couplize_algorithm[method]
        # Opt-in settings go to the engine only when given, after the default ones and in the
        # caller's order.
        opt_in = _OPT_IN.get(method, ())
        extra = {key: kwargs.pop(key) for key in list(kwargs) if key in opt_in}
        _check_opt_in(extra)
        if method == "velor":
            window_size = kwargs.pop("window_size", 4)
            return engine_class(metric=self.metric, window_size=window_size, **extra), {}
        if method == "sabre":
            if extra.get("change_initial_order") and self.update_initial_order is not None:
                raise ValueError(
                    "change_initial_order searches the placement itself; it cannot be combined "
                    f"with update_initial_order={self.update_initial_order!r}"
                )
            args = {
                "basic_heuristic": kwargs.pop("basic_heuristic", False),
                "weight": kwargs.pop("weight", 0.5),
                "delta": kwargs.pop("delta", 0.001),
                "window_size": kwargs.pop("window_size", 4),
                **extra,
            }
            return engine_class(), args
        if method == "bka":
            engine = engine_class(size_slice=kwargs.pop("size_slice", 0))
            args = {"use_sum_heuristic": kwargs.pop("use_sum_heuristic", False), **extra}
            return engine, args
        if method == "kovra":
            args = {"metric": self.metric, "method": kwargs.pop("rewriting_method", "gradient")}
            args.update(kwargs)
            return engine_class(), args
        return engine_class(), {}

    # --- topology binding ---------------------------------------------------------------------

    def get_specs(self, specs):
        """The specification this plugin offers to the stages before it: a copy of `specs`
        with an all-to-all topology, since it makes any circuit fit the real one."""
        offered = copy.deepcopy(specs)
        offered.topology.type = TopologyType.ALL_TO_ALL
        offered.topology.graph = None
        return offered

    def _generate_lnn_graph(self, nbqbits):
        graph = self.graph_type(nbqbits)
        for i in range(nbqbits - 1):
            graph.add_edge(i, i + 1)
        return graph

    def _set_graph(self, specs):
        """Bind `graph` from a hardware specification: the topology kind for all-to-all and
        linear nearest-neighbour, a graph object for a custom topology. An object of the
        engine's graph class is taken as it is."""
        if not isinstance(specs, HardwareSpecs):
            if isinstance(specs, self.graph_type):
                self.graph = specs
                return
            raise PluginException(
                message='No specs provided - argument "specs" passed to the method "compile" is '
                "not an instance of mirel.core.HardwareSpecs",
                code=ErrorType.ABORT,
                modulename="mirel.couplize",
            )
        assert_plugin(
            specs.nbqbits is None or _is_index(specs.nbqbits),
            f"The qubit count of the hardware must be a non-negative integer or None (got "
            f"{specs.nbqbits!r})",
        )
        assert_plugin(specs.topology is not None, "The hardware specification has no topology")
        kind = specs.topology.type
        if kind in (TopologyType.ALL_TO_ALL, TopologyType.LNN):
            self.graph = kind
            return
        assert_plugin(
            kind == TopologyType.CUSTOM,
            f"Unknown topology type {kind!r}: expected TopologyType.ALL_TO_ALL, LNN or CUSTOM",
        )
        mapping = specs.topology.graph
        _check_mapping(mapping)
        graph = self.graph_type(specs.nbqbits if specs.nbqbits else _max_qubits(mapping))
        size = graph.get_nbqbits()
        for q, neighbours in mapping.items():
            for m in neighbours:
                assert_plugin(
                    max(q, m) < size,
                    f"The hardware is composed of {size} qubits which is incompatible with the "
                    "topology (qubits of the topology must have indexes between 0 and "
                    f"{size - 1} whereas the topology has an edge between qubits {q} and {m})",
                )
                graph.add_edge(q, m)
        self.graph = graph

    # --- compilation --------------------------------------------------------------------------

    def compile(self, batch, specs):
        """Route every job of `batch` on the topology of `specs` (a HardwareSpecs, or an object
        of the engine's graph class). Returns a new batch; neither argument is modified."""
        self._set_graph(specs)
        _check_jobs(batch)
        if not self._has_graph_object() and self.graph == TopologyType.ALL_TO_ALL:
            result = copy.deepcopy(batch)
            width = specs.nbqbits or 0
            for job in result.jobs:
                job.circuit.nbqbits = max(job.circuit.nbqbits, width)
            return result
        result = Batch()
        result.meta_data = copy.deepcopy(batch.meta_data) if batch.meta_data else {}
        result.jobs = []
        for job in batch.jobs:
            with _gc_paused():
                compiled, record = self._compile_one_job(self._working_copy(job), specs)
            result.meta_data[f"COUPLIZE-{len(result.jobs)}"] = json.dumps(record)
            result.jobs.append(compiled)
        return result

    def _working_copy(self, job):
        """A copy of `job` that `_compile_one_job` may modify without touching the caller's.
        Only the circuit's width changes unless large gates are set aside (which renames
        operations), so the operations are shared in the common case: the engines never
        modify a circuit, and the compiled job is deep-copied from this one."""
        work = copy.copy(job)
        if self.ignore_large_gates:
            work.circuit = copy.deepcopy(job.circuit)
        else:
            work.circuit = copy.copy(job.circuit)
        return work

    def _has_graph_object(self):
        return isinstance(self.graph, self.graph_type)

    def _compile_one_job(self, job, specs):
        """Route one job (modified in place; `compile` hands a copy). Returns the compiled job
        and its remap record {"BEGIN": ..., "END": ...}."""
        circuit = job.circuit
        given = specs.nbqbits if isinstance(specs, HardwareSpecs) else 0
        nbqbits = max(circuit.nbqbits, given or 0)
        if self._has_graph_object():
            size = self.graph.get_nbqbits()
            assert_plugin(
                circuit.nbqbits <= size,
                f"Cannot couplize a circuit having more qubits (nbqbits: {circuit.nbqbits}) "
                f"than the topology (nbqbits: {size})",
            )
            self.couplizer.set_graph(self.graph)
            # The circuit, its result and the remap records all describe the whole topology.
            circuit.nbqbits = size
            nbqbits = size
        else:  # linear nearest-neighbour: a line as long as the job needs
            self.couplizer.set_graph(self._generate_lnn_graph(nbqbits))

        large_gates = _remove_large_gates(circuit) if self.ignore_large_gates else []
        routed = self._couplize(circuit)
        if routed.gateDic is circuit.gateDic:  # never extend the caller's gate dictionary
            routed.gateDic = copy.deepcopy(routed.gateDic)
        routed.nbqbits = nbqbits
        if self.ignore_large_gates:  # otherwise the job's circuit was never changed
            _add_large_gates(circuit, large_gates)
        _add_large_gates(routed, large_gates)
        update_gate_dict(routed)
        if isinstance(specs, HardwareSpecs) and specs.topology.type == TopologyType.CUSTOM:
            routed = expand_directed(routed, specs.topology.graph)

        # Deep copy of the job, the routed circuit standing in for its circuit.
        compiled = copy.deepcopy(job, {id(job.circuit): routed})
        record = {"BEGIN": None, "END": None}
        ops = routed.ops
        if ops and ops[0].type == OpType.REMAP:
            record["BEGIN"] = _remap_to_dict(ops.pop(0), circuit.nbqbits)
        if ops and ops[-1].type == OpType.REMAP:
            last_gate = ops.pop()
            record["END"] = _remap_to_dict(last_gate, circuit.nbqbits)
            compiled.qubits = _update_qubits_list(job, last_gate)
            compiled.observable = _update_observable(job, routed.nbqbits, last_gate)
        elif compiled.observable is not None:
            # Without a final permutation the observable is kept, but like the circuit it
            # describes every qubit of the topology.
            compiled.observable.nbqbits = routed.nbqbits
        return compiled, record

    def _couplize(self, circuit):
        """Run the engine (through the initial-order updater, if one is set) on `circuit`."""
        updater = self.update_initial_order
        assert_plugin(
            updater in _UPDATERS,
            f"Unknow method {updater!r}, cannot update the initial order of the circuit",
        )
        if updater is None:
            try:
                return self.couplizer.couplize(circuit, **self.couplize_args)
            except Exception as error:
                raise PluginException(message=_engine_failure(circuit, error)) from error
        if updater == "annealing":
            return couplize_annealing(
                circuit, self.metric, self._couplize_fn, self.max_iteration, self.temperature
            )
        return couplize_reverse(circuit, self.metric, self._couplize_fn)

    def _couplize_fn(self, circuit):
        return self.couplizer.couplize(circuit, **self.couplize_args)

    # --- results ----------------------------------------------------------------------------

    def do_post_processing(self):
        return False

    def post_process(self, results):
        return results


@contextlib.contextmanager
def _gc_paused():
    """Pause the cyclic garbage collector while one job is compiled: a routed circuit is many
    small acyclic objects, and collections triggered while they are built would walk every
    circuit compiled so far again and again. The previous state is restored on exit."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def _check_mapping(mapping):
    """Reject a custom topology mapping the plugin cannot read, with a message saying why."""
    if mapping is None or not hasattr(mapping, "items"):
        raise PluginException(
            message="A CUSTOM topology needs a graph: a mapping from each qubit to the list of "
            f"its neighbours (got {mapping!r})",
            code=ErrorType.INVALID_ARGS,
        )
    if not mapping:
        raise PluginException(
            message="The graph of the CUSTOM topology is empty: it must list at least one qubit",
            code=ErrorType.INVALID_ARGS,
        )
    for q, neighbours in mapping.items():
        try:
            valid = _is_index(q) and all(_is_index(m) for m in neighbours)
        except TypeError:  # neighbours not iterable
            valid = False
        if not valid:
            raise PluginException(
                message="The graph of the CUSTOM topology must map qubit indexes (non-negative "
                f"integers) to lists of qubit indexes; qubit {q!r} is mapped to {neighbours!r}",
                code=ErrorType.INVALID_ARGS,
            )


def _check_opt_in(settings):
    """Refuse an opt-in setting whose value the engine would refuse or misread, naming it (a
    native engine's own message for a negative count names no setting, and "sabre" and "bka"
    read theirs only when they route). Raises TypeError or ValueError."""
    for key, value in settings.items():
        if key in ("change_initial_order", "whole_window"):
            if not isinstance(value, bool):
                raise TypeError(f"{key} must be True or False, got {value!r}")
        elif key in ("lookahead_discount", "lookahead_weight"):
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"{key} must be a number, got {value!r}")
            if key == "lookahead_discount" and not 0 < value <= 1:  # also refuses NaN
                raise ValueError(f"{key} must be in (0, 1], got {value!r}")
            if key == "lookahead_weight" and not 0 <= value < math.inf:
                raise ValueError(f"{key} must be a finite number >= 0, got {value!r}")
        elif not (key == "threads" and value is None):
            least = 0 if key in ("seed", "lookahead") else 1
            most = 2**63 - 1 if key == "seed" else _UINT32
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise TypeError(f"{key} must be an integer, got {value!r}")
            if not least <= value <= most:
                raise ValueError(f"{key} must be an integer from {least} to {most}, got {value}")


def _engine_failure(circuit, error):
    """The message of an engine's failure on `circuit`. A qubit that is not a non-negative
    integer makes a native engine fail while converting it, with a message that names neither
    the operation nor the qubit; they are looked for only once the engine has failed."""
    for index, op in enumerate(circuit.ops):
        for q in op.qbits or ():
            if not _is_index(q):
                return f"Operation {index} acts on qubit {q!r}; qubits are non-negative integers"
    return str(error)


def _is_index(value):
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _check_jobs(batch):
    if not isinstance(getattr(batch, "jobs", None), list):
        raise PluginException(
            message=f"Expected a Batch holding a list of jobs (got {type(batch).__name__})",
            code=ErrorType.INVALID_ARGS,
        )
    for index, job in enumerate(batch.jobs):
        circuit = getattr(job, "circuit", None)
        if circuit is None or not hasattr(circuit, "ops"):
            raise PluginException(
                message=f"Job {index} of the batch has no circuit to compile",
                code=ErrorType.INVALID_ARGS,
            )
