"""The type stubs of the extension modules: the committed copies and the installed ones are
those the installed modules generate, the same whatever the hash seed, and valid Python in which
every argument and result has a type."""

import ast
import importlib.util
import os
import re
import subprocess
import sys
import typing
from pathlib import Path

import pytest

from mirel.couplize import bestfirst, lookahead, swapcore

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "stubs" / "generate.py"


def load_generator():
    spec = importlib.util.spec_from_file_location("couplize_stub_generator", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


generator = load_generator()


@pytest.fixture(scope="module")
def stubs():
    return generator.generate()


def test_committed_stubs_are_current(stubs):
    diff = generator.differences(stubs, generator.COMMITTED)
    assert not diff, (
        "the committed stubs differ from the installed modules; after reinstalling, refresh "
        f"them with: {generator.REFRESH}\n{diff}"
    )


@pytest.mark.parametrize("module", [swapcore, lookahead, bestfirst], ids=lambda m: m.__name__)
def test_installed_stub_sits_beside_its_module(module, stubs):
    name = module.__name__.rsplit(".", 1)[1]
    installed = Path(module.__file__).with_name(f"{name}.pyi")
    assert installed.read_text(encoding="utf-8") == stubs[name]
    # The marker sits at the top of the package, so that the host types the stubs name
    # (Circuit, Op) are typed too.
    assert Path(module.__file__).parents[1].joinpath("py.typed").exists()


def test_stubs_do_not_depend_on_the_hash_seed():
    # Another interpreter, with other set and dict orders of strings, checks the committed copies.
    env = dict(os.environ, PYTHONHASHSEED="12345")
    result = subprocess.run(
        [sys.executable, str(SCRIPT), "--check", str(generator.COMMITTED)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# An argument or result typed `object` is what nanobind writes for an nb::handle parameter
# without a declared signature.
UNTYPED = re.compile(r"(:\s*object\b|->\s*object\b)")


@pytest.mark.parametrize("name", generator.MODULES)
def test_stub_is_valid_python_with_every_signature_typed(name, stubs):
    tree = ast.parse(stubs[name], filename=f"{name}.pyi")
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef):
            arguments = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
            untyped = [a.arg for a in arguments if a.annotation is None and a.arg != "self"]
            assert untyped == [], f"{node.name}: arguments without a type: {untyped}"
            assert node.returns is not None, f"{node.name}: no result type"
    assert UNTYPED.findall(stubs[name]) == []


def stub_functions(namespace):
    """The functions a run stub defined: module functions, methods, property getters and setters."""
    found = []
    for value in namespace.values():
        members = vars(value).values() if isinstance(value, type) else [value]
        for member in members:
            for f in (member, getattr(member, "fget", None), getattr(member, "fset", None)):
                if getattr(f, "__module__", None) == namespace["__name__"] and callable(f):
                    if not isinstance(f, type):
                        found.append(f)
    return found


@pytest.mark.parametrize("name", generator.MODULES)
def test_every_name_in_a_stub_resolves(name, stubs):
    # A stub runs as Python once its annotations are postponed; resolving them then finds any
    # type a signature names but nothing defines or imports (a typo in an nb::sig string).
    namespace = {"__name__": f"stub_of_{name}"}
    code = compile("from __future__ import annotations\n" + stubs[name], f"{name}.pyi", "exec")
    exec(code, namespace)
    functions = stub_functions(namespace)
    assert functions
    for function in functions:
        typing.get_type_hints(function, globalns=namespace)
