"""The examples in the extension modules' docstrings run and show what they print, and every
public class, function and method has one."""

import doctest

import pytest

from mirel.couplize import bestfirst, lookahead, swapcore

MODULES = [swapcore, lookahead, bestfirst]


def own_members(module):
    """(name, object) of the classes and functions the module defines (not its re-exports)."""
    for name, value in vars(module).items():
        if name.startswith("_") or type(value).__name__ not in ("nb_type", "nb_func"):
            continue
        if getattr(value, "__module__", None) in (module.__name__, None):
            yield name, value


def docstrings(module):
    """(qualified name, docstring) of every documented object of the module, its classes'
    methods and properties included."""
    for name, value in own_members(module):
        yield name, value.__doc__
        if isinstance(value, type):
            for member, attribute in vars(value).items():
                doc = getattr(attribute, "__doc__", None)
                if isinstance(doc, str):
                    yield f"{name}.{member}", doc


def has_example(doc):
    return bool(doc) and ">>>" in doc


EXAMPLES = [
    pytest.param(module, name, doc, id=f"{module.__name__.rsplit('.', 1)[1]}.{name}")
    for module in MODULES
    for name, doc in docstrings(module)
    if has_example(doc)
]


@pytest.mark.parametrize("module, name, doc", EXAMPLES)
def test_docstring_examples_run(module, name, doc):
    test = doctest.DocTestParser().get_doctest(
        doc, dict(vars(module)), f"{module.__name__}.{name}", module.__file__, 0
    )
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append, clear_globs=True)
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("module", MODULES, ids=lambda module: module.__name__)
def test_every_public_class_function_and_method_has_an_example(module):
    missing = []
    for name, value in own_members(module):
        if not isinstance(value, type):
            if not has_example(value.__doc__):
                missing.append(name)
            continue
        init = vars(value).get("__init__")
        if not has_example(value.__doc__) and not has_example(getattr(init, "__doc__", None)):
            missing.append(name)
        for member, attribute in vars(value).items():
            if member.startswith("_") or isinstance(attribute, property):
                continue
            if not has_example(attribute.__doc__):
                missing.append(f"{name}.{member}")
    assert missing == [], "docstrings without a >>> example: " + ", ".join(missing)
