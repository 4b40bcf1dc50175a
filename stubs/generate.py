"""Type stubs (.pyi) of the extension modules, written by nanobind's stub generator.

The build runs this script on the freshly built modules and installs its output beside them;
the copies committed next to this script are checked against the installed modules by the test
suite (tests/test_stubs.py). After changing a binding's signature or docstring, reinstall the
package and refresh the committed copies with:

    python stubs/generate.py --out stubs
"""

import argparse
import difflib
import sys
import tempfile
from pathlib import Path

MODULES = ("swapcore", "lookahead", "bestfirst")
PACKAGE = "mirel.couplize"
COMMITTED = Path(__file__).resolve().parent
REFRESH = "python stubs/generate.py --out stubs"


def generate() -> dict[str, str]:
    """Stub text of each extension module, as imported from the current sys.path."""
    from nanobind import stubgen

    with tempfile.TemporaryDirectory() as out:
        args = ["-q", "-O", out]
        for name in MODULES:
            args += ["-m", f"{PACKAGE}.{name}"]
        stubgen.main(args)
        return {name: (Path(out) / f"{name}.pyi").read_text(encoding="utf-8") for name in MODULES}


def differences(stubs: dict[str, str], folder: Path) -> str:
    """A unified diff of `folder`'s stubs against `stubs`; empty when they are equal."""
    diff = []
    for name, text in stubs.items():
        path = folder / f"{name}.pyi"
        old = path.read_text(encoding="utf-8") if path.exists() else ""
        diff += difflib.unified_diff(
            old.splitlines(keepends=True),
            text.splitlines(keepends=True),
            fromfile=str(path),
            tofile=f"{PACKAGE}.{name} (generated)",
        )
    return "".join(diff)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", help="directory put first on sys.path to import mirel from")
    parser.add_argument("--out", help="write the stubs into this directory")
    parser.add_argument("--check", help="compare the stubs in this directory instead")
    options = parser.parse_args(argv)
    if options.path:
        sys.path.insert(0, options.path)
    stubs = generate()
    if options.check:
        diff = differences(stubs, Path(options.check))
        if diff:
            sys.stdout.write(diff)
            print(f"stubs differ from the modules; refresh them with: {REFRESH}")
            return 1
        return 0
    if not options.out:
        parser.error("give --out or --check")
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    for name, text in stubs.items():
        (out / f"{name}.pyi").write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
