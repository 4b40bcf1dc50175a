"""Pattern manager: groups of equivalent patterns, and a search that rewrites a circuit with them
so that it scores better under a metric (higher is better).

A group holds patterns declared equivalent: an occurrence of any one of them may be replaced by
any other of the group. Gates are carried over from the occurrence to the replacement: the k-th
gate of the replacement with a given (name, parameters, arity) entry takes the operation matched
by the k-th gate with the same entry in the occurrence, moved to the qubits the replacement names
(so a `GateName` keeps the matched name and the operation keeps its parameters). Replacement
gates without such a counterpart are new operations built from a plain name and bound `VAR`s. A
group may also hold patterns to remove: they are replaced by the group's patterns (typically the
empty one) but never written.

Only plain gates are rewritten: an operation that is not of type GATETYPE or has classical bits
never belongs to an occurrence. Since occurrences are consecutive on every qubit they touch, no
gate is ever moved across such an operation (a REMAP, a measure, a classically controlled gate).

Scoring is incremental for the operation-count metric (the system's `QuantumCostMetric`, or the
default `None`): a rewrite changes the score by the difference of the pattern lengths. Any other
metric is a callable on a whole circuit, called once per rewrite that is considered.
"""

import copy
import math
import random
from collections import deque

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.lumbra.graph_circuit import GraphCircuit, _Node
from mirel.lumbra.pattern import VAR, GateName, Pattern

METHODS = ("gradient", "annealing")


def _entry_key(entry):
    """What a gate of one pattern must share with a gate of another to carry its operation."""
    name = entry.name if isinstance(entry.name, str) else ("re", entry.name.regex)
    params = None
    if entry.params is not None:
        params = tuple(
            ("var", id(p)) if isinstance(p, VAR) else ("val", repr(p)) for p in entry.params
        )
    return (name, params, len(entry.qubits))


class _Rule:
    """Rewrite of an occurrence of `source` (a compiled pattern) into `target` (a compiled
    pattern, or None for the empty one). `carry[i]` is the source entry whose operation the i-th
    target entry takes, or None for a new operation."""

    __slots__ = ("source", "target", "carry", "removal", "size_change")

    def __init__(self, source, target, removal):
        self.source = source
        self.target = target
        self.removal = removal
        target_entries = target.entries if target is not None else []
        self.size_change = len(target_entries) - len(source.entries)
        seen = {}
        by_key = {}
        for index, entry in enumerate(source.entries):
            by_key.setdefault(_entry_key(entry), []).append(index)
        self.carry = []
        for entry in target_entries:
            key = _entry_key(entry)
            k = seen.get(key, 0)
            seen[key] = k + 1
            candidates = by_key.get(key, [])
            self.carry.append(candidates[k] if k < len(candidates) else None)

    def check(self):
        """ValueError when the target cannot be written from an occurrence of the source."""
        if self.target is None:
            return
        for local in self.target.locals:
            if local not in self.source.locals:
                raise ValueError(
                    f"The pattern uses local qubit {local}, which an equivalent pattern does "
                    "not bind"
                )
        for entry, source_index in zip(self.target.entries, self.carry, strict=True):
            if source_index is not None:
                continue
            if isinstance(entry.name, GateName):
                raise ValueError(
                    f"The pattern has a gate {entry.name!r} with no counterpart in an equivalent "
                    "pattern, so its name cannot be known"
                )
            for p in entry.params or ():
                if isinstance(p, VAR) and p not in self.source.variables:
                    raise ValueError(
                        f"The pattern uses {p!r}, which an equivalent pattern does not bind"
                    )

    def build_ops(self, occurrence):
        """The operations that replace `occurrence` (carried ones are copies, never the
        matched operations themselves)."""
        ops = []
        if self.target is None:
            return ops
        matched = occurrence.nodes
        phi = occurrence.qubits
        for entry, source_index in zip(self.target.entries, self.carry, strict=True):
            qubits = [phi[j] for j in entry.qubits]
            if source_index is not None:
                op = copy.copy(matched[source_index].op)
                op.qbits = qubits
            else:
                params = entry.params
                if params is not None:
                    params = [
                        occurrence.values[p] if isinstance(p, VAR) else copy.deepcopy(p)
                        for p in params
                    ]
                op = _new_gate(entry.name, qubits, params)
            ops.append(op)
        return ops


def _new_gate(name, qubits, params):
    return Op(gate=name, qbits=qubits, params=params, type=OpType.GATETYPE)


def _compile(pattern, allow_empty):
    if isinstance(pattern, (list, tuple)) and len(pattern) == 0:
        if not allow_empty:
            raise ValueError("A pattern to remove must hold at least one gate")
        return None
    return Pattern(pattern)


class PatternGroup:
    """Patterns declared equivalent, and patterns to remove in favour of them. Made by
    `PatternManager.new_group()`."""

    def __init__(self):
        self._patterns = []  # compiled patterns, None for the empty one
        self._removals = []

    def add_pattern(self, pattern):
        """Declare `pattern` equivalent to the group's other patterns (an empty list is the
        empty pattern: it can be written, never found)."""
        compiled = _compile(pattern, allow_empty=True)
        for other in self._patterns:
            for source, target in ((compiled, other), (other, compiled)):
                if source is not None:
                    _Rule(source, target, removal=False).check()
        for removal in self._removals:
            _Rule(removal, compiled, removal=True).check()
        self._patterns.append(compiled)

    def pattern_to_remove(self, pattern):
        """Make every occurrence of `pattern` replaceable by the group's patterns."""
        compiled = _compile(pattern, allow_empty=False)
        for target in self._patterns:
            _Rule(compiled, target, removal=True).check()
        self._removals.append(compiled)

    def _rules(self):
        rules = []
        for source in self._patterns:
            if source is None:
                continue
            for target in self._patterns:
                if target is source or (target is not None and target.key == source.key):
                    continue
                rules.append(_Rule(source, target, removal=False))
        for source in self._removals:
            for target in self._patterns:
                rules.append(_Rule(source, target, removal=True))
        return rules


def _is_op_count(metric):
    if metric is None:
        return True
    try:
        from mirel.couplize.swapcore import QuantumCostMetric
    except ImportError:  # the host package alone: only `None` means the operation count
        return False
    return type(metric) is QuantumCostMetric


class PatternManager:
    """Rewrites circuits with groups of equivalent patterns.

    `global_metric` scores a circuit (higher is better): a callable on a `Circuit` returning a
    number, or None for minus the operation count."""

    def __init__(self, global_metric=None):
        if global_metric is not None and not callable(global_metric):
            raise TypeError("global_metric must be a callable scoring a Circuit, or None")
        self.global_metric = global_metric
        self._groups = []

    def new_group(self):
        group = PatternGroup()
        self._groups.append(group)
        return group

    def replace_pattern(self, circuit, method="gradient", **kwargs):
        """Return a rewritten copy of `circuit` that scores at least as well; `circuit` itself is
        never modified.

        Methods:

        - "gradient": greedy. A rewrite is applied when it raises the score, or when it makes a
          pattern to remove applicable and the two together raise the score; until none does.
          Keyword `max_iteration` (default None: ten times the number of operations, plus 100)
          bounds the number of accepted steps, which matters only for a user metric.
        - "annealing": the greedy descent, then `max_iteration` random rewrites (default: twice
          the number of operations, at least 100), each accepted when it does not lower the
          score, else with probability exp(change / T), T falling linearly from `temperature`
          (default 1.0, in the metric's units) to 0; every accepted rewrite is followed by the
          greedy descent around it, and the best circuit seen is returned. Random choices use
          the `random` module, so `random.seed` makes a run repeatable.
        """
        if not isinstance(circuit, Circuit):
            raise TypeError("replace_pattern expects a mirel.comm.datamodel.ttypes.Circuit")
        if not isinstance(method, str) or method not in METHODS:
            raise ValueError(
                f"Unknown rewriting method {method!r}; the known methods are "
                + ", ".join(repr(m) for m in METHODS)
            )
        allowed = {"max_iteration"} | ({"temperature"} if method == "annealing" else set())
        unknown = sorted(set(kwargs) - allowed)
        if unknown:
            raise TypeError(
                f"replace_pattern() got unexpected keyword argument(s) {', '.join(unknown)} for "
                f"method {method!r} (accepted: {', '.join(sorted(allowed))})"
            )
        max_iteration = kwargs.get("max_iteration")
        if max_iteration is not None:
            if isinstance(max_iteration, bool) or not isinstance(max_iteration, int):
                raise TypeError("max_iteration must be an int")
            if max_iteration < 0:
                raise ValueError("max_iteration must not be negative")
        temperature = kwargs.get("temperature", 1.0)
        if isinstance(temperature, bool) or not isinstance(temperature, (int, float)):
            raise TypeError("temperature must be a number")
        if not temperature >= 0 or math.isinf(temperature):
            raise ValueError("temperature must be a finite number >= 0")

        rules = []
        for index, group in enumerate(self._groups):
            if group._removals and not group._patterns:
                raise ValueError(
                    f"Group {index} has patterns to remove but no pattern to replace them with"
                )
            rules.extend(group._rules())

        work = copy.deepcopy(circuit)
        search = _Search(work, rules, self.global_metric)
        nbops = len(work.ops)
        if method == "gradient":
            limit = max_iteration if max_iteration is not None else 10 * nbops + 100
            search.descend(limit)
        else:
            limit = max_iteration if max_iteration is not None else max(100, 2 * nbops)
            search.anneal(limit, float(temperature))
        return search.result()


class _Search:
    """The rewriting state of one `replace_pattern` call."""

    def __init__(self, circuit, rules, metric):
        self.graph = GraphCircuit()
        self.graph.load_circuit(circuit)
        self.removals = [r for r in rules if r.removal]
        self.equivalences = [r for r in rules if not r.removal]
        self.metric = metric
        self.op_count = _is_op_count(metric)
        self.reach = max((len(r.source.entries) for r in rules), default=1)
        self.reach_removal = max((len(r.source.entries) for r in self.removals), default=1)
        self.score = self._evaluate() if not self.op_count else -len(circuit.ops)
        self.best = None  # snapshot of a better circuit left behind by a worsening move
        self.best_score = self.score
        self.steps = 0

    # --- scoring -------------------------------------------------------------------------

    def _evaluate(self):
        value = self.metric(self.graph.to_circ())
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"The metric returned {value!r}, not a number")
        return value

    # --- occurrences and changes ---------------------------------------------------------

    def occurrences(self, rule, anchor):
        for occurrence in self.graph._occurrences_at(rule.source, anchor, None):
            if all(_rewritable(node.op) for node in occurrence.nodes):
                yield occurrence

    def apply(self, rule, occurrence):
        """Apply and return what undoes it: (new nodes, replaced operations, bounds)."""
        old_ops = [node.op for node in occurrence.nodes]
        new_nodes, bounds = self.graph._substitute(occurrence.nodes, rule.build_ops(occurrence))
        return new_nodes, old_ops, bounds

    def undo(self, change):
        new_nodes, old_ops, bounds = change
        self.graph._substitute(new_nodes, old_ops, bounds)

    def neighbourhood(self, change):
        """Nodes that may anchor an occurrence touching what `change` rewrote."""
        new_nodes, _, (entry, exit_) = change
        start = [n for n in new_nodes if n.alive]
        start += [n for n in entry.values() if n is not None and n.alive]
        start += [n for n in exit_.values() if n is not None and n.alive]
        return _back(start, self.reach - 1)

    # --- lookahead: does a rewrite make a removal applicable? ------------------------------

    def enabled_removal(self, rule, occurrence):
        """A removal rule that would match a gate written by `rule` on `occurrence`, found on
        the graph with the rewrite linked in tentatively (nothing is changed)."""
        if not self.removals:
            return None
        with _Tentative(occurrence, rule.build_ops(occurrence)) as virtual:
            if not virtual:
                return None
            anchors = _back(virtual, self.reach_removal - 1)
            fresh = set(virtual)
            for anchor in anchors:
                for removal in self.removals:
                    if not removal.source.convex_safe:
                        return removal  # only the real graph can tell; checked after applying
                    for found in self.occurrences(removal, anchor):
                        if any(n in fresh for n in found.nodes):
                            return removal
        return None

    def removal_at(self, nodes, rule):
        """An occurrence of `rule` that contains one of `nodes`, on the real graph."""
        wanted = set(nodes)
        for anchor in _back(list(nodes), len(rule.source.entries) - 1):
            for found in self.occurrences(rule, anchor):
                if any(n in wanted for n in found.nodes):
                    return found
        return None

    # --- greedy descent ------------------------------------------------------------------

    def descend(self, limit, start=None):
        """Greedy rewriting from the nodes `start` (all nodes when None) until no rewrite around
        a visited node raises the score, or `limit` steps were accepted."""
        if start is None:
            start = [n for n in self.graph._order if n.alive]
        queue = deque(start)
        queued = set(start)
        while queue and self.steps < limit:
            node = queue.popleft()
            queued.discard(node)
            if not node.alive:
                continue
            touched = self._improve_at(node)
            if touched is not None:
                self.steps += 1
                for n in touched:
                    if n not in queued:
                        queued.add(n)
                        queue.append(n)
                if node.alive and node not in queued:
                    queued.add(node)
                    queue.append(node)

    def _improve_at(self, node):
        """Apply one improving step anchored at `node`; the nodes to revisit, or None."""
        for rule in self.removals:
            for occurrence in self.occurrences(rule, node):
                touched = self._try(rule, occurrence, None)
                if touched is not None:
                    return touched
        for rule in self.equivalences:
            for occurrence in self.occurrences(rule, node):
                removal = self.enabled_removal(rule, occurrence)
                touched = self._try(rule, occurrence, removal)
                if touched is not None:
                    return touched
        return None

    def _try(self, rule, occurrence, removal):
        """Apply `rule` (then `removal` on what it wrote, when given) if that raises the score;
        the nodes to revisit, or None with the graph as it was."""
        if self.op_count:
            gain = -rule.size_change
            if removal is not None and gain <= 0:
                gain -= removal.size_change
            if gain <= 0:
                return None
        change = self.apply(rule, occurrence)
        score = self.score - rule.size_change if self.op_count else self._evaluate()
        if score > self.score:
            self.score = score
            return self.neighbourhood(change)
        if removal is not None:
            found = self.removal_at(change[0], removal)
            if found is not None:
                second = self.apply(removal, found)
                final = score - removal.size_change if self.op_count else self._evaluate()
                if final > self.score:
                    self.score = final
                    return self.neighbourhood(change) + self.neighbourhood(second)
                self.undo(second)
        self.undo(change)
        return None

    # --- annealing -----------------------------------------------------------------------

    def anneal(self, iterations, temperature):
        self.descend(self._descent_limit())
        if not self.equivalences:
            return
        for i in range(iterations):
            order = self.graph._order
            node = order[random.randrange(len(order))]
            if not node.alive:
                continue
            rule = self.equivalences[random.randrange(len(self.equivalences))]
            found = list(self.occurrences(rule, node))
            if not found:
                continue
            occurrence = found[random.randrange(len(found))]
            t = temperature * (1.0 - i / iterations)
            before = self.score
            # The circuit as it is, kept only if a worsening move is about to leave the best
            # circuit seen so far.
            at_best = before >= self.best_score
            if self.op_count:
                after = before - rule.size_change
                if after < before and not _accept(after - before, t):
                    continue
                snapshot = self.graph.to_circ() if after < before and at_best else None
                change = self.apply(rule, occurrence)
            else:
                snapshot = self.graph.to_circ() if at_best else None
                change = self.apply(rule, occurrence)
                after = self._evaluate()
                if after < before and not _accept(after - before, t):
                    self.undo(change)
                    continue
            if after < before and at_best:
                self.best, self.best_score = snapshot, before
            self.score = after
            self.steps = 0
            self.descend(self._descent_limit(), self.neighbourhood(change))
            if self.score > self.best_score:
                self.best_score = self.score
                self.best = None

    def _descent_limit(self):
        return 10 * len(self.graph._order) + 100

    def result(self):
        if self.best is not None and self.best_score > self.score:
            return self.best
        return self.graph.to_circ()


def _accept(change_in_score, temperature):
    if temperature <= 0:
        return False
    return random.random() < math.exp(change_in_score / temperature)


def _rewritable(op):
    return op.type == OpType.GATETYPE and not op.cbits


def _back(nodes, depth):
    """`nodes` and their predecessors along qubit wires up to `depth` steps, without repeats,
    in a fixed order."""
    seen = dict.fromkeys(nodes)
    frontier = list(seen)
    for _ in range(depth):
        following = []
        for node in frontier:
            for q in node.qubits:
                p = node.prev.get(q)
                if p is not None and p not in seen:
                    seen[p] = None
                    following.append(p)
        frontier = following
    return list(seen)


class _Tentative:
    """Links the gates of `ops` in place of `occurrence` through the neighbours' `prev`/`next`
    only (ranks and indexes untouched), for matching; restores the links on exit. Yields the
    virtual nodes."""

    def __init__(self, occurrence, ops):
        self.region = occurrence.nodes
        self.ops = ops
        self.saved = []

    def __enter__(self):
        region = self.region
        in_region = set(region)
        entry, exit_ = {}, {}
        for node in region:
            for wire in node.wires:
                before = node.prev.get(wire)
                if before not in in_region:
                    entry[wire] = before
                after = node.next.get(wire)
                if after not in in_region:
                    exit_[wire] = after
        virtual = [_Node(op, tuple(op.qbits), tuple(op.qbits)) for op in self.ops]
        chains = {wire: [entry[wire]] for wire in entry}
        for node in virtual:
            for wire in node.wires:
                chains[wire].append(node)
        saved = self.saved
        for wire, chain in chains.items():
            chain.append(exit_[wire])
            if chain[0] is not None:
                saved.append((chain[0].next, wire, chain[0].next.get(wire)))
            if chain[-1] is not None:
                saved.append((chain[-1].prev, wire, chain[-1].prev.get(wire)))
            for a, b in zip(chain, chain[1:], strict=False):
                if a is not None:
                    if b is not None:
                        a.next[wire] = b
                    else:
                        a.next.pop(wire, None)
                if b is not None:
                    if a is not None:
                        b.prev[wire] = a
                    else:
                        b.prev.pop(wire, None)
        return virtual

    def __exit__(self, *exc):
        for links, wire, value in reversed(self.saved):
            if value is None:
                links.pop(wire, None)
            else:
                links[wire] = value
        return False
