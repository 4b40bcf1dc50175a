"""A small statevector simulator for checking that compiled circuits measure like the input.

Bit k of a basis-state index holds qubit k. Gate matrices are written in the basis |q0 q1 ...>
of the operation's qubits, q0 the most significant.
"""

import numpy as np

_S2 = 1 / np.sqrt(2)
_X = np.array([[0, 1], [1, 0]])
_CNOT = np.block([[np.eye(2), np.zeros((2, 2))], [np.zeros((2, 2)), _X]])

MATRICES = {
    "H": np.array([[_S2, _S2], [_S2, -_S2]]),
    "X": _X,
    "Z": np.diag([1, -1]),
    "S": np.diag([1, 1j]),
    "T": np.diag([1, np.exp(1j * np.pi / 4)]),
    "RY": np.array([[np.cos(0.4), -np.sin(0.4)], [np.sin(0.4), np.cos(0.4)]]),
    "CNOT": _CNOT,
    "CZ": np.diag([1, 1, 1, -1]),
    "SWAP": np.eye(4)[[0, 2, 1, 3]],
    "CCNOT": np.block([[np.eye(6), np.zeros((6, 2))], [np.zeros((2, 6)), _X]]),
}


def run(circuit, nbqbits, state=None, matrices=MATRICES):
    """Final state (a vector of 2**nbqbits amplitudes) of `circuit` applied to `state` (|0...0>
    by default). REMAP operations move the state on qbits[i] to qbits[remap[i]]."""
    if state is None:
        state = np.zeros(2**nbqbits, dtype=complex)
        state[0] = 1
    tensor = np.asarray(state, dtype=complex).reshape((2,) * nbqbits)

    def axis(q):
        return nbqbits - 1 - q

    for op in circuit.ops:
        if op.remap is not None:
            order = list(range(nbqbits))
            for i, q in enumerate(op.qbits):
                order[axis(op.qbits[op.remap[i]])] = axis(q)
            tensor = tensor.transpose(order)
            continue
        k = len(op.qbits)
        gate = np.asarray(matrices[op.gate], dtype=complex).reshape((2,) * (2 * k))
        axes = [axis(q) for q in op.qbits]
        tensor = np.tensordot(gate, tensor, axes=(list(range(k, 2 * k)), axes))
        tensor = np.moveaxis(tensor, list(range(k)), axes)
    return tensor.reshape(-1)


def probabilities(circuit, nbqbits):
    """Probability of each basis state, as a dict over the states with a non-zero one."""
    amplitudes = run(circuit, nbqbits)
    return {s: float(abs(a) ** 2) for s, a in enumerate(amplitudes) if abs(a) ** 2 > 1e-12}


def marginal(distribution, qubits):
    """Distribution of the bits of `qubits`, in that order (bit i of a key = qubits[i])."""
    result = {}
    for state, p in distribution.items():
        key = sum(((state >> q) & 1) << i for i, q in enumerate(qubits))
        result[key] = result.get(key, 0.0) + p
    return result


def expectation(distribution, observable):
    """Expectation of an observable made of Z and I Pauli terms."""
    total = observable.constant_coeff
    for term in observable.terms:
        for state, p in distribution.items():
            paulis = zip(term.qbits, term.op, strict=True)
            parity = sum((state >> q) & 1 for q, pauli in paulis if pauli == "Z")
            total += term.coeff * p * (-1) ** parity
    return total


def assert_close(first, second, tolerance=1e-9):
    """Two sparse distributions agree on every state."""
    for state in set(first) | set(second):
        assert abs(first.get(state, 0.0) - second.get(state, 0.0)) < tolerance, state
