"""Argument checks that report failures as plugin errors."""

from mirel.comm.exceptions.ttypes import ErrorType, PluginException


def assert_plugin(condition, message):
    if not condition:
        raise PluginException(message=message, code=ErrorType.INVALID_ARGS)
