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
from mirel.lumbra.graph_circuit import GraphCircuit, _boundary, _link, _Node, _steps_back
from mirel.lumbra.matcher import Matcher
from mirel.lumbra.pattern import VAR, GateName, Pattern

METHODS = ("gradient", "annealing")

# Longest chain of rewrites that the greedy descent tries before a removal, by default and at
# most.
DEPTH = 2
MAX_DEPTH = 4


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
          pattern to remove applicable, at once or after at most `depth` - 1 more rewrites
          (keyword `depth`, default 2, at most 4; 0 applies only rewrites that raise the score
          by themselves), and the steps together raise the score; until none does. Each extra
          level of depth finds more but costs several times more. Keyword `max_iteration`
          (default None: ten times the number of operations, plus 100) bounds the number of
          accepted steps, which matters only for a user metric.
        - "annealing": the greedy descent, then `max_iteration` random rewrites (default: five
          times the number of operations, at least 100), each accepted when it does not lower
          the score, else with probability exp(change / T), T falling linearly from
          `temperature` (default 1.0, in the metric's units) to 0; every accepted rewrite is
          followed by the single-rewrite descent around it, the end by the full descent (with
          `depth`), and the best circuit seen is returned. Random choices use the `random`
          module, so `random.seed` makes a run repeatable. With the operation-count metric, rewrites
          between patterns of equal length are neutral and always accepted.
        """
        if not isinstance(circuit, Circuit):
            raise TypeError("replace_pattern expects a mirel.comm.datamodel.ttypes.Circuit")
        if not isinstance(method, str) or method not in METHODS:
            raise ValueError(
                f"Unknown rewriting method {method!r}; the known methods are "
                + ", ".join(repr(m) for m in METHODS)
            )
        allowed = {"max_iteration", "depth"} | ({"temperature"} if method == "annealing" else set())
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
        depth = kwargs.get("depth", DEPTH)
        if isinstance(depth, bool) or not isinstance(depth, int):
            raise TypeError("depth must be an int")
        if not 0 <= depth <= MAX_DEPTH:
            # The search grows exponentially with the depth: beyond this it would not finish.
            raise ValueError(f"depth must be between 0 and {MAX_DEPTH}, not {depth}")
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
            search.descend(limit, depth=depth)
        else:
            limit = max_iteration if max_iteration is not None else max(100, 5 * nbops)
            search.anneal(limit, float(temperature), depth)
        return search.result()


class _Search:
    """The rewriting state of one `replace_pattern` call."""

    def __init__(self, circuit, rules, metric):
        self.graph = GraphCircuit()
        self.graph.load_circuit(circuit)
        rules = _without_subsumed(rules)
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
        self._rules_by_gate = {}
        self.matchers = {id(r): Matcher(r.source) for r in rules}

    # --- scoring -------------------------------------------------------------------------

    def _evaluate(self):
        # A copy: the circuit's operations are the graph's own, and a metric may change what
        # it is given.
        value = self.metric(copy.deepcopy(self.graph.to_circ()))
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"The metric returned {value!r}, not a number")
        return value

    def _gain(self, *rules):
        """Score change of applying `rules` in turn, for the operation-count metric."""
        return -sum(rule.size_change for rule in rules)

    # --- occurrences and changes ---------------------------------------------------------

    def rules_for(self, node):
        """(removal rules, equivalence rules) whose first gate can match `node`."""
        key = (node.name, len(node.qubits))
        found = self._rules_by_gate.get(key)
        if found is None:
            found = tuple(
                [
                    r
                    for r in rules
                    if len(r.source.entries[0].qubits) == key[1]
                    and r.source.entries[0].name_matches(key[0])
                ]
                for rules in (self.removals, self.equivalences)
            )
            self._rules_by_gate[key] = found
        return found

    def occurrences(self, rule, anchor):
        return self.matchers[id(rule)].at(anchor)

    def apply(self, rule, occurrence):
        """Apply `rule` to `occurrence`; returns the change, which `undo` reverts."""
        return self.graph._substitute(occurrence.nodes, rule.build_ops(occurrence))

    def undo(self, change):
        self.graph._undo(change)

    def neighbourhood(self, change):
        """Nodes that may anchor an occurrence touching what `change` rewrote."""
        start = [n for n in change.new_nodes if n.alive]
        start += [n for n in change.entry.values() if n is not None and n.alive]
        start += [n for n in change.exit.values() if n is not None and n.alive]
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
            fresh = set(virtual)
            for anchor in _back(virtual, self.reach_removal - 1):
                for removal in self.rules_for(anchor)[0]:
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

    def descend(self, limit, start=None, depth=DEPTH):
        """Greedy rewriting from the nodes `start` (all nodes when None) until no step around a
        visited node raises the score, or `limit` steps were accepted. A step is a removal or a
        rewrite that raises the score, or a chain of up to `depth` rewrites, each touching what
        the previous one wrote, that makes a removal applicable. Chains are searched by
        growing length, each length over the whole worklist: short ones are cheap and leave
        fewer gates for the longer ones."""
        if start is None:
            start = [n for n in self.graph._order if n.alive]
        touched = []
        for level in range(min(depth, 1), depth + 1):
            touched += self._descend(limit, start + touched, level)
            start = [n for n in start if n.alive]
            touched = [n for n in touched if n.alive]

    def _descend(self, limit, start, level):
        """The worklist of `descend` for chains up to `level` rewrites; returns the nodes that
        steps revisited."""
        queue = deque(start)
        queued = set(start)
        revisited = []
        while queue and self.steps < limit:
            node = queue.popleft()
            queued.discard(node)
            if not node.alive:
                continue
            touched = self._improve_at(node, level)
            if touched is not None:
                self.steps += 1
                if node.alive:
                    touched.append(node)
                revisited += touched
                for n in touched:
                    if n not in queued and n.alive:
                        queued.add(n)
                        queue.append(n)
        return revisited

    def _improve_at(self, node, level):
        """Apply one improving step whose first rewrite is anchored at `node`; the nodes to
        revisit, or None with the graph as it was."""
        removals, equivalences = self.rules_for(node)
        for rule in removals:
            for occurrence in self.occurrences(rule, node):
                touched = self._try(rule, occurrence, None)
                if touched is not None:
                    return touched
        found = [(rule, occ) for rule in equivalences for occ in self.occurrences(rule, node)]
        for rule, occurrence in found:
            removal = self.enabled_removal(rule, occurrence) if level > 0 else None
            touched = self._try(rule, occurrence, removal)
            if touched is not None:
                return touched
        if level < 2 or not self.removals:
            return None
        # A failed try leaves the graph as it was, with the same nodes: `found` still holds.
        for rule, occurrence in found:
            change = self.apply(rule, occurrence)
            touched = self._chain([rule], [change], level - 2)
            if touched is not None:
                return touched
            self.undo(change)
        return None

    def _chain(self, rules, changes, more):
        """After the rewrites `rules`, applied as `changes`: find one more rewrite touching what
        the last one wrote that makes a removal applicable, or (while `more` > 0) that leads to
        one through further rewrites; apply the chain and its removal if they raise the score
        and return the nodes to revisit. Otherwise None, with the graph as the chain left it."""
        last = changes[-1]
        fresh = set(last.new_nodes)
        # Every gate of an occurrence follows its first gate, so one that contains a written
        # gate starts at it or at most `reach - 1` gates before it.
        for anchor in _back(last.new_nodes, self.reach - 1):
            if not anchor.alive:
                continue
            for rule in self.rules_for(anchor)[1]:
                for occurrence in self.occurrences(rule, anchor):
                    nodes = occurrence.nodes
                    if not any(n in fresh for n in nodes):
                        continue
                    if rule.target is rules[-1].source and all(n in fresh for n in nodes):
                        continue  # the way back
                    removal = self.enabled_removal(rule, occurrence)
                    if removal is not None:
                        if self.op_count and self._gain(*rules, rule, removal) <= 0:
                            continue
                        change = self.apply(rule, occurrence)
                        found = self.removal_at(change.new_nodes, removal)
                        if found is not None:
                            third = self.apply(removal, found)
                            if self._accept_chain([*rules, rule, removal]):
                                touched = []
                                for done in (*changes, change, third):
                                    touched += self.neighbourhood(done)
                                return touched
                            self.undo(third)
                        self.undo(change)
                    elif more > 0:
                        change = self.apply(rule, occurrence)
                        touched = self._chain([*rules, rule], [*changes, change], more - 1)
                        if touched is not None:
                            return touched
                        self.undo(change)
        return None

    def _accept_chain(self, rules):
        """Score after the rules just applied, if it is higher than the current one."""
        score = self.score + self._gain(*rules) if self.op_count else self._evaluate()
        if score > self.score:
            self.score = score
            return True
        return False

    def _try(self, rule, occurrence, removal):
        """Apply `rule` (then `removal` on what it wrote, when given) if that raises the score;
        the nodes to revisit, or None with the graph as it was."""
        if self.op_count:
            gain = self._gain(rule)
            if gain <= 0 and (removal is None or self._gain(rule, removal) <= 0):
                return None
        change = self.apply(rule, occurrence)
        if self._accept_chain([rule]):
            return self.neighbourhood(change)
        if removal is not None:
            found = self.removal_at(change.new_nodes, removal)
            if found is not None:
                second = self.apply(removal, found)
                if self._accept_chain([rule, removal]):
                    return self.neighbourhood(change) + self.neighbourhood(second)
                self.undo(second)
        self.undo(change)
        return None

    # --- annealing -----------------------------------------------------------------------

    def anneal(self, iterations, temperature, depth):
        self.descend(self._descent_limit(), depth=depth)
        if not self.equivalences:
            return
        for i in range(iterations):
            order = self.graph._order
            if not order:
                break
            node = order[random.randrange(len(order))]
            if not node.alive:
                continue
            equivalences = self.rules_for(node)[1]
            if not equivalences:
                continue
            rule = equivalences[random.randrange(len(equivalences))]
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
                after = before + self._gain(rule)
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
            self.descend(self._descent_limit(), self.neighbourhood(change), depth=min(depth, 1))
            if self.score > self.best_score:
                self.best_score = self.score
                self.best = None
        # The random walk keeps only what single rewrites reach; finish with the full descent.
        self.steps = 0
        self.descend(self._descent_limit(), depth=depth)
        if self.score > self.best_score:
            self.best_score = self.score
            self.best = None

    def _descent_limit(self):
        return 10 * len(self.graph._order) + 100

    def result(self):
        if self.best is not None and self.best_score > self.score:
            return self.best
        return self.graph.to_circ()


def _without_subsumed(rules):
    """Drop a rule when another one of the same kind rewrites every occurrence of it the same
    way: same gates, qubits and carried operations, with parameters left open where it
    constrains them (e.g. a rule on gates with one parameter beside the same rule on any
    gate)."""
    return [r for r in rules if not any(o is not r and _subsumes(o, r) for o in rules)]


def _subsumes(general, special):
    if general.removal != special.removal or general.carry != special.carry:
        return False
    if general.size_change != special.size_change:
        return False
    if len(general.source.entries) != len(special.source.entries):
        return False
    if (general.target is None) != (special.target is None):
        return False
    # (general entry, special entry, whether a looser parameter list is allowed)
    pairs = [
        (g, s, True) for g, s in zip(general.source.entries, special.source.entries, strict=True)
    ]
    if general.target is not None:
        pairs += [
            (g, s, carried is not None)
            for g, s, carried in zip(
                general.target.entries, special.target.entries, general.carry, strict=False
            )
        ]
    stricter = False
    for g, s, loose in pairs:
        if g.qubits != s.qubits or g.ordered != s.ordered or _entry_key(g)[0] != _entry_key(s)[0]:
            return False
        if loose and g.params is None and s.params is not None:
            stricter = True
        elif _entry_key(g)[1] != _entry_key(s)[1]:
            return False
    return stricter


def _accept(change_in_score, temperature):
    if temperature <= 0:
        return False
    return random.random() < math.exp(change_in_score / temperature)


def _back(nodes, depth):
    """`nodes` and their predecessors along qubit wires up to `depth` steps, without repeats,
    in a fixed order."""
    return list(_steps_back(nodes, depth))


class _Tentative:
    """Links the gates of `ops` in place of `occurrence` through the neighbours' `prev`/`next`
    only (ranks and indexes untouched), for matching; restores the links on exit. Entering
    gives the new (virtual) nodes."""

    def __init__(self, occurrence, ops):
        self.region = occurrence.nodes
        self.ops = ops
        self.saved = []

    def __enter__(self):
        entry, exit_ = _boundary(self.region)
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
                _link(a, b, wire)
        return virtual

    def __exit__(self, *exc):
        for links, wire, value in reversed(self.saved):
            if value is None:
                links.pop(wire, None)
            else:
                links[wire] = value
        return False
