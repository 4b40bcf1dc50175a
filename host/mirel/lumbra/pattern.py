"""Pattern vocabulary: gate-name matchers, parameter variables, and the checked, compiled form
of a pattern (a list of gates to find) and of a replacement (a list of gates to write).

A pattern is a list of gates `(name, qubits)` or `(name, qubits, params)`:

- `name` is a gate name (str) or a `GateName` (full regular-expression match);
- `qubits` are pattern-local indices: a list or tuple is ordered (the gate's k-th qubit is the
  k-th local qubit), a set or frozenset is unordered (any assignment of the gate's qubits);
- `params`, when given and not None, must equal the operation's parameters element by element; a
  `VAR` in it matches any value, and the same `VAR` must see equal values everywhere it occurs.

The gates of a pattern are consecutive in the circuit's dependency structure: two gates of the
pattern that share a local qubit are adjacent on that qubit, with nothing in between, in pattern
order. Every gate after the first must share a local qubit with an earlier one, so that an
occurrence can be found by walking the qubit wires from its first gate.

A replacement is a list of gates with a plain name, an ordered list of the local qubits bound by
the pattern, and optional params in which a `VAR` of the pattern stands for its bound value.
"""

import operator
import re


class GateName:
    """Matches gate names by full regular expression, e.g. `GateName("R[XYZ]")`."""

    __slots__ = ("regex", "_compiled")

    def __init__(self, regex):
        if not isinstance(regex, str):
            raise TypeError("GateName expects a regular expression as a str")
        self.regex = regex
        self._compiled = re.compile(regex)

    def matches(self, name):
        return isinstance(name, str) and self._compiled.fullmatch(name) is not None

    def __eq__(self, other):
        return isinstance(other, GateName) and other.regex == self.regex

    def __hash__(self):
        return hash(("GateName", self.regex))

    def __repr__(self):
        return f"GateName({self.regex!r})"


class VAR:
    """A pattern parameter variable: matches any value; all its places in one occurrence must
    hold equal values, and a replacement receives the bound value. Variables are distinct
    objects: two `VAR()` are two variables."""

    __slots__ = ("name",)

    def __init__(self, name=None):
        self.name = name

    def __repr__(self):
        return f"VAR({self.name!r})" if self.name is not None else f"VAR(<{id(self):#x}>)"


def as_index(value, message):
    """`value` as a plain int (bools excluded), or TypeError with `message`."""
    if isinstance(value, bool):
        raise TypeError(message)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(message) from None


def _local_qubits(qubits, where, allow_set):
    """Validated local qubit indices of one entry, and whether their order matters."""
    if isinstance(qubits, (set, frozenset)):
        if not allow_set:
            raise ValueError(f"{where}: qubits must be a list (a set leaves their order open)")
        ordered = False
        items = list(qubits)
    elif isinstance(qubits, (list, tuple)):
        ordered = True
        items = list(qubits)
    else:
        raise TypeError(f"{where}: qubits must be a list or a set of local qubit indices")
    locals_ = []
    for j in items:
        j = as_index(j, f"{where}: local qubit {j!r} is not an integer")
        if j < 0:
            raise ValueError(f"{where}: local qubit {j} is negative")
        if j in locals_:
            raise ValueError(f"{where}: local qubit {j} is listed twice")
        locals_.append(j)
    if not ordered:
        locals_.sort()
    return tuple(locals_), ordered


def _params(entry, where):
    if len(entry) == 2 or entry[2] is None:
        return None
    params = entry[2]
    if not isinstance(params, (list, tuple)):
        raise TypeError(f"{where}: params must be a list (or None to accept any)")
    return tuple(params)


def _entry_parts(entry, where):
    if not isinstance(entry, (list, tuple)) or len(entry) not in (2, 3):
        raise TypeError(f"{where} must be (name, qubits) or (name, qubits, params)")
    return entry


class PatternEntry:
    __slots__ = ("name", "qubits", "ordered", "params", "links")

    def __init__(self, name, qubits, ordered, params):
        self.name = name
        self.qubits = qubits
        self.ordered = ordered
        self.params = params
        # (local qubit, index of the previous entry on it) for every local qubit that an earlier
        # entry touches: the matched gate must directly follow that entry's gate on the qubit.
        self.links = []

    def name_matches(self, name):
        if isinstance(self.name, str):
            return name == self.name
        return self.name.matches(name)


class Pattern:
    """A checked pattern, with what matching needs precomputed."""

    def __init__(self, pattern):
        if not isinstance(pattern, (list, tuple)) or not pattern:
            raise ValueError("A pattern must be a non-empty list of gates")
        self.entries = []
        self.variables = set()
        last_on = {}  # local qubit -> index of the last entry touching it
        for i, raw in enumerate(pattern):
            where = f"Pattern entry {i}"
            raw = _entry_parts(raw, where)
            name = raw[0]
            if not isinstance(name, (str, GateName)):
                raise TypeError(f"{where}: the gate name must be a str or a GateName")
            qubits, ordered = _local_qubits(raw[1], where, allow_set=True)
            if not qubits:
                raise ValueError(f"{where} has no qubits")
            params = _params(raw, where)
            entry = PatternEntry(name, qubits, ordered, params)
            entry.links = [(j, last_on[j]) for j in qubits if j in last_on]
            if i > 0 and not entry.links:
                raise ValueError(
                    f"{where} shares no qubit with the entries before it; a pattern must be "
                    "connected"
                )
            for j in qubits:
                last_on[j] = i
            if params is not None:
                self.variables.update(p for p in params if isinstance(p, VAR))
            self.entries.append(entry)
        self.locals = set(last_on)
        self.convex_safe = self._convex_safe()
        self.key = self._key()

    def __len__(self):
        return len(self.entries)

    def _convex_safe(self):
        """True when no occurrence can have an outside path between two of its gates, so the
        check can be skipped: every entry with an outside predecessor (first on some local
        qubit) reaches, inside the pattern, every entry with an outside successor (last on some
        local qubit); an outside path from the latter back to the former would close a cycle."""
        n = len(self.entries)
        reach = [{i} for i in range(n)]
        for i in range(n - 1, -1, -1):
            for later in range(i + 1, n):
                if any(k == i for _, k in self.entries[later].links):
                    reach[i] |= reach[later]
        first, last, seen = set(), set(), set()
        for i, entry in enumerate(self.entries):
            for j in entry.qubits:
                if j not in seen:
                    first.add(i)
                    seen.add(j)
        seen.clear()
        for i in range(n - 1, -1, -1):
            for j in self.entries[i].qubits:
                if j not in seen:
                    last.add(i)
                    seen.add(j)
        return all(end in reach[start] for start in first for end in last)

    def _key(self):
        """Hashable description for caching scans, or None when a parameter is unhashable."""
        parts = []
        for e in self.entries:
            params = None
            if e.params is not None:
                params = tuple(
                    ("var", id(p)) if isinstance(p, VAR) else ("val", p) for p in e.params
                )
            name = e.name if isinstance(e.name, str) else ("re", e.name.regex)
            parts.append((name, e.qubits, e.ordered, params))
        key = tuple(parts)
        try:
            hash(key)
        except TypeError:
            return None
        return key


class Replacement:
    """A checked replacement for a given pattern: names, ordered bound local qubits, params."""

    def __init__(self, replacement, pattern):
        if not isinstance(replacement, (list, tuple)):
            raise TypeError("A replacement must be a list of gates")
        self.entries = []
        for i, raw in enumerate(replacement):
            where = f"Replacement entry {i}"
            raw = _entry_parts(raw, where)
            name = raw[0]
            if not isinstance(name, str):
                raise TypeError(f"{where}: the gate name must be a str")
            qubits, _ = _local_qubits(raw[1], where, allow_set=False)
            for j in qubits:
                if j not in pattern.locals:
                    raise ValueError(
                        f"{where} uses local qubit {j}, which the pattern does not bind"
                    )
            params = _params(raw, where)
            if params is not None:
                for p in params:
                    if isinstance(p, VAR) and p not in pattern.variables:
                        raise ValueError(f"{where} uses {p!r}, which the pattern does not bind")
            self.entries.append((name, qubits, params))
