"""The ``kelvra`` command line: ``kelvra COMMAND ...`` or ``python -m kelvra COMMAND ...``.

Each command is a function that adds its arguments to a parser, a function
that runs it and returns the exit status, and one entry in ``COMMANDS``.
Results go to stdout, diagnostics to stderr. Exit status: 0 when everything
succeeded, 1 when some input failed, 2 for a usage error.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple

import kelvra

EXIT_OK = 0
EXIT_INPUT_FAILED = 1
EXIT_USAGE = 2

FIT_METHODS = ("levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
               "simulated_annealing", "basin_hopping")
WEIGHTINGS = ("modulus", "unit")
RESULT_SUFFIXES = (".csv", ".json")


class Command(NamedTuple):
    name: str
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


def report_error(message: str) -> None:
    print(f"kelvra: {message}", file=sys.stderr)


def _add_circuit(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--circuit", required=True, help='circuit string such as "R0-(R1,CPE1)", or a model name')


def _circuit(text: str) -> Optional[kelvra.Circuit]:
    try:
        return kelvra.Circuit(text)
    except ValueError as error:
        report_error(f"invalid circuit {text!r}:\n{error}")
        return None


# ---- kelvra fit

def _positive_int(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive integer, found {text}")
    return value


def _results_path(text: str) -> str:
    if not text.casefold().endswith(RESULT_SUFFIXES):
        raise argparse.ArgumentTypeError(f"expected a file name ending in .csv or .json, found {text!r}")
    return text


def _add_fit_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="measured spectra in any format kelvra.io reads, or directories of them")
    _add_circuit(parser)
    parser.add_argument("--format", choices=list(_io().FORMATS), help="the files' format instead of detecting it")
    parser.add_argument("--method", choices=FIT_METHODS, help="fit method (default levenberg_marquardt)")
    parser.add_argument("--weighting", choices=WEIGHTINGS, help="residual weighting (default modulus)")
    parser.add_argument("--seed", type=int, help="seed of the random starts, for repeatable fits")
    parser.add_argument("--max-iterations", type=_positive_int, help="iteration limit of each local fit")
    parser.add_argument("--workers", type=_positive_int, metavar="N",
                        help="fit on N threads (default: every core this process may use)")
    parser.add_argument("--out", type=_results_path, metavar="RESULTS",
                        help="write one row per fitted spectrum to RESULTS (.csv or .json)")
    parser.add_argument("--plot", metavar="DIR", help="write one PNG figure per fitted spectrum into DIR")
    _series_commands().add_report_arguments(parser)


def _io() -> Any:
    from kelvra import io

    return io


def _series_commands() -> Any:
    from kelvra import _series_commands

    return _series_commands


def fit_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The arguments of Circuit.fit that the command line sets."""
    options = {"method": args.method, "weight": args.weighting, "seed": args.seed,
               "max_iterations": args.max_iterations}
    return {key: value for key, value in options.items() if value is not None}


FileOutcome = Tuple[str, Any]  # (path, list of FitReport, or the exception that stopped the file)


def spectrum_files(paths: Iterable[str]) -> Iterator[str]:
    """Each path as given, with a directory replaced by the files directly
    inside it whose format is recognised, in name order."""
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        for name in sorted(os.listdir(path)):
            inside = os.path.join(path, name)
            if os.path.isfile(inside) and _recognised(inside):
                yield inside


def _recognised(path: str) -> bool:
    try:
        _io().detect(path)
    except (OSError, ValueError):
        return False
    return True


def fit_files(paths: Iterable[str], circuit: kelvra.Circuit, file_format: Optional[str],
              options: Dict[str, Any], workers: Optional[int] = None) -> Iterator[FileOutcome]:
    """Fit every spectrum of every file on the batch layer's threads; a file
    that cannot be read, or one of whose spectra cannot be fitted, yields its
    exception and the rest go on."""
    from kelvra.batch import map_in_threads, usable_cores
    from kelvra.fitting import fit_spectrum

    files: List[Tuple[str, Any]] = []  # (path, its spectra or the exception that stopped reading it)
    for path in spectrum_files(paths):
        try:
            files.append((path, _io().read(path, file_format)))
        except (OSError, ValueError) as error:
            files.append((path, error))
    spectra = [spectrum for _, read in files if not isinstance(read, BaseException) for spectrum in read]

    def fit_one(i: int) -> Any:
        spectrum = spectra[i]
        try:
            return fit_spectrum(circuit, spectrum, source=spectrum.path, sweep=spectrum.metadata["sweep"], **options)
        except ValueError as error:
            return error

    reports = iter(map_in_threads(fit_one, len(spectra), workers or usable_cores()))
    for path, read in files:
        if isinstance(read, BaseException):
            yield path, read
            continue
        outcomes = [next(reports) for _ in read]
        failure = next((outcome for outcome in outcomes if isinstance(outcome, BaseException)), None)
        yield path, outcomes if failure is None else failure


def describe_failure(path: str, error: BaseException) -> str:
    """The message of a file that failed, naming the file once."""
    if isinstance(error, (OSError, _io().FormatError, _io().PointError)):
        return str(error)  # these name the file themselves
    return f"{path}: {error}"


def _number(value: float) -> str:
    return f"{value:.6g}" if math.isfinite(value) else str(value)


def format_report(report: Any) -> str:
    """The parameter table of one fit, as printed by `kelvra fit`."""
    return report.text()


def _figure_path(directory: str, report: Any, sweeps_in_file: int, taken: Set[str]) -> str:
    """DIR/NAME.png after the input file's name, with the sweep when the file
    has several, and a number when an earlier input of this run had that name."""
    stem = os.path.splitext(os.path.basename(report.source))[0]
    if sweeps_in_file > 1:
        stem += f"_sweep{report.sweep}"
    path = os.path.join(directory, f"{stem}.png")
    repeat = 1
    while path in taken:
        repeat += 1
        path = os.path.join(directory, f"{stem}_{repeat}.png")
    taken.add(path)
    return path


def save_figure(report: Any, path: str) -> None:
    from matplotlib.figure import Figure

    from kelvra.plot import plot_fit

    figure = plot_fit(report, fig=Figure(figsize=(11, 8), layout="constrained"))
    figure.savefig(path, dpi=100)


def _run_fit(args: argparse.Namespace) -> int:
    circuit = _circuit(args.circuit)
    if circuit is None:
        return EXIT_USAGE
    figures: Set[str] = set()  # written by this run, so that inputs of the same name never share a figure
    if args.plot is not None:
        os.makedirs(args.plot, exist_ok=True)
    from kelvra.fitting import error_row, write_table

    rows: List[Dict[str, Any]] = []
    shared: Tuple[List[Any], List[Tuple[str, str]]] = ([], [])  # the reports and failures for --report
    failed = False
    for path, outcome in fit_files(args.files, circuit, args.format, fit_options(args), args.workers):
        if isinstance(outcome, BaseException):
            failed = True
            report_error(describe_failure(path, outcome))
            rows.append(error_row(path, args.circuit, describe_failure(path, outcome)))
            shared[1].append((path, describe_failure(path, outcome)))
            continue
        for report in outcome:
            print(format_report(report))
            rows.append(report.row())
            shared[0].append(report)
            failed = failed or not report.success
            if args.plot is not None:
                save_figure(report, _figure_path(args.plot, report, len(outcome), figures))
    if args.out is not None:
        write_table(rows, args.out)
    if not _series_commands().write_report_of(args, shared[0], failures=shared[1]):
        failed = True
    return EXIT_INPUT_FAILED if failed else EXIT_OK


# ---- kelvra guess

def _add_guess_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a measured spectrum")
    _add_circuit(parser)
    parser.add_argument("--format", choices=list(_io().FORMATS), help="the file's format instead of detecting it")


def _run_guess(args: argparse.Namespace) -> int:
    circuit = _circuit(args.circuit)
    if circuit is None:
        return EXIT_USAGE
    if not hasattr(circuit, "guess"):
        report_error("this build of kelvra has no learned initial guess")
        return EXIT_INPUT_FAILED
    try:
        spectra = _io().read(args.file, args.format)
    except (OSError, ValueError) as error:
        report_error(str(error))
        return EXIT_INPUT_FAILED
    failed = False
    for spectrum in spectra:
        try:
            measured = _io().as_spectrum(spectrum)
            values = circuit.guess(measured.frequencies, measured.impedances)
        except ValueError as error:
            report_error(describe_failure(f"{spectrum.path} (sweep {spectrum.metadata['sweep']})", error))
            failed = True
            continue
        print(f"{spectrum.path} (sweep {spectrum.metadata['sweep']}):")
        for name, unit, value in zip(circuit.param_names(), circuit.param_units(), values):
            print(f"  {name} = {value!r} {unit}")
    return EXIT_INPUT_FAILED if failed else EXIT_OK


# ---- kelvra models

def _no_arguments(parser: argparse.ArgumentParser) -> None:
    del parser


def _run_models(args: argparse.Namespace) -> int:
    del args
    ml_circuits = getattr(kelvra.Circuit, "ml_circuits", None)
    if ml_circuits is None:
        report_error("this build of kelvra has no built-in models")
        return EXIT_INPUT_FAILED
    models = ml_circuits()
    width = max((len(name) for name in models), default=0)
    for name, topology in models.items():
        print(f"{name:<{width}}  {topology}")
    return EXIT_OK


# ---- kelvra rank and kelvra kk

def _read_spectra(paths: Iterable[str], file_format: Optional[str]) -> Tuple[List[Any], bool]:
    """Every spectrum of every file (directories expanded), checked by
    `kelvra.io.as_spectrum`; a file that cannot be read and a spectrum with a
    broken point are reported and left out. Returns (spectra, some failed)."""
    spectra: List[Any] = []
    failed = False
    for path in spectrum_files(paths):
        try:
            read = _io().read(path, file_format)
        except (OSError, ValueError) as error:
            report_error(describe_failure(path, error))
            failed = True
            continue
        for spectrum in read:
            try:
                spectra.append(_io().as_spectrum(spectrum))
            except ValueError as error:
                report_error(describe_failure(path, error))
                failed = True
    return spectra, failed


def _add_rank_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="measured spectra in any format kelvra.io reads, or directories of them")
    parser.add_argument("--candidate", action="append", default=[], metavar="CIRCUIT",
                        help="also rank this circuit string (repeatable)")
    parser.add_argument("--no-builtin", action="store_true", help="rank only the --candidate circuits")
    parser.add_argument("--criterion", choices=("aic", "bic"), default="bic",
                        help="information criterion that orders the circuits (default bic)")
    parser.add_argument("--format", choices=list(_io().FORMATS), help="the files' format instead of detecting it")
    parser.add_argument("--workers", type=_positive_int, metavar="N",
                        help="fit on N threads (default: every core this process may use)")
    parser.add_argument("--out", type=_results_path, metavar="RESULTS",
                        help="write one row per spectrum and circuit, in rank order, to RESULTS (.csv or .json)")
    _series_commands().add_report_arguments(parser)


def _run_rank(args: argparse.Namespace) -> int:
    from kelvra.fitting import write_table
    from kelvra.ranking import rank_many

    candidates = [_circuit(text) for text in args.candidate]
    if any(candidate is None for candidate in candidates):
        return EXIT_USAGE
    if args.no_builtin and not candidates:
        report_error("--no-builtin needs at least one --candidate")
        return EXIT_USAGE
    spectra, failed = _read_spectra(args.files, args.format)
    rankings = rank_many(spectra, candidates, builtin=not args.no_builtin, criterion=args.criterion,
                         workers=args.workers)
    rows: List[Dict[str, Any]] = []
    for ranking in rankings:
        print(ranking.text())
        rows.extend(ranking.rows())
        if all(fit.error for fit in ranking):
            failed = True
    if args.out is not None:
        write_table(rows, args.out)
    if not _series_commands().write_report_of(args, rankings=list(zip(rankings, spectra))):
        failed = True
    return EXIT_INPUT_FAILED if failed else EXIT_OK


def _percent(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive percentage, found {text}")
    return value


def _add_kk_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="measured spectra in any format kelvra.io reads, or directories of them")
    parser.add_argument("--threshold", type=_percent, default=1.0, metavar="PERCENT",
                        help="largest relative residual of a valid spectrum (default 1)")
    parser.add_argument("--mu-cutoff", type=float, metavar="MU",
                        help="stop adding RC elements when mu falls below MU (default 0.85)")
    parser.add_argument("--capacitance", action="store_true",
                        help="add a series capacitor, for a blocking electrode or an open diffusion tail")
    parser.add_argument("--no-inductance", action="store_true", help="leave out the series inductor")
    parser.add_argument("--format", choices=list(_io().FORMATS), help="the files' format instead of detecting it")
    parser.add_argument("--out", type=_results_path, metavar="RESULTS",
                        help="write one row per spectrum to RESULTS (.csv or .json)")


# The largest residuals listed per spectrum by `kelvra kk`.
KK_WORST_POINTS = 3


def _run_kk(args: argparse.Namespace) -> int:
    """A spectrum that fails the test is a result like one that passes: only
    unreadable files and spectra the test cannot take change the status."""
    from kelvra.fitting import write_table
    from kelvra.kk import kramers_kronig_many

    options: Dict[str, Any] = {"threshold": args.threshold / 100.0, "capacitance": args.capacitance,
                               "inductance": not args.no_inductance}
    if args.mu_cutoff is not None:
        options["mu_cutoff"] = args.mu_cutoff
    spectra, failed = _read_spectra(args.files, args.format)
    rows: List[Dict[str, Any]] = []
    # The test is NumPy on arrays so small that it holds the interpreter
    # lock throughout: more threads would only take turns.
    for spectrum, result in zip(spectra, kramers_kronig_many(spectra, workers=1, **options)):
        name = f"{spectrum.path} (sweep {spectrum.metadata['sweep']})"
        row: Dict[str, Any] = {"file": spectrum.path, "sweep": spectrum.metadata["sweep"]}
        if isinstance(result, ValueError):
            report_error(f"{name}: {result}")
            failed = True
            rows.append({**row, "error": str(result)})
            continue
        print(f"{name}: {result.verdict}, mu {result.mu:.3f}, {result.n_elements} RC elements")
        for i in result.worst_points(KK_WORST_POINTS):
            print(f"  {result.frequencies[i]:12.6g} Hz  real {100 * result.residuals_real[i]:+7.3f} %  "
                  f"imaginary {100 * result.residuals_imag[i]:+7.3f} %")
        rows.append({**row, **result.row(), "error": ""})
    if args.out is not None:
        write_table(rows, args.out)
    return EXIT_INPUT_FAILED if failed else EXIT_OK


COMMANDS = [
    Command("fit", "fit a circuit to measured spectra", _add_fit_arguments, _run_fit),
    Command("guess", "print the learned starting values of a circuit for a spectrum", _add_guess_arguments,
            _run_guess),
    Command("models", "list the built-in models and their circuits", _no_arguments, _run_models),
    Command("rank", "fit every built-in model to measured spectra and rank them by AIC", _add_rank_arguments,
            _run_rank),
    Command("kk", "Kramers-Kronig validity test of measured spectra", _add_kk_arguments, _run_kk),
    Command("series", "fit a circuit along a series of spectra: parameter trajectories with intervals and outliers",
            lambda parser: _series_commands().add_series_arguments(parser), lambda args: _series_commands().run_series(args)),
    Command("report", "write a self-contained HTML report of saved fits or of fits of measured spectra",
            lambda parser: _series_commands().add_report_command_arguments(parser),
            lambda args: _series_commands().run_report(args)),
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kelvra", description="Fit equivalent circuits to impedance spectra.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.help)
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return parser


def _show_warning(message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    """Warnings as diagnostics of the command, without the source line."""
    print(f"kelvra: warning: {message}", file=sys.stderr if file is None else file)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    import warnings

    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            return args.run(args)
    except BrokenPipeError:
        # Whoever read stdout stopped early (kelvra fit ... | head): end
        # quietly, with stdout pointed where the interpreter's final flush
        # cannot fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
