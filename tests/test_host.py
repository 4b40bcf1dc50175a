"""The host stand-in: value classes, framework classes, plugin bases and helpers."""

import copy
import pickle

import numpy as np
import pytest

from mirel.comm.datamodel.ttypes import (
    Circuit,
    ComplexNumber,
    GateDefinition,
    GSyntax,
    Matrix,
    Op,
    OpType,
    Param,
    ParamType,
)
from mirel.comm.exceptions.ttypes import ErrorType, PluginException
from mirel.comm.hardware.ttypes import HardwareSpecs, Topology, TopologyType
from mirel.comm.shared.ttypes import Sample
from mirel.core import Batch, Job, Observable, Term
from mirel.core import HardwareSpecs as CoreHardwareSpecs
from mirel.core import Topology as CoreTopology
from mirel.core import TopologyType as CoreTopologyType
from mirel.core.assertion import assert_plugin
from mirel.core.plugins import AbstractPlugin, OffloadedPlugin
from mirel.core.util import circ_to_np
from mirel.core.variables import Variable


def sample_matrix():
    entries = [ComplexNumber(0.0), ComplexNumber(1.0), ComplexNumber(1.0), ComplexNumber()]
    return Matrix(nRows=2, nCols=2, data=entries)


def sample_syntax():
    return GSyntax(name="RZ", parameters=[Param(type=ParamType.DOUBLE, double_p=0.25)])


def sample_circuit():
    return Circuit(
        ops=[
            Op(gate="H", qbits=[0]),
            Op(gate="RZ", params=[0.5], qbits=[1]),
            Op(gate="CNOT", qbits=[0, 1]),
            Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0]),
            Op(type=OpType.MEASURE, qbits=[0], cbits=[0]),
        ],
        name="c",
        nbqbits=2,
        nbcbits=1,
        gateDic={"H": GateDefinition(name="H", arity=1, syntax=GSyntax(name="H"))},
    )


# One populated instance per value class, with every field given.
SAMPLES = {
    "Op": lambda: Op(
        gate="RX",
        params=[0.5, Variable("t")],
        qbits=[0, 2],
        type=OpType.GATETYPE,
        cbits=[1],
        formula="AND 0 1",
        remap=[1, 0],
    ),
    "Circuit": sample_circuit,
    "GateDefinition": lambda: GateDefinition(
        name="CTRL-H",
        arity=2,
        matrix=sample_matrix(),
        is_ctrl=True,
        nbctrls=1,
        subgate="H",
        is_dag=True,
        is_conj=True,
        is_trans=True,
        syntax=sample_syntax(),
    ),
    "GSyntax": sample_syntax,
    "Param": lambda: Param(
        type=ParamType.MATRIX,
        is_abstract=True,
        int_p=3,
        double_p=0.5,
        string_p="s",
        matrix_p=sample_matrix(),
    ),
    "Matrix": sample_matrix,
    "ComplexNumber": lambda: ComplexNumber(re=0.5, im=-1.5),
    "Topology": lambda: Topology(type=TopologyType.CUSTOM, graph={0: [1], 1: [0, 2], 2: [1]}),
    "HardwareSpecs": lambda: HardwareSpecs(
        nbqbits=3,
        topology=Topology(type=TopologyType.LNN),
        description="line",
    ),
    "Sample": lambda: Sample(state=5, probability=0.25, amplitude=complex(0.5, 0.0)),
    "PluginException": lambda: PluginException(
        message="bad", code=ErrorType.ABORT, modulename="m", file="f.py", line=12
    ),
}

FIELDS = {
    "Op": ("gate", "params", "qbits", "type", "cbits", "formula", "remap"),
    "Circuit": ("ops", "name", "nbqbits", "nbcbits", "gateDic"),
    "GateDefinition": (
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
    ),
    "GSyntax": ("name", "parameters"),
    "Param": ("type", "is_abstract", "int_p", "double_p", "string_p", "matrix_p"),
    "Matrix": ("nRows", "nCols", "data"),
    "ComplexNumber": ("re", "im"),
    "Topology": ("type", "graph"),
    "HardwareSpecs": ("nbqbits", "topology", "description"),
    "Sample": ("state", "probability", "amplitude"),
    "PluginException": ("message", "code", "modulename", "file", "line"),
}

CLASS_NAMES = sorted(SAMPLES)
FIELD_CASES = [(name, field) for name in CLASS_NAMES for field in FIELDS[name]]


def mutable_parts(value, seen=None):
    """Every list, dict and value-class object reachable from `value`, by identity."""
    seen = {} if seen is None else seen
    if id(value) in seen or isinstance(value, type):
        return seen
    if isinstance(value, (list, dict)) or hasattr(value, "__dict__"):
        seen[id(value)] = value
    if isinstance(value, list):
        for item in value:
            mutable_parts(item, seen)
    elif isinstance(value, dict):
        for item in value.values():
            mutable_parts(item, seen)
    elif hasattr(value, "__dict__"):
        for item in vars(value).values():
            mutable_parts(item, seen)
    return seen


# --- value classes ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_equal_when_fields_equal(name):
    a, b = SAMPLES[name](), SAMPLES[name]()
    assert a is not b
    assert a == b
    assert not (a != b)


@pytest.mark.parametrize("name, field", FIELD_CASES)
def test_one_differing_field_makes_unequal(name, field):
    a, b = SAMPLES[name](), SAMPLES[name]()
    setattr(b, field, "something else")
    assert a != b
    assert not (a == b)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_not_equal_to_other_types(name):
    value = SAMPLES[name]()
    assert value != object()
    assert value != None  # noqa: E711
    other = next(SAMPLES[n]() for n in CLASS_NAMES if n != name)
    assert value != other


@pytest.mark.parametrize("name, field", FIELD_CASES)
def test_repr_shows_every_field(name, field):
    value = SAMPLES[name]()
    text = repr(value)
    assert text.startswith(name + "(")
    assert f"{field}={getattr(value, field)!r}" in text


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_shallow_copy(name):
    value = SAMPLES[name]()
    clone = copy.copy(value)
    assert clone is not value
    assert type(clone) is type(value)
    assert clone == value
    setattr(clone, FIELDS[name][0], "changed")
    assert value == SAMPLES[name]()


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_deep_copy_shares_nothing_mutable(name):
    value = SAMPLES[name]()
    clone = copy.deepcopy(value)
    assert type(clone) is type(value)
    assert clone == value
    shared = set(mutable_parts(value)) & set(mutable_parts(clone))
    assert not shared


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", CLASS_NAMES)
def test_pickle_round_trip(name, protocol):
    value = SAMPLES[name]()
    clone = pickle.loads(pickle.dumps(value, protocol=protocol))
    assert type(clone) is type(value)
    assert clone == value


@pytest.mark.parametrize("name", CLASS_NAMES)
@pytest.mark.parametrize(
    "duplicate",
    [copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v))],
    ids=["copy", "deepcopy", "pickle"],
)
def test_copies_keep_a_subclass(name, duplicate):
    base = type(SAMPLES[name]())
    derived = type("Derived" + name, (base,), {})
    globals()[derived.__name__] = derived  # pickle finds classes by module-level name
    value = derived.__new__(derived)
    value.__dict__.update(vars(SAMPLES[name]()))
    if isinstance(value, Exception):
        value.args = (value.message,)
    try:
        clone = duplicate(value)
    finally:
        del globals()[derived.__name__]
    assert type(clone) is derived
    assert vars(clone) == vars(value)


@pytest.mark.parametrize(
    "make, expected",
    [
        (
            Op,
            dict(
                gate=None,
                params=None,
                qbits=None,
                type=OpType.GATETYPE,
                cbits=None,
                formula=None,
                remap=None,
            ),
        ),
        (Circuit, dict(ops=[], name=None, nbqbits=0, nbcbits=0, gateDic={})),
        (
            GateDefinition,
            dict(
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
            ),
        ),
        (GSyntax, dict(name=None, parameters=[])),
        (
            Param,
            dict(
                type=None,
                is_abstract=False,
                int_p=None,
                double_p=None,
                string_p=None,
                matrix_p=None,
            ),
        ),
        (Matrix, dict(nRows=0, nCols=0, data=None)),
        (ComplexNumber, dict(re=0.0, im=0.0)),
        (Topology, dict(type=TopologyType.ALL_TO_ALL, graph=None)),
        (HardwareSpecs, dict(nbqbits=None, topology=Topology(), description=None)),
        (Sample, dict(state=None, probability=None, amplitude=None)),
        (
            PluginException,
            dict(message=None, code=None, modulename=None, file=None, line=None),
        ),
    ],
    ids=lambda v: getattr(v, "__name__", ""),
)
def test_defaults(make, expected):
    value = make()
    assert {field: getattr(value, field) for field in expected} == expected


@pytest.mark.parametrize(
    "make, field",
    [
        (Circuit, "ops"),
        (Circuit, "gateDic"),
        (GSyntax, "parameters"),
        (HardwareSpecs, "topology"),
    ],
)
def test_default_containers_are_new_per_instance(make, field):
    a, b = make(), make()
    assert getattr(a, field) is not getattr(b, field)


def test_given_containers_are_kept():
    ops = [Op(gate="H", qbits=[0])]
    assert Circuit(ops=ops).ops is ops


def test_constants():
    assert (
        OpType.GATETYPE,
        OpType.MEASURE,
        OpType.RESET,
        OpType.CLASSIC,
        OpType.CLASSICCTRL,
        OpType.BREAK,
        OpType.REMAP,
    ) == tuple(range(7))
    assert (ParamType.INT, ParamType.DOUBLE, ParamType.STRING, ParamType.MATRIX) == (0, 1, 2, 3)
    assert (TopologyType.ALL_TO_ALL, TopologyType.LNN, TopologyType.CUSTOM) == (0, 1, 2)
    assert (
        ErrorType.INVALID_ARGS,
        ErrorType.ABORT,
        ErrorType.NOT_IMPLEMENTED,
        ErrorType.ILLEGAL_ARGUMENT,
    ) == (0, 1, 2, 3)
    assert (CoreHardwareSpecs, CoreTopology, CoreTopologyType) == (
        HardwareSpecs,
        Topology,
        TopologyType,
    )


# --- deep copies of operations and circuits --------------------------------------------------


def test_op_deep_copy_is_independent():
    shared = [0.5]
    op = Op(gate="RX", params=[shared, {"k": [1]}], qbits=[3, 4], cbits=[0], remap=[1, 0])
    clone = copy.deepcopy(op)
    clone.qbits.append(9)
    clone.qbits[0] = 7
    clone.remap.reverse()
    clone.cbits.clear()
    clone.params[0].append(1.0)
    clone.params[1]["k"].append(2)
    clone.gate = "RY"
    assert op == Op(gate="RX", params=[[0.5], {"k": [1]}], qbits=[3, 4], cbits=[0], remap=[1, 0])


def test_op_deep_copy_copies_nested_qbit_containers():
    # qbits normally holds ints; a nested mutable element must still not be shared.
    inner = [1, 2]
    clone = copy.deepcopy(Op(gate="X", qbits=[inner, 3]))
    assert clone.qbits == [[1, 2], 3]
    assert clone.qbits[0] is not inner


def test_op_deep_copy_keeps_shared_structure_within_the_op():
    # One object reachable twice from one op stays one object in the copy, as with the
    # generic deep copy.
    matrix = sample_matrix()
    op = Op(gate="U", params=[matrix, matrix])
    clone = copy.deepcopy(op)
    assert clone.params[0] is clone.params[1]
    assert clone.params[0] is not matrix


def test_op_deep_copy_with_extra_or_missing_attributes():
    op = Op(gate="H", qbits=[0])
    op.extra = [1]
    clone = copy.deepcopy(op)
    assert clone.extra == [1] and clone.extra is not op.extra
    assert clone == op
    del op.formula
    clone = copy.deepcopy(op)
    assert not hasattr(clone, "formula")
    assert vars(clone) == vars(op)


def test_circuit_deep_copy_is_independent():
    circuit = sample_circuit()
    clone = copy.deepcopy(circuit)
    clone.ops[0].qbits[0] = 5
    clone.ops[1].params[0] = 0.75
    clone.ops.append(Op(gate="X", qbits=[1]))
    del clone.ops[2]
    clone.gateDic["H"].arity = 7
    clone.gateDic["SWAP"] = GateDefinition(name="SWAP")
    clone.nbqbits = 9
    assert circuit == sample_circuit()


def test_circuit_deep_copy_keeps_repeated_ops_and_shared_params():
    op = Op(gate="H", qbits=[0])
    variable_params = [Variable("a")]
    second = Op(gate="RZ", params=variable_params, qbits=[1])
    third = Op(gate="RZ", params=variable_params, qbits=[0])
    circuit = Circuit(ops=[op, second, op, third], nbqbits=2)
    clone = copy.deepcopy(circuit)
    assert clone == circuit
    assert clone.ops[0] is clone.ops[2]
    assert clone.ops[0] is not op
    assert clone.ops[1].params is clone.ops[3].params
    assert clone.ops[1].params is not variable_params


def test_circuit_deep_copy_of_foreign_ops():
    class Marker:
        def __init__(self):
            self.data = [1]

    marker = Marker()
    circuit = Circuit(ops=[Op(gate="H", qbits=[0]), marker])
    clone = copy.deepcopy(circuit)
    assert isinstance(clone.ops[1], Marker)
    assert clone.ops[1] is not marker and clone.ops[1].data == [1]


def test_object_inside_a_circuit_deep_copy_keeps_its_identity():
    # The memo is shared: a container holding both the circuit and one of its ops keeps the
    # relation in the copy.
    circuit = sample_circuit()
    clone_circuit, clone_op = copy.deepcopy([circuit, circuit.ops[2]])
    assert clone_op is clone_circuit.ops[2]


# --- errors and assertions -------------------------------------------------------------------


def test_plugin_exception():
    error = PluginException(message="boom", code=ErrorType.ABORT, modulename="couplize")
    assert isinstance(error, Exception)
    assert str(error) == "boom"
    assert (error.message, error.code, error.modulename, error.file, error.line) == (
        "boom",
        ErrorType.ABORT,
        "couplize",
        None,
        None,
    )
    with pytest.raises(PluginException, match="^boom$"):
        raise error


def test_plugin_exception_pickle_after_raise():
    try:
        raise PluginException(message="lost", code=ErrorType.INVALID_ARGS, line=3)
    except PluginException as error:
        clone = pickle.loads(pickle.dumps(error))
    assert clone == PluginException(message="lost", code=ErrorType.INVALID_ARGS, line=3)
    assert str(clone) == "lost"


def test_plugin_exception_without_message():
    assert str(PluginException()) == "None"
    assert str(PluginException(code=1)) == "None"


@pytest.mark.parametrize("condition", [True, 1, [0], "x"])
def test_assert_plugin_passes(condition):
    assert assert_plugin(condition, "never shown") is None


@pytest.mark.parametrize("condition", [False, 0, [], "", None])
def test_assert_plugin_raises(condition):
    with pytest.raises(PluginException) as info:
        assert_plugin(condition, "nbqbits must be positive")
    assert str(info.value) == "nbqbits must be positive"
    assert info.value.message == "nbqbits must be positive"
    assert info.value.code == ErrorType.INVALID_ARGS


# --- framework classes -----------------------------------------------------------------------


def test_batch_and_job_defaults():
    a, b = Batch(), Batch()
    assert a.jobs == [] and a.jobs is not b.jobs
    assert a.meta_data is None
    job = Job()
    assert (job.circuit, job.qubits, job.observable, job.nbshots) == (None, None, None, None)
    job = Job(circuit=sample_circuit(), qubits=[0, 1], nbshots=10)
    assert Batch(jobs=[job], meta_data={"k": "v"}).jobs == [job]


def test_batch_deep_copy_and_pickle():
    observable = Observable(2, pauli_terms=[Term(1.0, "ZZ", [0, 1])], constant_coeff=0.5)
    batch = Batch(
        jobs=[Job(circuit=sample_circuit(), qubits=[1], observable=observable)],
        meta_data={"a": "b"},
    )
    for clone in (copy.deepcopy(batch), pickle.loads(pickle.dumps(batch))):
        assert clone.jobs[0].circuit == batch.jobs[0].circuit
        assert clone.jobs[0].observable == observable
        assert clone.meta_data == {"a": "b"}
        clone.jobs[0].qubits.append(5)
        clone.jobs[0].observable.terms[0].qbits[0] = 3
        clone.meta_data["c"] = "d"
    assert batch.jobs[0].qubits == [1]
    assert observable.terms[0].qbits == [0, 1]
    assert batch.meta_data == {"a": "b"}
    assert "Batch(jobs=[Job(" in repr(batch)


def test_term_to_term_is_independent():
    term = Term(0.5, "XZ", [2, 0])
    copy_term = term.to_term()
    assert copy_term == term and copy_term is not term
    copy_term.qbits[0] = 7
    copy_term.qbits.append(1)
    assert term.qbits == [2, 0]
    assert Term(0.5, "XZ", [2, 0]) != Term(0.5, "XZ", [0, 2])


def test_term_copies_its_qubit_list():
    qbits = [0, 1]
    term = Term(1.0, "ZZ", qbits)
    qbits.append(2)
    assert term.qbits == [0, 1]


def test_observable():
    terms = [Term(1.0, "ZZ", [0, 1])]
    observable = Observable(3, pauli_terms=terms)
    assert observable.nbqbits == 3
    assert observable.constant_coeff == 0.0
    assert observable.terms == terms and observable.terms is not terms
    observable.add_term(Term(-0.5, "X", [2]))
    assert len(terms) == 1
    assert [t.op for t in observable.terms] == ["ZZ", "X"]
    assert Observable(2).terms == [] and Observable(2).terms is not Observable(2).terms
    observable.nbqbits = 4
    observable.constant_coeff = 1.5
    assert observable != Observable(3, pauli_terms=terms)
    assert "Observable(4" in repr(observable)


def test_observable_terms_give_terms():
    observable = Observable(2, pauli_terms=[Term(2.0, "YY", [1, 0])])
    term = observable.terms[0].to_term()
    term.qbits = [0, 1]
    assert observable.terms[0].qbits == [1, 0]


# --- plugin bases ----------------------------------------------------------------------------


def test_offloaded_plugin_is_only_a_marker():
    assert not issubclass(OffloadedPlugin, AbstractPlugin)

    class Plugin(AbstractPlugin, OffloadedPlugin):
        def __init__(self):
            super().__init__()

    plugin = Plugin()
    assert isinstance(plugin, AbstractPlugin) and isinstance(plugin, OffloadedPlugin)
    batch = Batch()
    specs = HardwareSpecs()
    assert plugin.compile(batch, specs) is batch
    assert plugin.get_specs(specs) is specs
    assert plugin.do_post_processing() is False
    results = object()
    assert plugin.post_process(results) is results


# --- helpers -------------------------------------------------------------------------------------


def test_variable():
    theta = Variable("theta")
    assert theta.name == "theta" and theta.var_type is float
    assert theta == Variable("theta")
    assert theta != Variable("theta", int)
    assert theta != Variable("phi")
    assert len({theta, Variable("theta")}) == 1
    assert "theta" in repr(theta)
    assert pickle.loads(pickle.dumps(theta)) == theta
    assert copy.deepcopy(theta) == theta


@pytest.mark.parametrize(
    "matrix, expected",
    [
        (sample_matrix(), np.array([[0, 1], [1, 0]], dtype=complex)),
        (
            Matrix(1, 3, [ComplexNumber(1, 2), ComplexNumber(0, -1), ComplexNumber(3)]),
            np.array([[1 + 2j, -1j, 3]]),
        ),
        (
            Matrix(2, 1, [ComplexNumber(0.5), ComplexNumber(im=0.5)]),
            np.array([[0.5], [0.5j]]),
        ),
        (Matrix(), np.zeros((0, 0), dtype=complex)),
    ],
    ids=["pauli-x", "row", "column", "empty"],
)
def test_circ_to_np(matrix, expected):
    result = circ_to_np(matrix)
    assert result.dtype == np.complex128
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)


def test_circ_to_np_rejects_a_wrong_size():
    with pytest.raises(ValueError):
        circ_to_np(Matrix(2, 2, [ComplexNumber(1.0)]))
