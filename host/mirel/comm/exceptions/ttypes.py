"""Errors raised by plugins."""


class ErrorType:
    INVALID_ARGS = 0
    ABORT = 1
    NOT_IMPLEMENTED = 2
    ILLEGAL_ARGUMENT = 3


class PluginException(Exception):
    _fields = ("message", "code", "modulename", "file", "line")

    def __init__(self, message=None, code=None, modulename=None, file=None, line=None):
        super().__init__(message)
        self.message = message
        self.code = code
        self.modulename = modulename
        self.file = file
        self.line = line

    def __str__(self):
        return str(self.message)

    def __repr__(self):
        inner = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._fields)
        return f"PluginException({inner})"

    def __eq__(self, other):
        return isinstance(other, PluginException) and all(
            getattr(self, name) == getattr(other, name) for name in self._fields
        )

    __hash__ = Exception.__hash__

    def __reduce__(self):
        return (type(self), tuple(getattr(self, name) for name in self._fields))
