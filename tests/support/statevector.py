"""A small statevector simulator for checking that compiled circuits measure like the input.

Bit k of a basis-state index holds qubit k. Gate matrices are written in the basis |q0 q1 ...>
of the operation's qubits, q0 the most significant.
"""

import numpy as np

_X = np.array([[0, 1], [1, 0]])
MATRICES = {
    "H": np.array([[1, 1], [1, -1]]) / np.sqrt(2),
    "X": _X,
    "T": np.diag([1, np.exp(1j * np.pi / 4)]),
    "RY": np.array([[np.cos(0.4), -np.sin(0.4)], [np.sin(0.4), np.cos(0.4)]]),
    "CNOT": np.kron(np.diag([1, 0]), np.eye(2)) + np.kron(np.diag([0, 1]), _X),
    "CZ": np.diag([1, 1, 1, -1]),
    "SWAP": np.eye(4)[[0, 2, 1, 3]],
    "CCNOT": np.kron(np.diag([1, 1, 1, 0]), np.eye(2)) + np.kron(np.diag([0, 0, 0, 1]), _X),
}


def run(circuit, nbqbits, state=None, matrices=MATRICES):
    """Final state (2**nbqbits amplitudes) of `circuit` applied to `state` (|0...0> by
    default). A REMAP moves the state on qbits[i] to qbits[remap[i]]."""
    if state is None:
        state = np.eye(2**nbqbits)[0]
    tensor = np.asarray(state, dtype=complex).reshape((2,) * nbqbits)
    for op in circuit.ops:
        axes = [nbqbits - 1 - q for q in op.qbits]
        if op.remap is not None:
            order = list(range(nbqbits))
            for i, axis in enumerate(axes):
                order[axes[op.remap[i]]] = axis
            tensor = tensor.transpose(order)
            continue
        k = len(axes)
        gate = np.asarray(matrices[op.gate], dtype=complex).reshape((2,) * (2 * k))
        tensor = np.tensordot(gate, tensor, axes=(list(range(k, 2 * k)), axes))
        tensor = np.moveaxis(tensor, list(range(k)), axes)
    return tensor.reshape(-1)


def probabilities(circuit, nbqbits):
    return np.abs(run(circuit, nbqbits)) ** 2


def marginal(probs, qubits):
    """Distribution of the bits of `qubits`, in that order (bit i of an index = qubits[i])."""
    result = np.zeros(2 ** len(qubits))
    for state, p in enumerate(probs):
        result[sum(((state >> q) & 1) << i for i, q in enumerate(qubits))] += p
    return result


def z_expectation(probs, observable):
    """Expectation of an observable made of Z and I Pauli terms."""
    total = observable.constant_coeff
    for term in observable.terms:
        zs = [q for q, pauli in zip(term.qbits, term.op, strict=True) if pauli == "Z"]
        signs = [(-1) ** sum((s >> q) & 1 for q in zs) for s in range(len(probs))]
        total += term.coeff * float(np.dot(probs, signs))
    return total
