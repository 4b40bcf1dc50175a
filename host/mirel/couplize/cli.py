"""The `couplize` command: route OpenQASM circuits on a named topology.

    couplize route IN.qasm --topology grid:5x5 --method sabre [--option window_size=3 ...]
                  [--seed N] [-o OUT.qasm] [--json REPORT.json] [--plot OUT.png] [--no-verify]

Best-quality modes are opt-in method options, for example `-m sabre --option trials=8 --option
seed=3`; `METHOD_OPTIONS` in `mirel.couplize.router` lists every method's options.

Several files, or a folder of .qasm files, are routed one after the other with a progress bar
and one summary table; -o and --plot then name folders and --json a file holding every report.
Exit status: 0 when every circuit was routed (and verified), 2 for bad input (the command line,
a file that does not parse, a gate without a host form, a qubit outside the topology, an unknown
option, a mid-circuit measurement), 1 when a routed circuit fails verification. Each failure
prints one line on stderr, and nothing is written for a circuit that failed.
"""

import json
import sys
from dataclasses import dataclass
from pathlib import Path

import click

from mirel.comm.datamodel.ttypes import OpType
from mirel.comm.exceptions.ttypes import PluginException


class InputError(Exception):
    """Bad input: exit status 2."""


class VerificationError(Exception):
    """A routed circuit that does not compute the original (or a router result that contradicts
    itself): exit status 1."""


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
def cli():
    """Route quantum circuits onto a device topology (swap insertion)."""


@cli.command()
@click.argument("inputs", nargs=-1, required=True, type=click.Path(path_type=Path))
@click.option(
    "-t",
    "--topology",
    required=True,
    help="line:N, ring:N, grid:RxC, heavy-hex:D, all:N, or a JSON edge list / adjacency file.",
)
@click.option(
    "-m",
    "--method",
    default="sabre",
    show_default=True,
    help="Routing method: velor, sabre, bka or kovra.",
)
@click.option(
    "--option",
    "options",
    multiple=True,
    metavar="KEY=VALUE",
    help="A method option, e.g. window_size=3 or, for sabre's best-quality mode, trials=8 "
    "(repeatable).",
)
@click.option("--seed", type=int, default=None, help="Seed of the randomised searches.")
@click.option(
    "-o", "--output", type=click.Path(path_type=Path), help="Routed circuit (OpenQASM 2)."
)
@click.option("--json", "json_path", type=click.Path(path_type=Path), help="Report as JSON.")
@click.option(
    "--plot", type=click.Path(path_type=Path), help="Picture of the SWAPs (PNG; needs matplotlib)."
)
@click.option("--no-verify", is_flag=True, help="Skip checking the routed circuit.")
def route(inputs, topology, method, options, seed, output, json_path, plot, no_verify):
    """Route OpenQASM 2/3 circuits (files or folders of .qasm files)."""
    from mirel.couplize.interop import require_qiskit
    from mirel.couplize.router import check_options
    from mirel.couplize.topologies import device as parse_device

    try:
        require_qiskit()  # reading OpenQASM needs it: say so once, before any file
        files, several = _expand(inputs)
        settings = _parse_options(options)
        check_options(method, settings)
        dev = parse_device(topology)
        for target, is_folder in ((output, several), (plot, several)):
            if target is not None and is_folder and target.exists() and not target.is_dir():
                raise InputError(f"{target} must be a folder when routing several circuits")
        _check_distinct_targets(files, several, output, plot)
    except (InputError, ValueError, TypeError, ImportError) as exc:
        _fail(exc)

    job = Job(dev, method, settings, seed, not no_verify)
    reports, status = [], 0
    progress = _progress(files) if several else files
    for path in progress:
        out = _target(output, path, ".qasm", several)
        picture = _target(plot, path, ".png", several)
        try:
            reports.append(job.run(path, out, picture))
        except InputError as exc:
            _error_line(f"{path}: {exc}")
            reports.append({"input": str(path), "error": str(exc)})
            status = max(status, 2)
        except VerificationError as exc:
            _error_line(f"{path}: {exc}")
            reports.append({"input": str(path), "error": str(exc)})
            status = max(status, 1) if status != 2 else 2
    if several:
        click.echo(_summary_table(reports))
    elif "error" not in reports[0]:
        click.echo(_report_text(reports[0]))
    if json_path is not None and any("error" not in r for r in reports):
        written = reports if several else reports[0]
        _write(json_path, json.dumps(written, indent=2) + "\n")
    sys.exit(status)


@dataclass
class Job:
    device: object
    method: str
    options: dict
    seed: int
    verify: bool

    def run(self, path, output, picture):
        """Routes one file; writes its outputs only when everything succeeded."""
        from mirel.couplize import interop, router
        from mirel.couplize.verification import verify

        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            raise InputError(f"cannot read the file ({exc.__class__.__name__}: {exc})") from None
        try:
            source = interop.qiskit_from_qasm(text)
            circuit = interop.from_qiskit(source)
            routed = router.route(circuit, self.device, self.method, self.options, self.seed)
        except (ValueError, TypeError, NotImplementedError, PluginException) as exc:
            raise InputError(_one_line(exc)) from None
        except RuntimeError as exc:  # a router result that contradicts itself
            raise VerificationError(f"routing failed: {_one_line(exc)}") from None
        verified = None
        if self.verify:
            verdict = verify(circuit, routed.with_remaps(), self.device)
            if not verdict.ok:
                raise VerificationError(f"the routed circuit fails verification: {verdict}")
            verified = True
        registers = source.cregs if sum(len(r) for r in source.cregs) == source.num_clbits else None
        try:
            text_out = interop.to_qasm(routed.circuit, classical_registers=registers) + "\n"
        except ValueError as exc:
            raise InputError(_one_line(exc)) from None
        report = _report(path, circuit, routed, self, verified)
        if picture is not None:
            from mirel.couplize.plot import draw_routing

            try:
                picture.parent.mkdir(parents=True, exist_ok=True)
                draw_routing(self.device, routed, picture, nblogical=circuit.nbqbits)
            except (ImportError, OSError, ValueError) as exc:
                raise InputError(f"cannot draw {picture}: {_one_line(exc)}") from None
            report["plot"] = str(picture)
        if output is not None:
            _write(output, text_out)
            report["output"] = str(output)
        return report


def _report(path, circuit, routed, job, verified):
    before = _counts(circuit)
    after = _counts(routed.circuit)
    return {
        "input": str(path),
        "topology": job.device.name,
        "method": job.method,
        "options": job.options,
        "qubits": {"circuit": circuit.nbqbits, "topology": job.device.nbqbits},
        "one_qubit_gates": before["1q"],
        "two_qubit_gates": before["2q"],
        "swaps_added": routed.swaps,
        "two_qubit_depth": {"before": before["depth"], "after": after["depth"]},
        "seconds": round(routed.seconds, 6),
        "initial_permutation": routed.initial[: circuit.nbqbits],
        "final_permutation": routed.final[: circuit.nbqbits],
        "verified": verified,
    }


def _counts(circuit):
    """One- and two-qubit gate counts and the two-qubit depth (layers of two-qubit gates)."""
    one = two = 0
    level = {}
    for op in circuit.ops:
        if op.type != OpType.GATETYPE:
            continue
        qubits = op.qbits or []
        if len(qubits) == 1:
            one += 1
        elif len(qubits) >= 2:
            two += 1
            layer = 1 + max(level.get(q, 0) for q in qubits)
            for q in qubits:
                level[q] = layer
    return {"1q": one, "2q": two, "depth": max(level.values(), default=0)}


def _permutation_text(placement):
    if placement == list(range(len(placement))):
        return "identity"
    return " ".join(f"{q}->{p}" for q, p in enumerate(placement))


def _report_text(report):
    lines = [
        f"{report['input']}: {report['qubits']['circuit']} qubits on {report['topology']} "
        f"({report['qubits']['topology']} qubits), method {report['method']}",
        f"  gates: {report['one_qubit_gates']} one-qubit, {report['two_qubit_gates']} two-qubit;"
        f" SWAPs added: {report['swaps_added']}",
        f"  two-qubit depth: {report['two_qubit_depth']['before']} -> "
        f"{report['two_qubit_depth']['after']}",
        f"  routing time: {report['seconds'] * 1000:.1f} ms; "
        + ("verified" if report["verified"] else "not verified"),
        "  initial placement (logical->physical): "
        + _permutation_text(report["initial_permutation"]),
        "  final placement (logical->physical): " + _permutation_text(report["final_permutation"]),
    ]
    if "output" in report:
        lines.append(f"  wrote {report['output']}")
    return "\n".join(lines)


def _summary_table(reports):
    header = ("circuit", "qubits", "2q gates", "SWAPs", "2q depth", "ms", "status")
    rows = []
    for r in reports:
        name = Path(r["input"]).name
        if "error" in r:
            rows.append((name, "", "", "", "", "", "failed"))
            continue
        depth = f"{r['two_qubit_depth']['before']} -> {r['two_qubit_depth']['after']}"
        status = "verified" if r["verified"] else "routed"
        rows.append(
            (
                name,
                str(r["qubits"]["circuit"]),
                str(r["two_qubit_gates"]),
                str(r["swaps_added"]),
                depth,
                f"{r['seconds'] * 1000:.1f}",
                status,
            )
        )
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = [
        "  ".join(cell.ljust(w) for cell, w in zip(row, widths, strict=True)).rstrip()
        for row in [header, *rows]
    ]
    routed = sum(1 for r in reports if "error" not in r)
    lines.append(f"{routed} of {len(reports)} circuits routed")
    return "\n".join(lines)


def _expand(inputs):
    """(list of files, whether the command routes several)."""
    files = []
    several = len(inputs) > 1
    for path in inputs:
        if path.is_dir():
            found = sorted(p for p in path.iterdir() if p.suffix == ".qasm" and p.is_file())
            if not found:
                raise InputError(f"{path}: no .qasm files in the folder")
            files += found
            several = True
        elif path.exists():
            files.append(path)
        else:
            raise InputError(f"{path}: no such file or folder")
    return files, several


def _parse_options(options):
    """KEY=VALUE pairs; values are read as JSON (numbers, true/false, null) or else as text."""
    settings = {}
    for item in options:
        key, sep, value = item.partition("=")
        if not sep or not key.strip():
            raise InputError(f"option '{item}' is not of the form KEY=VALUE")
        try:
            parsed = json.loads(value)
        except json.JSONDecodeError:
            parsed = None if value in ("None", "none") else value
        settings[key.strip()] = parsed
    return settings


def _target(target, path, suffix, several):
    if target is None:
        return None
    return target / (path.stem + suffix) if several else target


def _check_distinct_targets(files, several, output, plot):
    """Refused before any routing: an output that would replace an input circuit, and two
    inputs of the same name (from different folders, or given twice) that would write the same
    output file, the second silently replacing the first."""
    inputs = {path.resolve() for path in files}
    for target, suffix in ((output, ".qasm"), (plot, ".png")):
        if target is None:
            continue
        sources = {}
        for path in files:
            written = _target(target, path, suffix, several)
            if written.resolve() in inputs:
                raise InputError(f"{written} would overwrite an input circuit")
            if written in sources:
                raise InputError(f"{sources[written]} and {path} would both write {written}")
            sources[written] = path


def _write(path, text):
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    except OSError as exc:
        _fail(InputError(f"cannot write {path}: {exc.strerror or exc}"))


def _progress(files):
    try:
        from tqdm import tqdm
    except ImportError:
        return files
    return tqdm(files, unit="circuit", disable=None, leave=False)


def _one_line(exc):
    return " ".join(str(exc).split()) or exc.__class__.__name__


def _error_line(message):
    click.echo(f"couplize: error: {message}", err=True)


def _fail(exc, status=2):
    _error_line(_one_line(exc))
    sys.exit(status)


def main(argv=None):
    """Console entry: usage errors print one line and exit with status 2."""
    try:
        cli.main(args=argv, prog_name="couplize", standalone_mode=False)
    except click.exceptions.Abort:
        _fail(InputError("aborted"), 1)
    except click.exceptions.ClickException as exc:
        ctx = getattr(exc, "ctx", None)
        if type(exc).__name__ == "NoArgsIsHelpError" and ctx is not None:
            click.echo(ctx.get_help())  # a bare command shows its help, not an error line
            sys.exit(exc.exit_code)
        _fail(InputError(exc.format_message()), exc.exit_code)
    except KeyboardInterrupt:
        _fail(InputError("interrupted"), 130)
    return 0


if __name__ == "__main__":
    main(sys.argv[1:])
