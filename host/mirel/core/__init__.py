"""Framework objects handed to plugins: batches, jobs and observables."""

from mirel.comm.hardware.ttypes import HardwareSpecs, Topology, TopologyType

__all__ = ["Batch", "Job", "Term", "Observable", "HardwareSpecs", "Topology", "TopologyType"]


class Batch:
    def __init__(self, jobs=None, meta_data=None):
        self.jobs = [] if jobs is None else jobs
        self.meta_data = meta_data

    def __repr__(self):
        return f"Batch(jobs={self.jobs!r}, meta_data={self.meta_data!r})"


class Job:
    def __init__(self, circuit=None, qubits=None, observable=None, nbshots=None):
        self.circuit = circuit
        self.qubits = qubits
        self.observable = observable
        self.nbshots = nbshots

    def __repr__(self):
        return (
            f"Job(circuit={self.circuit!r}, qubits={self.qubits!r}, "
            f"observable={self.observable!r}, nbshots={self.nbshots!r})"
        )


class Term:
    """One Pauli product `coeff * op` acting on `qbits`."""

    def __init__(self, coeff, op, qbits):
        self.coeff = coeff
        self.op = op
        self.qbits = list(qbits)

    def to_term(self):
        return Term(self.coeff, self.op, list(self.qbits))

    def __eq__(self, other):
        return (
            isinstance(other, Term)
            and self.coeff == other.coeff
            and self.op == other.op
            and self.qbits == other.qbits
        )

    __hash__ = None

    def __repr__(self):
        return f"Term({self.coeff!r}, {self.op!r}, {self.qbits!r})"


class Observable:
    """Sum of Pauli terms plus a constant."""

    def __init__(self, nbqbits, pauli_terms=None, constant_coeff=0.0):
        self.nbqbits = nbqbits
        self.terms = [] if pauli_terms is None else list(pauli_terms)
        self.constant_coeff = constant_coeff

    def add_term(self, term):
        self.terms.append(term)

    def __eq__(self, other):
        return (
            isinstance(other, Observable)
            and self.nbqbits == other.nbqbits
            and self.terms == other.terms
            and self.constant_coeff == other.constant_coeff
        )

    __hash__ = None

    def __repr__(self):
        return (
            f"Observable({self.nbqbits!r}, pauli_terms={self.terms!r}, "
            f"constant_coeff={self.constant_coeff!r})"
        )
