"""Circuit data model: operations, circuits and gate definitions."""

from mirel.comm.record import Record, copy_value


class OpType:
    GATETYPE = 0
    MEASURE = 1
    RESET = 2
    CLASSIC = 3
    CLASSICCTRL = 4
    BREAK = 5
    REMAP = 6


class ParamType:
    INT = 0
    DOUBLE = 1
    STRING = 2
    MATRIX = 3


class Op(Record):
    _fields = ("gate", "params", "qbits", "type", "cbits", "formula", "remap")

    def __init__(
        self,
        gate=None,
        params=None,
        qbits=None,
        type=OpType.GATETYPE,
        cbits=None,
        formula=None,
        remap=None,
    ):
        self.gate = gate
        self.params = params
        self.qbits = qbits
        self.type = type
        self.cbits = cbits
        self.formula = formula
        self.remap = remap

    def __deepcopy__(self, memo):
        # Routers deep-copy every operation; copying the seven fields directly is several times
        # faster than the generic reflection path.
        cls = type(self)
        clone = cls.__new__(cls)
        memo[id(self)] = clone
        state = self.__dict__
        if len(state) == 7:
            try:
                gate, optype, qbits = state["gate"], state["type"], state["qbits"]
                params, cbits, formula, remap = (
                    state["params"],
                    state["cbits"],
                    state["formula"],
                    state["remap"],
                )
            except KeyError:
                pass  # same count, other names: take the general path below
            else:
                clone.gate = gate if type(gate) is str else copy_value(gate, memo)
                clone.type = optype if type(optype) is int else copy_value(optype, memo)
                clone.qbits = _copy_indices(qbits, memo)
                clone.params = copy_value(params, memo)
                clone.cbits = copy_value(cbits, memo)
                clone.formula = copy_value(formula, memo)
                clone.remap = _copy_indices(remap, memo)
                return clone
        clone.__dict__.update({name: copy_value(value, memo) for name, value in state.items()})
        return clone


def _copy_indices(values, memo):
    """Deep copy of a qubit/remap list: a plain slice when it holds only ints."""
    if type(values) is list:
        for item in values:
            if type(item) is not int:
                return copy_value(values, memo)
        return values[:]
    return copy_value(values, memo)


class Circuit(Record):
    _fields = ("ops", "name", "nbqbits", "nbcbits", "gateDic")

    def __init__(self, ops=None, name=None, nbqbits=0, nbcbits=0, gateDic=None):
        self.ops = [] if ops is None else ops
        self.name = name
        self.nbqbits = nbqbits
        self.nbcbits = nbcbits
        self.gateDic = {} if gateDic is None else gateDic

    def __deepcopy__(self, memo):
        cls = type(self)
        clone = cls.__new__(cls)
        memo[id(self)] = clone
        for name, value in self.__dict__.items():
            if name == "ops" and type(value) is list:
                ops = []
                append = ops.append
                lookup = memo.get
                for op in value:
                    if type(op) is Op:
                        # An op listed twice stays one object in the copy, as with copy.deepcopy.
                        done = lookup(id(op))
                        append(op.__deepcopy__(memo) if done is None else done)
                    else:
                        append(copy_value(op, memo))
                value = ops
            else:
                value = copy_value(value, memo)
            setattr(clone, name, value)
        return clone


class GSyntax(Record):
    _fields = ("name", "parameters")

    def __init__(self, name=None, parameters=None):
        self.name = name
        self.parameters = [] if parameters is None else parameters


class Param(Record):
    _fields = ("type", "is_abstract", "int_p", "double_p", "string_p", "matrix_p")

    def __init__(
        self, type=None, is_abstract=False, int_p=None, double_p=None, string_p=None, matrix_p=None
    ):
        self.type = type
        self.is_abstract = is_abstract
        self.int_p = int_p
        self.double_p = double_p
        self.string_p = string_p
        self.matrix_p = matrix_p


class ComplexNumber(Record):
    _fields = ("re", "im")

    def __init__(self, re=0.0, im=0.0):
        self.re = re
        self.im = im


class Matrix(Record):
    _fields = ("nRows", "nCols", "data")

    def __init__(self, nRows=0, nCols=0, data=None):
        self.nRows = nRows
        self.nCols = nCols
        self.data = data


class GateDefinition(Record):
    _fields = (
        "name",
        "arity",
        "matrix",
        "is_ctrl",
        "nbctrls",
        "subgate",
        "is_dag",
        "is_conj",
        "is_trans",
        "syntax",
    )

    def __init__(
        self,
        name=None,
        arity=None,
        matrix=None,
        is_ctrl=False,
        nbctrls=None,
        subgate=None,
        is_dag=False,
        is_conj=False,
        is_trans=False,
        syntax=None,
    ):
        self.name = name
        self.arity = arity
        self.matrix = matrix
        self.is_ctrl = is_ctrl
        self.nbctrls = nbctrls
        self.subgate = subgate
        self.is_dag = is_dag
        self.is_conj = is_conj
        self.is_trans = is_trans
        self.syntax = syntax
