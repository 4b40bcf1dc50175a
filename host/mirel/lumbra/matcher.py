"""Fast occurrence search for the pattern manager.

The same matching rules as `GraphCircuit.find_occurrences` (gates consecutive on their shared
qubits, distinct qubits for distinct local qubits, `VAR`s bound consistently, no outside path
between matched gates), restricted to plain gates (type GATETYPE, no classical bits), and
written for the manager's inner loop: bindings are undone on backtrack instead of copied, and
name tests are cached per pattern entry.
"""

import itertools

from mirel.comm.datamodel.ttypes import OpType
from mirel.lumbra.graph_circuit import GraphCircuit
from mirel.lumbra.pattern import VAR

_GATE = OpType.GATETYPE


class Match:
    """One occurrence: `nodes` in pattern order, `qubits` (local qubit -> circuit qubit, a list
    indexed by local qubit), `values` (VAR -> bound value)."""

    __slots__ = ("nodes", "qubits", "values")

    def __init__(self, nodes, qubits, values):
        self.nodes = nodes
        self.qubits = qubits
        self.values = values


def rewritable(op):
    return op.type == _GATE and not op.cbits


class Matcher:
    """Occurrences of one compiled pattern whose first gate is a given node."""

    __slots__ = ("entries", "nlocals", "names", "convex_safe", "has_params", "second")

    def __init__(self, pattern):
        self.entries = pattern.entries
        self.nlocals = max(pattern.locals) + 1
        self.names = [{} for _ in pattern.entries]  # per entry: gate name -> matches
        self.convex_safe = pattern.convex_safe
        self.has_params = any(e.params is not None for e in pattern.entries)
        # The second gate follows the first on every local qubit they share: (its arity, the
        # number of the first gate's wires on which it must come next), for a quick rejection.
        second = pattern.entries[1] if len(pattern.entries) > 1 else None
        self.second = (len(second.qubits), len(second.links)) if second is not None else None

    def _name_ok(self, i, name):
        cache = self.names[i]
        ok = cache.get(name)
        if ok is None:
            ok = cache[name] = self.entries[i].name_matches(name)
        return ok

    def at(self, anchor):
        op = anchor.op
        if op.type != _GATE or op.cbits:
            return []
        if self.second is not None:
            arity, shared = self.second
            following = list(anchor.next.values())
            names = self.names[1]
            for node in following:
                if len(node.qubits) != arity:
                    continue
                if shared > 1 and following.count(node) < shared:
                    continue
                ok = names.get(node.name)
                if ok is None:
                    ok = self._name_ok(1, node.name)
                if ok:
                    break
            else:
                return []
        found = []
        phi = [None] * self.nlocals
        self._extend(0, [anchor], phi, {}, found)
        return found

    def _extend(self, i, nodes, phi, values, found):
        entries = self.entries
        if i == len(entries):
            matched = tuple(nodes)
            if not self.convex_safe and not GraphCircuit._is_convex(matched):
                return
            found.append(Match(matched, list(phi), dict(values)))
            return
        entry = entries[i]
        if i == 0:
            node = nodes[0]
        else:
            j, k = entry.links[0]
            node = nodes[k].next.get(phi[j])
            if node is None or len(node.qubits) != len(entry.qubits):
                return
            op = node.op
            if op.type != _GATE or op.cbits or node in nodes:
                return
        ok = self.names[i].get(node.name)
        if ok is None:
            ok = self._name_ok(i, node.name)
        if not ok or (i == 0 and len(node.qubits) != len(entry.qubits)):
            return
        for j, k in entry.links:
            if node.prev.get(phi[j]) is not nodes[k]:
                return
        bound_values = None
        if entry.params is not None:
            actual = node.op.params or []
            if len(actual) != len(entry.params):
                return
            bound_values = []
            for expected, value in zip(entry.params, actual, strict=True):
                if isinstance(expected, VAR):
                    if expected in values:
                        if not values[expected] == value:
                            for var in bound_values:
                                del values[var]
                            return
                    else:
                        values[expected] = value
                        bound_values.append(expected)
                elif not expected == value:
                    for var in bound_values:
                        del values[var]
                    return
        if i > 0:
            nodes.append(node)
        if entry.ordered:
            fresh = []
            ok = True
            for j, q in zip(entry.qubits, node.qubits, strict=True):
                current = phi[j]
                if current is None:
                    if q in phi:
                        ok = False
                        break
                    phi[j] = q
                    fresh.append(j)
                elif current != q:
                    ok = False
                    break
            if ok:
                self._extend(i + 1, nodes, phi, values, found)
            for j in fresh:
                phi[j] = None
        else:
            bound = [phi[j] for j in entry.qubits if phi[j] is not None]
            rest = [q for q in node.qubits if q not in bound]
            if len(rest) == len(node.qubits) - len(bound) and not any(q in phi for q in rest):
                free = [j for j in entry.qubits if phi[j] is None]
                for assignment in itertools.permutations(rest):
                    for j, q in zip(free, assignment, strict=True):
                        phi[j] = q
                    self._extend(i + 1, nodes, phi, values, found)
                for j in free:
                    phi[j] = None
        if i > 0:
            nodes.pop()
        if bound_values:
            for var in bound_values:
                del values[var]
