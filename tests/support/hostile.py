"""Inputs a hostile or careless caller might hand the engines: operation and circuit subclasses
with properties and odd copy methods, integers that fight back, and callbacks that raise or call
the engine again. Shared by the regression tests and the robustness suite."""

import copy

from mirel.comm.datamodel.ttypes import Circuit, Op


class CallbackError(Exception):
    """Raised on purpose by a hostile callback; must come through unchanged."""


# --- operations ----------------------------------------------------------------------------


class PropOp(Op):
    """Keeps `qbits` behind a property (stored as `_q`), so `__dict__` has no `qbits` key."""

    qbits = property(lambda self: self._q, lambda self, value: setattr(self, "_q", value))


class SelfCopyOp(Op):
    """Copy methods that return the operation itself."""

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


class RaisingCopyOp(Op):
    def __deepcopy__(self, memo):
        raise CallbackError("deepcopy refused")


class CallbackCopyOp(Op):
    """Runs `hook` (set on the class by a test) whenever the operation is deep-copied."""

    hook = None

    def __deepcopy__(self, memo):
        if type(self).hook is not None:
            type(self).hook()
        clone = Op.__new__(Op)
        clone.__dict__.update(copy.deepcopy(self.__dict__, memo))
        return clone


# --- circuits ------------------------------------------------------------------------------


class SelfCopyCircuit(Circuit):
    def __copy__(self):
        return self


class SelfDeepCopyCircuit(Circuit):
    def __deepcopy__(self, memo):
        return self


class PropCircuit(Circuit):
    """Keeps `ops` behind a property whose setter stores a copy of the list."""

    ops = property(lambda self: self._ops, lambda self, value: setattr(self, "_ops", list(value)))


# --- integers and truth values -------------------------------------------------------------


class Index:
    """An integer through __index__ only, optionally running `hook` first."""

    def __init__(self, value, hook=None):
        self.value = value
        self.hook = hook

    def __index__(self):
        if self.hook is not None:
            self.hook()
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class RaisingIndex:
    def __index__(self):
        raise CallbackError("__index__ refused")


class BadBool:
    def __bool__(self):
        raise CallbackError("__bool__ refused")


def fingerprint(circuit):
    """Everything a caller could see change in a circuit: the ops container and each op's
    fields (including ones hidden behind properties)."""
    ops = circuit.__dict__.get("ops", circuit.__dict__.get("_ops"))
    fields = {k: v for k, v in vars(circuit).items() if k not in ("ops", "_ops")}
    described = None
    try:
        described = [(type(op), repr(sorted(vars(op).items()))) for op in ops]
    except TypeError:
        described = repr(ops)
    return (type(ops), id(ops), described, repr(sorted(fields.items())))
