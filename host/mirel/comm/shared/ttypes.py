"""Execution results."""

from mirel.comm.record import Record


class Sample(Record):
    _fields = ("state", "probability", "amplitude")

    def __init__(self, state=None, probability=None, amplitude=None):
        self.state = state
        self.probability = probability
        self.amplitude = amplitude
