"""Symbolic circuit parameters."""


class Variable:
    def __init__(self, name, var_type=float):
        self.name = name
        self.var_type = var_type

    def __eq__(self, other):
        return isinstance(other, Variable) and (self.name, self.var_type) == (
            other.name,
            other.var_type,
        )

    def __hash__(self):
        return hash((self.name, self.var_type))

    def __repr__(self):
        return f"Variable({self.name!r})"
