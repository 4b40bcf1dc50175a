"""Conversion between host circuits, Qiskit `QuantumCircuit`s and OpenQASM 2 / 3 text.

Parsing and printing are Qiskit's own (`qiskit.qasm2`, `qiskit.qasm3`); this module only maps
operations. Qiskit is an optional extra: importing this module works without it, and the first
conversion then raises an ImportError naming the extra to install.

Mapping, both ways:

- Standard gates by name: the host name is Qiskit's name in capitals, except `cx` <-> CNOT and
  `ccx` <-> CCNOT (the host's own names); parameters are a list of floats (None without any).
- `measure` <-> an operation of type MEASURE with `qbits=[q]` and `cbits=[c]`; `reset` <-> one
  of type RESET. Their gate name is None.
- `barrier` is dropped on the way in: it constrains no gate and the routing engines take
  gates of one and two qubits only. A circuit's global phase is dropped as well (it changes no
  measurement).
- Gates outside the standard set that carry a definition (a QASM `gate` block, a library
  circuit) are replaced by their definition, recursively; a gate without one is an error.

Qubits and classical bits are numbered across registers in declaration order. A circuit made
by `to_qiskit` has one quantum register `q` and, unless registers are given, one classical
register `c`.
"""

import math
import re

from mirel.comm.datamodel.ttypes import Circuit, Op, OpType

_TO_HOST = {"cx": "CNOT", "ccx": "CCNOT"}
_FROM_HOST = {host: name for name, host in _TO_HOST.items()}
# Standard operations that are not gates of a routed circuit.
_NOT_GATES = {"measure", "reset", "barrier", "delay", "global_phase"}
# Nesting bound for definitions that refer to other custom gates (a cycle cannot be built by
# the parsers, but a hand-made circuit can nest deeply).
_MAX_DEFINITION_DEPTH = 64


def require_qiskit():
    """ImportError naming the extra to install when Qiskit is missing."""
    try:
        import qiskit  # noqa: F401
    except ImportError:
        raise ImportError(
            "this conversion needs Qiskit: install the extra with "
            "pip install 'mirel-couplize[qiskit]'"
        ) from None


def _standard_gates():
    from qiskit.circuit.library import get_standard_gate_name_mapping

    return {n: g for n, g in get_standard_gate_name_mapping().items() if n not in _NOT_GATES}


def host_name(qiskit_name):
    """The host gate name of a Qiskit standard gate name."""
    return _TO_HOST.get(qiskit_name, qiskit_name.upper())


def qiskit_name(host):
    """The Qiskit standard gate name of a host gate name."""
    return _FROM_HOST.get(host, host.lower())


# --- Qiskit -> host --------------------------------------------------------------------------


def from_qiskit(circuit):
    """A host `Circuit` holding the operations of a Qiskit `QuantumCircuit` (see the module
    notes for the mapping). Raises ValueError on an operation that has no host form."""
    require_qiskit()
    from qiskit import QuantumCircuit

    if not isinstance(circuit, QuantumCircuit):
        raise TypeError(f"expected a qiskit QuantumCircuit, got {type(circuit).__name__}")
    standard = _standard_gates()
    qubit_index = {bit: i for i, bit in enumerate(circuit.qubits)}
    clbit_index = {bit: i for i, bit in enumerate(circuit.clbits)}
    ops = []
    for position, instruction in enumerate(circuit.data):
        qubits = [qubit_index[q] for q in instruction.qubits]
        clbits = [clbit_index[c] for c in instruction.clbits]
        _append_instruction(
            ops, instruction.operation, qubits, clbits, standard, f"operation {position}", 0
        )
    return Circuit(
        ops=ops, nbqbits=circuit.num_qubits, nbcbits=circuit.num_clbits, name=circuit.name
    )


def _append_instruction(ops, operation, qubits, clbits, standard, where, depth):
    from qiskit.circuit import ControlFlowOp

    name = operation.name
    if isinstance(operation, ControlFlowOp):
        raise ValueError(f"{where}: control flow ('{name}') is not supported")
    if name == "barrier" or name == "global_phase":
        return
    if name == "measure":
        ops.append(Op(qbits=list(qubits), cbits=list(clbits), type=OpType.MEASURE))
        return
    if name == "reset":
        ops.append(Op(qbits=list(qubits), type=OpType.RESET))
        return
    if clbits:
        raise ValueError(f"{where}: '{name}' writes classical bits, which is not supported")
    gate = standard.get(name)
    if (
        gate is not None
        and gate.num_qubits == len(qubits)
        and len(gate.params) == len(operation.params)
    ):
        params = [_number(p, name, where) for p in operation.params] or None
        ops.append(Op(gate=host_name(name), params=params, qbits=list(qubits)))
        return
    definition = getattr(operation, "definition", None)
    if definition is None:
        raise ValueError(f"{where}: unknown gate '{name}' (not a standard gate, no definition)")
    if depth >= _MAX_DEFINITION_DEPTH:
        raise ValueError(f"{where}: gate definitions of '{name}' nest too deeply")
    inner_qubits = {bit: qubits[i] for i, bit in enumerate(definition.qubits)}
    inner_clbits = {bit: clbits[i] for i, bit in enumerate(definition.clbits)}
    for inner in definition.data:
        _append_instruction(
            ops,
            inner.operation,
            [inner_qubits[q] for q in inner.qubits],
            [inner_clbits[c] for c in inner.clbits],
            standard,
            f"{where} (in '{name}')",
            depth + 1,
        )


def _number(value, gate, where):
    try:
        number = float(value)
    except TypeError:
        raise ValueError(f"{where}: gate '{gate}' has an unbound parameter {value}") from None
    if not math.isfinite(number):
        raise ValueError(f"{where}: gate '{gate}' has a non-finite parameter {number}")
    return number


# --- host -> Qiskit --------------------------------------------------------------------------


def to_qiskit(circuit, classical_registers=None, nbqbits=None):
    """A Qiskit `QuantumCircuit` with the operations of a host `Circuit`.

    `classical_registers`, if given, is a list of Qiskit `ClassicalRegister`s that replace the
    single register `c` (their sizes must add up to at least the bits used). `nbqbits` widens
    the quantum register beyond `circuit.nbqbits`. The circuit must hold no REMAP (take the
    permutations out first); raises ValueError on an operation without a Qiskit form.
    """
    require_qiskit()
    from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister

    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a host Circuit, got {type(circuit).__name__}")
    standard = _standard_gates()
    width = max(circuit.nbqbits or 0, nbqbits or 0)
    nbcbits = circuit.nbcbits or 0
    for op in circuit.ops:
        for c in op.cbits or ():
            nbcbits = max(nbcbits, c + 1) if isinstance(c, int) and c >= 0 else nbcbits
    registers = [QuantumRegister(width, "q")]
    if classical_registers is not None:
        registers += list(classical_registers)
        available = sum(len(r) for r in classical_registers)
        if available < nbcbits:
            raise ValueError(
                f"the circuit uses {nbcbits} classical bits, registers hold {available}"
            )
    elif nbcbits:
        registers.append(ClassicalRegister(nbcbits, "c"))
    result = QuantumCircuit(*registers, name=circuit.name or None)
    for index, op in enumerate(circuit.ops):
        qubits = _indices(op.qbits, width, "qubit", index)
        if op.type == OpType.MEASURE:
            clbits = _indices(op.cbits, result.num_clbits, "classical bit", index)
            if len(qubits) != len(clbits) or not qubits:
                raise ValueError(f"operation {index}: a measurement pairs each qubit with a bit")
            result.measure(qubits, clbits)
        elif op.type == OpType.RESET:
            for q in qubits:
                result.reset(q)
        elif op.type == OpType.GATETYPE:
            result.append(_qiskit_gate(op, standard, index, len(qubits)), qubits)
        elif op.type == OpType.REMAP:
            raise ValueError(f"operation {index}: a REMAP has no Qiskit form; take it out first")
        else:
            raise ValueError(f"operation {index}: operations of type {op.type} are not supported")
    return result


def _qiskit_gate(op, standard, index, arity):
    if not isinstance(op.gate, str):
        raise ValueError(f"operation {index}: a gate needs a name, got {op.gate!r}")
    name = qiskit_name(op.gate)
    gate = standard.get(name)
    if gate is None:
        raise ValueError(f"operation {index}: unknown gate '{op.gate}'")
    params = list(op.params or ())
    if len(params) != len(gate.params) or arity != gate.num_qubits:
        raise ValueError(
            f"operation {index}: gate '{op.gate}' takes {gate.num_qubits} qubit(s) and "
            f"{len(gate.params)} parameter(s), got {arity} and {len(params)}"
        )
    return gate.base_class(*[_number(p, op.gate, f"operation {index}") for p in params])


def _indices(values, bound, what, index):
    values = list(values or ())
    for v in values:
        if isinstance(v, bool) or not isinstance(v, int) or not 0 <= v < bound:
            raise ValueError(f"operation {index}: {what} {v!r} is outside 0..{bound - 1}")
    if len(set(values)) != len(values):
        raise ValueError(f"operation {index}: repeated {what} in {values}")
    return values


# --- OpenQASM ---------------------------------------------------------------------------------

_VERSION = re.compile(r"\s*OPENQASM\s+(\d+)(?:\.\d+)?\s*;")
_COMMENTS = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def qasm_version(text):
    """The major version declared by an OpenQASM program (2 when it declares none)."""
    match = _VERSION.match(_COMMENTS.sub("", text))
    return int(match.group(1)) if match else 2


def qiskit_from_qasm(text):
    """Parse OpenQASM 2 or 3 text into a Qiskit circuit. OpenQASM 2 accepts Qiskit's
    extensions of qelib1.inc (sx, rxx, ...). Raises ValueError with the parser's message."""
    require_qiskit()
    if not isinstance(text, str):
        raise TypeError(f"OpenQASM text must be a str, got {type(text).__name__}")
    version = qasm_version(text)
    if version == 2:
        from qiskit import qasm2

        try:
            return qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
        except qasm2.QASM2ParseError as exc:
            raise ValueError(f"OpenQASM 2 parse error: {_one_line(exc)}") from None
    if version == 3:
        from qiskit import qasm3

        try:
            return qasm3.loads(text)
        except Exception as exc:  # the importer raises several types for bad programs
            raise ValueError(f"OpenQASM 3 parse error: {_one_line(exc)}") from None
    raise ValueError(f"OpenQASM version {version} is not supported (2 or 3)")


def from_qasm(text):
    """A host `Circuit` from OpenQASM 2 or 3 text."""
    return from_qiskit(qiskit_from_qasm(text))


def to_qasm(circuit, version=2, classical_registers=None, nbqbits=None):
    """OpenQASM text of a host `Circuit` (version 2 with qelib1.inc, or 3)."""
    qc = to_qiskit(circuit, classical_registers=classical_registers, nbqbits=nbqbits)
    return qasm_text(qc, version)


def qasm_text(qc, version=2):
    if version == 2:
        from qiskit import qasm2

        return qasm2.dumps(qc)
    if version == 3:
        from qiskit import qasm3

        return qasm3.dumps(qc)
    raise ValueError(f"OpenQASM version {version} is not supported (2 or 3)")


def _one_line(exc):
    return " ".join(str(exc).split())
