"""A circuit held as its dependency graph, with pattern search and replacement.

Every operation is a node; for each qubit (and each classical bit) the nodes that use it are
chained in circuit order, so "consecutive on a qubit" is one link away. Nodes also carry a rank:
ranks increase along every chain, so sorting by rank gives a valid circuit order. Untouched
operations keep their relative order; replacement gates take the place of the gates they replace
when the dependencies allow it, otherwise the nodes are re-sorted (stably, by rank).

Finding occurrences (`find_occurrences`) is separate from rewriting (`replace`), so that a
pattern engine can score candidates before choosing; `replace_pattern` combines the two with an
incremental scan that makes repeated rewriting with one pattern roughly linear in the circuit.
"""

import copy
import heapq
import itertools
import math
import operator
from bisect import bisect_left, bisect_right

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType
from mirel.lumbra.pattern import VAR, Pattern, Replacement, as_index

_INF = math.inf


class _Node:
    __slots__ = ("op", "name", "qubits", "wires", "prev", "next", "rank", "alive")

    def __init__(self, op, qubits, wires):
        self.op = op
        self.name = op.gate
        self.qubits = qubits  # tuple of qubit indices, the op's order
        self.wires = wires  # qubits, then ("c", bit) for classical bits
        self.prev = {}  # wire -> previous node on it (absent at the start of the wire)
        self.next = {}  # wire -> next node on it (absent at the end of the wire)
        self.rank = 0.0
        self.alive = True

    def __repr__(self):
        return f"<{self.name} {list(self.qubits)} @{self.rank}>"


class Occurrence:
    """One place where a pattern matches: `ops` (the matched operations, in pattern order),
    `qubits` (pattern-local qubit -> circuit qubit), `values` (VAR -> bound value).

    Iterating an occurrence yields its operations, and an occurrence is always true. It stays
    usable with `GraphCircuit.replace` until the circuit is next modified."""

    __slots__ = ("nodes", "qubits", "values", "pattern", "_owner", "_version")

    def __init__(self, nodes, qubits, values, pattern, owner, version):
        self.nodes = nodes
        self.qubits = qubits
        self.values = values
        self.pattern = pattern
        self._owner = owner
        self._version = version

    @property
    def ops(self):
        return [node.op for node in self.nodes]

    def __iter__(self):
        return iter(self.ops)

    def __bool__(self):
        return True

    def __repr__(self):
        gates = ", ".join(f"{n.name}{list(n.qubits)}" for n in self.nodes)
        return f"Occurrence([{gates}], qubits={self.qubits})"


def _from(nodes, start):
    """The live nodes of nodes[start:], lazily (no copy of a long list)."""
    for index in range(start, len(nodes)):
        node = nodes[index]
        if node.alive:
            yield node


class _Scan:
    """Progress of `replace_pattern` with one pattern and one `pos`: every anchor ranked below
    `resume` has been examined, except those in `pending` (touched by later rewrites) and in
    `nonconvex` (rejected only because an outside path joined their gates)."""

    __slots__ = ("pattern", "pos", "resume", "pending", "nonconvex")

    def __init__(self, pattern, pos):
        self.pattern = pattern
        self.pos = pos
        self.resume = -_INF
        self.pending = set()
        self.nonconvex = set()


def _boundary(region):
    """(entry, exit) of a set of nodes on each wire it uses: the node just before and just after
    it on that wire, None at the start or end of the wire."""
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
    return entry, exit_


def _link(before, after, wire):
    """Make `after` follow `before` on `wire`; None stands for the start or end of the wire."""
    if before is not None:
        if after is not None:
            before.next[wire] = after
        else:
            before.next.pop(wire, None)
    if after is not None:
        if before is not None:
            after.prev[wire] = before
        else:
            after.prev.pop(wire, None)


def _steps_back(nodes, reach):
    """`nodes` and their predecessors along qubit wires up to `reach` steps back, each mapped
    to its least number of steps, in breadth-first order (a fixed order)."""
    steps = dict.fromkeys(nodes, 0)
    frontier = list(steps)
    for d in range(1, reach + 1):
        following = []
        for node in frontier:
            for q in node.qubits:
                p = node.prev.get(q)
                if p is not None and p not in steps:
                    steps[p] = d
                    following.append(p)
        frontier = following
    return steps


class _Change:
    """What `_substitute` did, enough to undo it."""

    __slots__ = ("region", "new_nodes", "entry", "exit", "renumbers", "rebuilds")

    def __init__(self, region, new_nodes, entry, exit_, renumbers, rebuilds):
        self.region = region
        self.new_nodes = new_nodes
        self.entry = entry
        self.exit = exit_
        self.renumbers = renumbers
        self.rebuilds = rebuilds


class GraphCircuit:
    """Dependency graph of one circuit, rewritten by patterns.

    `load_circuit(circuit)` reads the circuit (it is never modified; the graph keeps references
    to its operations and never mutates them). `replace_pattern(pattern, replacement, pos=all)`
    rewrites one occurrence and returns whether it did. `to_circ()` returns a new circuit with the
    surviving and new operations in a valid order and the other fields copied from the loaded
    circuit.
    """

    def __init__(self):
        self._circuit = None
        self._version = 0
        self._renumbers = 0  # count of global re-rankings, so an undo knows ranks are stale
        self._rebuilds = 0  # count of index rebuilds, which drop dead nodes from the indexes

    # --- loading and output --------------------------------------------------------------

    def load_circuit(self, circuit):
        if not isinstance(circuit, Circuit):
            raise TypeError("load_circuit expects a mirel.comm.datamodel.ttypes.Circuit")
        ops = circuit.ops if circuit.ops is not None else []
        # Nodes by rank, and by gate name then rank. Removed nodes stay in these lists (marked
        # dead, so a removal costs no list shift) until they make up half of them.
        self._ranks = []
        self._order = []
        self._by_name = {}  # gate name -> ([ranks], [nodes])
        self._dead = 0
        self._scans = {}
        last = {}
        for index, op in enumerate(ops):
            if not isinstance(op, Op):
                raise TypeError(f"Operation {index} is not a mirel.comm.datamodel.ttypes.Op")
            node = self._make_node(op, index)
            node.rank = float(index)
            for wire in node.wires:
                before = last.get(wire)
                if before is not None:
                    before.next[wire] = node
                    node.prev[wire] = before
                last[wire] = node
            self._ranks.append(node.rank)
            self._order.append(node)
            ranks, nodes = self._by_name.setdefault(node.name, ([], []))
            ranks.append(node.rank)
            nodes.append(node)
        self._circuit = circuit
        self._version += 1

    @staticmethod
    def _make_node(op, index):
        qbits = op.qbits
        if type(qbits) is list and not op.cbits:
            qubits = tuple(qbits)
            if all(type(q) is int for q in qubits) and len(set(qubits)) == len(qubits):
                return _Node(op, qubits, qubits)
        qubits = []
        for q in op.qbits or ():
            q = as_index(q, f"Operation {index} has a non-integer qubit {q!r}")
            if q in qubits:
                raise ValueError(f"Operation {index} lists qubit {q} twice")
            qubits.append(q)
        wires = list(qubits)
        for bit in op.cbits or ():
            wire = ("c", bit)
            if wire not in wires:
                wires.append(wire)
        return _Node(op, tuple(qubits), tuple(wires))

    def to_circ(self):
        self._require_circuit()
        shell = copy.copy(self._circuit)
        shell.ops = []
        result = copy.deepcopy(shell)
        result.ops = [node.op for node in self._order if node.alive]
        return result

    def _require_circuit(self):
        if self._circuit is None:
            raise RuntimeError("No circuit is loaded: call load_circuit first")

    # --- finding occurrences -------------------------------------------------------------

    def find_occurrences(self, pattern):
        """Every occurrence of `pattern`, ordered by the rank of the gate matching its first
        entry, then by the order in which the assignments of unordered qubits are tried."""
        self._require_circuit()
        compiled = pattern if isinstance(pattern, Pattern) else Pattern(pattern)
        found = []
        for anchor in self._anchors(compiled.entries[0], -_INF):
            found.extend(self._occurrences_at(compiled, anchor, None))
        return found

    def _anchors(self, entry, from_rank):
        """Live nodes that may match `entry` by name, with rank >= from_rank, by rank."""
        if isinstance(entry.name, str):
            lists = [self._by_name[entry.name]] if entry.name in self._by_name else []
        else:
            lists = [v for name, v in self._by_name.items() if entry.name.matches(name)]
        iterators = [_from(nodes, bisect_left(ranks, from_rank)) for ranks, nodes in lists]
        if len(iterators) == 1:
            return iterators[0]
        return heapq.merge(*iterators, key=operator.attrgetter("rank"))

    def _occurrences_at(self, pattern, anchor, nonconvex):
        """Occurrences whose first gate is `anchor`; an anchor with structural matches that all
        fail the convexity check is added to `nonconvex` when that set is given."""
        rejected = False
        for nodes, phi, values in self._extend(pattern, 0, [anchor], {}, set(), {}):
            if not pattern.convex_safe or any(len(n.wires) > len(n.qubits) for n in nodes):
                if not self._is_convex(nodes):
                    rejected = True
                    continue
            yield Occurrence(tuple(nodes), phi, values, pattern, self, self._version)
        if rejected and nonconvex is not None:
            nonconvex.add(anchor)

    def _extend(self, pattern, i, nodes, phi, image, values):
        if i == len(pattern.entries):
            yield list(nodes), dict(phi), dict(values)
            return
        entry = pattern.entries[i]
        if i == 0:
            node = nodes[0]
        else:
            j, k = entry.links[0]
            node = nodes[k].next.get(phi[j])
            if node is None or node in nodes:
                return
            nodes.append(node)
        for phi2, image2, values2 in self._bind(entry, node, nodes, phi, image, values):
            yield from self._extend(pattern, i + 1, nodes, phi2, image2, values2)
        if i > 0:
            nodes.pop()

    @staticmethod
    def _bind(entry, node, nodes, phi, image, values):
        """Ways in which `node` matches `entry` given the bindings so far."""
        if len(node.qubits) != len(entry.qubits) or not entry.name_matches(node.name):
            return
        for j, k in entry.links:
            if node.prev.get(phi[j]) is not nodes[k]:
                return
        if entry.params is not None:
            actual = node.op.params or []
            if len(actual) != len(entry.params):
                return
            values = dict(values)
            for expected, value in zip(entry.params, actual, strict=True):
                if isinstance(expected, VAR):
                    if expected in values:
                        if not values[expected] == value:
                            return
                    else:
                        values[expected] = value
                elif not expected == value:
                    return
        if entry.ordered:
            phi = dict(phi)
            image = set(image)
            for j, q in zip(entry.qubits, node.qubits, strict=True):
                if j in phi:
                    if phi[j] != q:
                        return
                elif q in image:
                    return
                else:
                    phi[j] = q
                    image.add(q)
            yield phi, image, values
            return
        bound = {phi[j] for j in entry.qubits if j in phi}
        rest = [q for q in node.qubits if q not in bound]
        if len(rest) != len(node.qubits) - len(bound) or any(q in image for q in rest):
            return
        fresh = [j for j in entry.qubits if j not in phi]
        for assignment in itertools.permutations(rest):
            phi2 = dict(phi)
            phi2.update(zip(fresh, assignment, strict=True))
            yield phi2, image | set(assignment), values

    @staticmethod
    def _is_convex(nodes):
        """No outside path from one matched node to another. Any such path only visits ranks
        below the highest matched rank, which bounds the search."""
        region = set(nodes)
        top = max(n.rank for n in nodes)
        stack = [s for n in nodes for s in n.next.values() if s not in region]
        seen = set()
        while stack:
            x = stack.pop()
            if x in seen or x.rank > top:
                continue
            seen.add(x)
            for s in x.next.values():
                if s in region:
                    return False
                stack.append(s)
        return True

    # --- replacing -----------------------------------------------------------------------

    def replace_pattern(self, pattern, replacement, pos=all):
        """Replace one occurrence of `pattern` by `replacement`; True when something was
        replaced.

        `pos` chooses the occurrence: it is called on the occurrences in circuit order (by the
        position of the gate matching the pattern's first entry, then by the order in which the
        assignments of unordered qubits are tried) and the first one for which it returns a true
        value is replaced. An occurrence iterates over its matched operations and is never
        empty, so the builtin `all` accepts the first occurrence. `pos` must depend only on the
        occurrence: for the same callable, an occurrence it declined is offered again only after
        the circuit changes around it.
        """
        self._require_circuit()
        compiled = Pattern(pattern)
        rewrite = Replacement(replacement, compiled)
        if pos is None:
            pos = all
        if not callable(pos):
            raise TypeError("pos must be a callable choosing among the occurrences")
        scan = self._scans.get(compiled.key) if compiled.key is not None else None
        if scan is None or scan.pos is not pos:
            scan = _Scan(compiled, pos)
            if compiled.key is not None:
                self._scans[compiled.key] = scan
        try:
            chosen = self._next_accepted(scan)
        except BaseException:
            # `pos` (or a parameter comparison) raised midway: the scan's bookkeeping is
            # incomplete, so the next call starts over.
            self._scans.pop(compiled.key, None)
            raise
        if chosen is None:
            return False
        self._replace_nodes(chosen, rewrite)
        return True

    def _next_accepted(self, scan):
        pattern = scan.pattern
        behind = sorted(
            (n for n in scan.pending | scan.nonconvex if n.alive and n.rank < scan.resume),
            key=operator.attrgetter("rank"),
        )
        scan.nonconvex = set()
        for index, anchor in enumerate(behind):
            for occurrence in self._occurrences_at(pattern, anchor, scan.nonconvex):
                if scan.pos(occurrence):
                    scan.pending = set(behind[index + 1 :])
                    return occurrence
        scan.pending = set()
        for anchor in self._anchors(pattern.entries[0], scan.resume):
            for occurrence in self._occurrences_at(pattern, anchor, scan.nonconvex):
                if scan.pos(occurrence):
                    scan.resume = anchor.rank
                    return occurrence
        scan.resume = _INF
        return None

    def replace(self, occurrence, replacement):
        """Replace an occurrence found by `find_occurrences` (before any other change)."""
        if not isinstance(occurrence, Occurrence) or occurrence._owner is not self:
            raise ValueError("The occurrence was not found in this GraphCircuit")
        if occurrence._version != self._version:
            raise ValueError("The occurrence is stale: the circuit changed since it was found")
        self._replace_nodes(occurrence, Replacement(replacement, occurrence.pattern))

    def _replace_nodes(self, occurrence, rewrite):
        ops = []
        for name, locals_, params in rewrite.entries:
            if params is not None:
                params = [
                    occurrence.values[p] if isinstance(p, VAR) else copy.deepcopy(p) for p in params
                ]
            qubits = [occurrence.qubits[j] for j in locals_]
            ops.append(Op(gate=name, qbits=qubits, params=params, type=OpType.GATETYPE))
        self._substitute(occurrence.nodes, ops)

    def _substitute(self, region, ops):
        """Replace the live nodes `region` (a non-empty convex set) by new nodes for `ops`, whose
        qubits must be among the region's wires; returns the `_Change` that `_undo` reverts."""
        # Counters before any re-ranking or index rebuild that this change may cause.
        renumbers, rebuilds = self._renumbers, self._rebuilds
        entry, exit_ = _boundary(region)
        for node in region:
            node.alive = False
        self._dead += len(region)

        new_nodes = []
        for op in ops:
            qubits = tuple(op.qbits)
            if any(q not in entry for q in qubits):
                raise ValueError("A replacement gate acts on a qubit outside the replaced gates")
            new_nodes.append(_Node(op, qubits, qubits))

        # Relink every wire of the region: entry -> new gates on that wire -> exit.
        tail = dict(entry)
        for node in new_nodes:
            for wire in node.wires:
                _link(tail[wire], node, wire)
                tail[wire] = node
        for wire, before in tail.items():
            _link(before, exit_[wire], wire)

        self._version += 1
        if new_nodes and not self._place(new_nodes, region, entry, exit_):
            self._renumber(new_nodes)
        if 2 * self._dead > len(self._order):
            self._rebuild_indexes([node for node in self._order if node.alive])
        touched = list(new_nodes)
        touched += [n for n in entry.values() if n is not None]
        touched += [n for n in exit_.values() if n is not None]
        self._mark_touched(touched)
        return _Change(list(region), new_nodes, entry, exit_, renumbers, rebuilds)

    def _undo(self, change):
        """Revert the latest `_substitute` still in effect (changes are undone last first):
        the replaced nodes come back as they were, with their identity, links and ranks."""
        region, new_nodes = change.region, change.new_nodes
        for node in new_nodes:
            node.alive = False
        for node in region:
            node.alive = True
        self._dead += len(new_nodes) - len(region)
        in_region = set(region)
        heads, tails = {}, {}
        for node in region:
            for wire in node.wires:
                if node.prev.get(wire) not in in_region:
                    heads[wire] = node
                if node.next.get(wire) not in in_region:
                    tails[wire] = node
        for wire, before in change.entry.items():
            after = change.exit[wire]
            _link(before, heads.get(wire, after), wire)
            _link(tails.get(wire, before), after, wire)
        self._version += 1
        if change.renumbers != self._renumbers:
            self._renumber(region)
        elif change.rebuilds != self._rebuilds:
            for node in region:
                self._index(node)
        touched = list(region)
        touched += [n for n in change.entry.values() if n is not None]
        touched += [n for n in change.exit.values() if n is not None]
        self._mark_touched(touched)

    def _place(self, new_nodes, region, entry, exit_):
        """Give the new nodes ranks at the region's place, or just after their latest
        predecessor; False when no free interval respects their dependencies."""
        wires = {w for n in new_nodes for w in n.wires}
        lo = max((entry[w].rank for w in wires if entry[w] is not None), default=-_INF)
        hi = min((exit_[w].rank for w in wires if exit_[w] is not None), default=_INF)
        first = min(n.rank for n in region)
        at = bisect_left(self._ranks, first)
        lower = self._ranks[at - 1] if at > 0 else -_INF
        lower = max(lower, lo)
        after = bisect_right(self._ranks, lower)
        upper = self._ranks[after] if after < len(self._ranks) else _INF
        upper = min(upper, hi)
        if not lower < upper:
            return False
        count = len(new_nodes)
        if lower == -_INF and upper == _INF:
            ranks = [first + i for i in range(count)]
        elif lower == -_INF:
            ranks = [upper - count + i for i in range(count)]
        elif upper == _INF:
            ranks = [lower + 1 + i for i in range(count)]
        else:
            step = (upper - lower) / (count + 1)
            ranks = [lower + step * (i + 1) for i in range(count)]
        if not all(a < b for a, b in zip([lower] + ranks, ranks + [upper], strict=True)):
            return False  # the interval is too narrow for distinct floats
        for node, rank in zip(new_nodes, ranks, strict=True):
            node.rank = rank
            self._index(node)
        return True

    def _renumber(self, new_nodes):
        """Stable topological sort of all live nodes (existing ones by rank, new ones right
        after their latest predecessor), then ranks 0, 1, 2, ...; forgets every scan."""
        new_set = set(new_nodes)
        key = {}
        for i, node in enumerate(new_nodes):
            before = [p.rank for p in node.prev.values() if p not in new_set]
            key[node] = (max(before, default=-_INF), 1, i)
        live = [node for node in self._order if node.alive and node not in new_set]
        nodes = live + new_nodes
        for node in live:
            key[node] = (node.rank, 0, 0)
        indegree = {node: len(set(node.prev.values())) for node in nodes}
        heap = [(key[n], id(n), n) for n in nodes if indegree[n] == 0]
        heapq.heapify(heap)
        order = []
        while heap:
            _, _, node = heapq.heappop(heap)
            order.append(node)
            for succ in set(node.next.values()):
                indegree[succ] -= 1
                if indegree[succ] == 0:
                    heapq.heappush(heap, (key[succ], id(succ), succ))
        if len(order) != len(nodes):
            raise RuntimeError("The dependency graph has a cycle; the replacement is invalid")
        for rank, node in enumerate(order):
            node.rank = float(rank)
        self._rebuild_indexes(order)
        self._scans = {}
        self._renumbers += 1

    def _rebuild_indexes(self, order):
        self._rebuilds += 1
        self._ranks, self._order, self._by_name, self._dead = [], [], {}, 0
        for node in order:
            self._ranks.append(node.rank)
            self._order.append(node)
            ranks, named = self._by_name.setdefault(node.name, ([], []))
            ranks.append(node.rank)
            named.append(node)

    def _index(self, node):
        at = bisect_left(self._ranks, node.rank)
        self._ranks.insert(at, node.rank)
        self._order.insert(at, node)
        ranks, nodes = self._by_name.setdefault(node.name, ([], []))
        at = bisect_left(ranks, node.rank)
        ranks.insert(at, node.rank)
        nodes.insert(at, node)

    def _mark_touched(self, touched):
        """Anchors of every occurrence that may contain a touched node (one whose links
        changed): the touched nodes and their predecessors along qubit wires, up to one step
        less than the pattern's length, go back into each scan that has already passed them."""
        if not self._scans:
            return
        reach = max(len(scan.pattern) for scan in self._scans.values()) - 1
        depth = _steps_back([n for n in touched if n.alive], reach)
        for scan in self._scans.values():
            limit = len(scan.pattern) - 1
            scan.pending.update(n for n, d in depth.items() if d <= limit and n.rank < scan.resume)
