"""Hardware description: qubit count and topology."""

from mirel.comm.record import Record


class TopologyType:
    ALL_TO_ALL = 0
    LNN = 1
    CUSTOM = 2


class Topology(Record):
    _fields = ("type", "graph")

    def __init__(self, type=TopologyType.ALL_TO_ALL, graph=None):
        self.type = type
        self.graph = graph


class HardwareSpecs(Record):
    _fields = ("nbqbits", "topology", "description")

    def __init__(self, nbqbits=None, topology=None, description=None):
        self.nbqbits = nbqbits
        self.topology = Topology() if topology is None else topology
        self.description = description
