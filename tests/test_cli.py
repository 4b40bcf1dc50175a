"""The couplize command: outputs that verify, reports, batches, and one-line failures."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("qiskit")

from mirel.couplize import interop, router, topologies  # noqa: E402
from mirel.couplize.cli import main  # noqa: E402
from mirel.couplize.verification import verify  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

MEASURED = """OPENQASM 2.0;
include "qelib1.inc";
qreg a[3];
qreg b[2];
creg m[2];
creg r[3];
h a[0];
cx a[0], b[1];
cx a[1], b[0];
sx a[2];
cx a[2], b[1];
cx b[0], a[0];
measure a[0] -> r[2];
measure b[1] -> m[0];
measure a[2] -> r[0];
"""


def run(capsys, *args):
    with pytest.raises(SystemExit) as stop:
        main([str(a) for a in args])
    out, err = capsys.readouterr()
    return stop.value.code, out, err


def test_route_writes_a_circuit_that_measures_like_the_input(tmp_path, capsys):
    source = tmp_path / "in.qasm"
    source.write_text(MEASURED)
    out, report, picture = tmp_path / "out.qasm", tmp_path / "r.json", tmp_path / "p.png"
    args = ["route", source, "-t", "line:5", "--seed", 1, "-o", out, "--json", report]
    status, text, err = run(capsys, *args, "--plot", picture)
    assert status == 0, err
    assert "SWAPs added" in text and "verified" in text

    data = json.loads(report.read_text())
    assert data["qubits"] == {"circuit": 5, "topology": 5}
    assert (data["one_qubit_gates"], data["two_qubit_gates"]) == (2, 4)
    assert data["verified"] is True and data["swaps_added"] > 0
    assert data["two_qubit_depth"]["after"] >= data["two_qubit_depth"]["before"]
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # The output keeps the classical registers, and its measurements sit where the
    # permutation left the measured qubits: with the final placement put back it verifies.
    routed_qc = interop.qiskit_from_qasm(out.read_text())
    assert [(r.name, r.size) for r in routed_qc.cregs] == [("m", 2), ("r", 3)]
    original = interop.from_qasm(MEASURED)
    routed = interop.from_qiskit(routed_qc)
    final = data["final_permutation"]
    from mirel.comm.datamodel.ttypes import Op, OpType

    holder = [0] * 5
    for logical, physical in enumerate(final):
        holder[physical] = logical
    routed.ops.append(Op(type=OpType.REMAP, qbits=list(range(5)), remap=holder))
    assert verify(original, routed, topologies.device("line:5")).ok


def test_every_bundled_example_routes_on_heavy_hex(tmp_path, capsys):
    status, text, err = run(capsys, "route", EXAMPLES, "-t", "heavy-hex:5", "-o", tmp_path)
    assert status == 0, err
    names = sorted(p.name for p in EXAMPLES.glob("*.qasm"))
    assert sorted(p.name for p in tmp_path.iterdir()) == names
    assert f"{len(names)} of {len(names)} circuits routed" in text


def test_a_batch_routes_what_it_can_and_writes_nothing_for_a_failure(tmp_path, capsys):
    folder = tmp_path / "in"
    folder.mkdir()
    shutil.copy(EXAMPLES / "ghz_16.qasm", folder / "good.qasm")
    (folder / "bad.qasm").write_text("OPENQASM 2.0;\nqreg q[2];\nnonsense q[0];\n")
    out, report = tmp_path / "out", tmp_path / "all.json"
    status, text, err = run(capsys, "route", folder, "-t", "grid:4x4", "-o", out, "--json", report)
    assert status == 2
    assert err.count("\n") == 1 and "bad.qasm" in err and "Traceback" not in err
    assert [p.name for p in out.iterdir()] == ["good.qasm"]
    assert "1 of 2 circuits routed" in text
    assert [("error" in r) for r in json.loads(report.read_text())] == [True, False]


MID_MEASURE = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[1];\n'
MID_MEASURE += "measure q[0] -> c[0];\nx q[0];\n"
OPAQUE = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nopaque magic a, b;\nqreg q[2];\nmagic q[0], q[1];\n'
WIDE = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[6];\ncx q[0], q[5];\n'


@pytest.mark.parametrize(
    "text, extra, message",
    [
        ("OPENQASM 2.0;\nqreg q[1];\nh q[0]\n", [], "parse error"),
        (OPAQUE, [], "unknown gate 'magic'"),
        (WIDE, [], "6 qubits, more than the 4"),
        (WIDE, ["-t", "[[0, 1], [2, 3], [4, 5]]"], "does not connect"),
        (MID_MEASURE, [], "measured in the middle"),
        (
            WIDE.replace("qreg q[6];", "qreg q[3];").replace(
                "cx q[0], q[5]", "ccx q[0], q[1], q[2]"
            ),
            [],
            "acts on 3 qubits",
        ),
        (WIDE, ["--option", "depth=3"], "unknown option 'depth'"),
        (WIDE, ["--option", "nonsense"], "KEY=VALUE"),
        # Values the engines would wrap around as unsigned or fail on without naming them.
        (WIDE, ["-m", "velor", "--option", "window_size=-3"], "window_size=-3"),
        (WIDE, ["-m", "bka", "--option", "size_slice=-1"], "size_slice=-1"),
        (WIDE, ["--option", "window_size=-1"], "at least 0"),
        (WIDE, ["--option", "weight=abc"], "expected a number"),
        (WIDE, ["--option", "basic_heuristic=3"], "expected true or false"),
        (WIDE, ["-m", "kovra", "--option", "rewriting_method=fast"], "expected one of"),
        (WIDE, ["-m", "quantum"], "unknown method"),
        (WIDE, ["-t", "cube:3"], "unknown topology"),
        (WIDE, ["--bogus"], "No such option"),
    ],
)
def test_bad_input_ends_with_status_2_and_one_line(tmp_path, capsys, text, extra, message):
    source = tmp_path / "in.qasm"
    source.write_text(text)
    out = tmp_path / "out.qasm"
    topology = [] if "-t" in extra else ["-t", "line:4"]
    status, _, err = run(capsys, "route", source, *topology, *extra, "-o", out, "--json", out)
    assert status == 2
    assert err.count("\n") == 1 and message in err, err
    assert not out.exists()


@pytest.mark.parametrize(
    "method, options",
    [
        ("sabre", ["trials=8", "seed=3"]),
        ("sabre", ["trials=4", "threads=2", "change_initial_order=true"]),
        ("sabre", ["threads=null", "trials=2"]),
        ("velor", ["whole_window=true", "lookahead=4", "lookahead_weight=2"]),
        ("bka", ["lookahead=3", "lookahead_discount=0.7"]),
    ],
)
def test_best_quality_options_route_and_verify(tmp_path, capsys, method, options):
    source, report = tmp_path / "in.qasm", tmp_path / "r.json"
    source.write_text(MEASURED)
    flags = [part for option in options for part in ("--option", option)]
    status, _, err = run(capsys, "route", source, "-t", "line:5", "-m", method, *flags,
                         "--json", report)  # fmt: skip
    assert status == 0, err
    data = json.loads(report.read_text())
    assert data["verified"] is True
    assert data["options"] == {k: json.loads(v) for k, v in (o.split("=") for o in options)}


@pytest.mark.parametrize(
    "method, option, fault",
    [
        ("sabre", "trials=0", "expected an integer from 1 to 4294967295"),
        ("sabre", "trials=2.5", "expected an integer from 1"),
        ("sabre", "seed=-3", "expected an integer from 0 to 9223372036854775807"),
        ("sabre", "seed=9223372036854775808", "expected an integer from 0"),
        ("sabre", "threads=0", "expected an integer from 1"),
        ("sabre", "change_initial_order=1", "expected true or false"),
        ("velor", "lookahead=-1", "expected an integer from 0"),
        ("velor", "lookahead_weight=-0.5", "expected a finite number of at least 0"),
        ("velor", "whole_window=yes", "expected true or false"),
        ("bka", "lookahead_discount=0", "expected a number in (0, 1]"),
        ("bka", "lookahead_discount=1.01", "expected a number in (0, 1]"),
        ("kovra", "trials=8", "unknown option 'trials' for method kovra"),
        ("bka", "trials=8", "unknown option 'trials' for method bka"),
    ],
)
def test_best_quality_options_with_bad_values_are_refused(tmp_path, capsys, method, option, fault):
    source, out = tmp_path / "in.qasm", tmp_path / "out.qasm"
    source.write_text(WIDE)
    status, _, err = run(capsys, "route", source, "-t", "line:6", "-m", method, "--option", option,
                         "-o", out)  # fmt: skip
    assert status == 2 and err.count("\n") == 1 and fault in err, err
    if "unknown" not in fault:  # the message names the option and its method
        assert f"option {option.split('=')[0]}=" in err and f"of method {method}" in err
    assert not out.exists()


@pytest.mark.parametrize(
    "method, given",
    [("sabre", {}), ("sabre", {"seed": 5}), ("velor", {"lookahead": 2}), ("bka", {})],
)
def test_opt_in_options_are_only_passed_on_when_given(method, given):
    settings = router.check_options(method, given)
    opt_in = set(router.OPT_IN_OPTIONS[method])
    assert opt_in & set(settings) == set(given)
    assert set(settings) - opt_in == set(router.METHOD_OPTIONS[method]) - opt_in


@pytest.mark.parametrize("flag", ["-o", "--plot"])
def test_inputs_that_would_write_the_same_output_are_refused(tmp_path, capsys, flag):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        shutil.copy(EXAMPLES / "ghz_16.qasm", tmp_path / folder / "c.qasm")
    out = tmp_path / "out"
    inputs = [tmp_path / "a", tmp_path / "b" / "c.qasm"]
    status, _, err = run(capsys, "route", *inputs, "-t", "grid:4x5", flag, out)
    assert status == 2 and err.count("\n") == 1 and "would both write" in err, err
    assert not out.exists()


@pytest.mark.parametrize("several", [False, True])
def test_an_output_that_would_replace_its_input_is_refused(tmp_path, capsys, several):
    source = tmp_path / "c.qasm"
    shutil.copy(EXAMPLES / "ghz_16.qasm", source)
    before = source.read_text()
    inputs, out = ([tmp_path], tmp_path) if several else ([source], source)
    status, _, err = run(capsys, "route", *inputs, "-t", "grid:4x5", "-o", out)
    assert status == 2 and "would overwrite an input" in err, err
    assert source.read_text() == before


def test_without_qiskit_the_command_names_the_extra():
    script = (
        "import sys\n"
        "sys.modules['qiskit'] = None\n"
        "from mirel.couplize.cli import main\n"
        f"main(['route', {str(EXAMPLES / 'ghz_16.qasm')!r}, '-t', 'grid:4x5'])\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 2 and out.stderr.count("\n") == 1, out.stderr
    assert "[qiskit]" in out.stderr


def test_missing_file_is_bad_input(tmp_path, capsys):
    status, _, err = run(capsys, "route", tmp_path / "none.qasm", "-t", "line:3")
    assert status == 2 and "no such file" in err
