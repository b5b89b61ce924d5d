"""The ``kelvra`` command line: ``kelvra COMMAND ...`` or ``python -m kelvra COMMAND ...``.

Each command is a function that adds its arguments to a parser, a function
that runs it and returns the exit status, and one entry in ``COMMANDS``.
Results go to stdout, diagnostics to stderr. Exit status: 0 when everything
succeeded, 1 when some input failed, 2 for a usage error.
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Set, Tuple

import kelvra
from kelvra import _command_checks as checks
from kelvra.tables import EARLY_STOP_RULES, JACOBIAN_METHODS, MANY_FITS_EARLY_STOP, MANY_FITS_JACOBIAN

EXIT_OK = 0
EXIT_INPUT_FAILED = 1
EXIT_USAGE = 2

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
    from kelvra.tables import make_circuit

    try:
        return make_circuit(text)
    except ValueError as error:
        report_error(f"invalid circuit {text!r}:\n{error}")
        return None


def _tables() -> Any:
    from kelvra import tables

    return tables


def _add_quiet(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--quiet", action="store_true", help=f"print one line per spectrum instead of {what}")


# ---- kelvra fit

def _positive_int(text: str) -> int:
    return checks.count(text)


def _results_path(text: str) -> str:
    if not text.casefold().endswith(RESULT_SUFFIXES):
        raise argparse.ArgumentTypeError(f"expected a file name ending in .csv or .json, found {text!r}")
    return text


def _add_fit_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="measured spectra in any format kelvra.io reads, or directories of them")
    _add_circuit(parser)
    parser.add_argument("--format", choices=list(_io().FORMATS), help="the files' format instead of detecting it")
    parser.add_argument("--method", choices=_tables().FIT_METHODS,
                        help=f"fit method (default {_tables().DEFAULT_METHOD})")
    parser.add_argument("--weighting", choices=_tables().WEIGHTINGS,
                        help=f"residual weighting (default {_tables().DEFAULT_WEIGHTING})")
    parser.add_argument("--seed", type=checks.seed,
                        help="seed of the random starts, for repeatable fits (differential evolution takes none)")
    parser.add_argument("--max-iterations", type=checks.count, help="iteration limit of each local fit")
    parser.add_argument("--early-stop", choices=list(EARLY_STOP_RULES), default=MANY_FITS_EARLY_STOP,
                        help=_batch_choice_help("when a Levenberg-Marquardt fit stops trying further starting points",
                                                EARLY_STOP_RULES, MANY_FITS_EARLY_STOP))
    parser.add_argument("--jacobian", choices=list(JACOBIAN_METHODS), default=MANY_FITS_JACOBIAN,
                        help=_batch_choice_help("how a Levenberg-Marquardt fit takes its derivatives",
                                                JACOBIAN_METHODS, MANY_FITS_JACOBIAN))
    parser.add_argument("--workers", type=_positive_int, metavar="N",
                        help="fit on N threads (default: every core this process may use)")
    parser.add_argument("--out", type=_results_path, metavar="RESULTS",
                        help="write one row per spectrum to RESULTS.csv, or the fits as kelvra.saving.load_fits "
                             "reads them to RESULTS.json")
    parser.add_argument("--plot", metavar="DIR", help="write one PNG figure per fitted spectrum into DIR")
    _series_commands().add_report_arguments(parser)
    _add_quiet(parser, "its parameter table")
    from kelvra import controls

    controls.add_arguments(parser)


def _batch_choice_help(what: str, choices: Dict[str, str], default: str) -> str:
    """The help of an option whose default here differs from a single
    Circuit.fit's (the first of `choices`): what each of the two does."""
    single = next(iter(choices))
    return (f"{what} (default {default}: {choices[default]}; {single}, that of a single Circuit.fit: "
            f"{choices[single]})")


def _io() -> Any:
    from kelvra import io

    return io


def _series_commands() -> Any:
    from kelvra import _series_commands

    return _series_commands


def fit_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The arguments of Circuit.fit that the command line sets."""
    options = {"method": args.method, "weight": args.weighting, "seed": args.seed,
               "max_iterations": args.max_iterations, "early_stop": args.early_stop, "jacobian": args.jacobian}
    return {key: value for key, value in options.items() if value is not None}


def describe_failure(path: str, error: BaseException) -> str:
    """The message of a file that failed, naming the file once."""
    return _io().describe_failure(path, error)


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


def _writable_directory(path: str) -> bool:
    """Makes the directory `path` if needed; reports and returns False when
    figures cannot be written there."""
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        report_error(f"cannot write figures into {path!r}: {error.strerror or error}")
        return False
    if not os.access(path, os.W_OK | os.X_OK):
        report_error(f"cannot write figures into {path!r}: permission denied")
        return False
    return True


def write_results(rows: List[Dict[str, Any]], path: str, fits: Optional[List[Any]] = None) -> bool:
    """Writes a results file: rows as CSV, or as JSON (the saved-fit format
    when `fits` are given); reports a file that cannot be written."""
    try:
        if fits is not None and path.casefold().endswith(".json"):
            from kelvra.saving import save_fit

            save_fit(fits, path, failures=[row for row in rows if row.get("error")])
        else:
            from kelvra.fitting import write_table

            write_table(rows, path)
    except OSError as error:
        report_error(f"cannot write {path!r}: {error.strerror or error}")
        return False
    return True


def _run_fit(args: argparse.Namespace) -> int:
    circuit = _circuit(args.circuit)
    if circuit is None:
        return EXIT_USAGE
    from kelvra import controls

    try:
        options = {**fit_options(args), **controls.options(args, circuit.param_names())}
    except ValueError as error:
        report_error(str(error))
        return EXIT_USAGE
    figures: Set[str] = set()  # written by this run, so that inputs of the same name never share a figure
    if args.plot is not None and not _writable_directory(args.plot):
        return EXIT_INPUT_FAILED
    from kelvra.fitting import error_row, fit_files

    rows: List[Dict[str, Any]] = []
    shared: Tuple[List[Any], List[Tuple[str, str]]] = ([], [])  # the reports and failures for --report
    fits: List[Any] = []
    failed = False
    for path, outcome in fit_files(args.files, circuit, format=args.format, workers=args.workers, **options):
        if isinstance(outcome, BaseException):
            failed = True
            report_error(describe_failure(path, outcome))
            rows.append(error_row(path, args.circuit, describe_failure(path, outcome)))
            shared[1].append((path, describe_failure(path, outcome)))
            continue
        for report in outcome:
            print(report.heading() if args.quiet else report.text())
            if not args.quiet:
                print("\n".join(controls.verdict_lines(report)))
            rows.append(report.row())
            shared[0].append(report)
            fits.append(report)
            failed = failed or not report.success
            if args.plot is not None:
                try:
                    save_figure(report, _figure_path(args.plot, report, len(outcome), figures))
                except OSError as error:
                    report_error(f"cannot write a figure into {args.plot!r}: {error.strerror or error}")
                    failed = True
    if args.out is not None and not write_results(rows, args.out, fits):
        failed = True
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
    models = _tables().MODELS
    width = max((len(name) for name in models), default=0)
    for model in models.values():
        print(f"{model.name:<{width}}  {model.topology}")
    return EXIT_OK


# ---- kelvra rank and kelvra kk

def _read_spectra(paths: Iterable[str], file_format: Optional[str]) -> Tuple[List[Any], List[Dict[str, Any]]]:
    """Every spectrum of every file (directories expanded), checked by
    `kelvra.io.as_spectrum`; a file that cannot be read and a spectrum with a
    broken point are reported and left out. Returns (spectra, the failure
    rows: file, sweep and error of each)."""
    spectra: List[Any] = []
    failures: List[Dict[str, Any]] = []
    for path, read in _io().read_files(paths, file_format):
        if isinstance(read, BaseException):
            report_error(describe_failure(path, read))
            failures.append({"file": path, "sweep": "", "error": describe_failure(path, read)})
            continue
        for spectrum in read:
            try:
                spectra.append(_io().as_spectrum(spectrum))
            except ValueError as error:
                report_error(describe_failure(path, error))
                failures.append({"file": path, "sweep": spectrum.sweep, "error": describe_failure(path, error)})
    return spectra, failures


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
    _add_quiet(parser, "its ranking table")


def _run_rank(args: argparse.Namespace) -> int:
    from kelvra.ranking import rank_many

    candidates = [_circuit(text) for text in args.candidate]
    if any(candidate is None for candidate in candidates):
        return EXIT_USAGE
    if args.no_builtin and not candidates:
        report_error("--no-builtin needs at least one --candidate")
        return EXIT_USAGE
    spectra, failures = _read_spectra(args.files, args.format)
    failed = bool(failures)
    rankings = rank_many(spectra, candidates, builtin=not args.no_builtin, criterion=args.criterion,
                         workers=args.workers)
    rows: List[Dict[str, Any]] = list(failures)
    for ranking in rankings:
        print(ranking.summary() if args.quiet else ranking.text())
        rows.extend(ranking.rows())
        if all(fit.error for fit in ranking):
            failed = True
    if args.out is not None and not write_results(rows, args.out):
        failed = True
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
    parser.add_argument("--mu-cutoff", type=checks.unit_fraction, metavar="MU",
                        help="stop adding RC elements when mu falls below MU (default 0.85)")
    parser.add_argument("--capacitance", action="store_true", default=None,
                        help="always add a series capacitor, for a blocking electrode or an open diffusion tail "
                             "(default: test both ways when the data end in a capacitive tail, and keep the "
                             "capacitor where only it passes)")
    parser.add_argument("--no-capacitance", dest="capacitance", action="store_false",
                        help="never add the series capacitor")
    parser.add_argument("--no-inductance", action="store_true", help="leave out the series inductor")
    parser.add_argument("--format", choices=list(_io().FORMATS), help="the files' format instead of detecting it")
    parser.add_argument("--out", type=_results_path, metavar="RESULTS",
                        help="write one row per spectrum to RESULTS (.csv or .json)")
    _add_quiet(parser, "its verdict and largest residuals")


# The largest residuals listed per spectrum by `kelvra kk`.
KK_WORST_POINTS = 3


def _run_kk(args: argparse.Namespace) -> int:
    """A spectrum that fails the test is a result like one that passes: only
    unreadable files and spectra the test cannot take change the status."""
    from kelvra.kk import kramers_kronig_many

    options: Dict[str, Any] = {"threshold": args.threshold / 100.0, "capacitance": args.capacitance,
                               "inductance": not args.no_inductance}
    if args.mu_cutoff is not None:
        options["mu_cutoff"] = args.mu_cutoff
    spectra, failures = _read_spectra(args.files, args.format)
    failed = bool(failures)
    rows: List[Dict[str, Any]] = list(failures)
    # The test is NumPy on arrays so small that it holds the interpreter
    # lock throughout: more threads would only take turns.
    for spectrum, result in zip(spectra, kramers_kronig_many(spectra, workers=1, **options)):
        name = f"{spectrum.path} (sweep {spectrum.metadata['sweep']})"
        row: Dict[str, Any] = {"file": spectrum.path, "sweep": spectrum.metadata["sweep"]}
        if isinstance(result, Exception):
            report_error(f"{name}: {result}")
            failed = True
            rows.append({**row, "error": str(result)})
            continue
        print(result.text(name, 0 if args.quiet else KK_WORST_POINTS))
        rows.append({**row, **result.row(), "error": ""})
    if args.out is not None and not write_results(rows, args.out):
        failed = True
    return EXIT_INPUT_FAILED if failed else EXIT_OK


def _add_drt_arguments(parser: argparse.ArgumentParser) -> None:
    from kelvra import drt_command

    drt_command.add_arguments(parser, list(_io().FORMATS), _results_path)


def _run_drt(args: argparse.Namespace) -> int:
    from kelvra import drt_command

    if args.plot is not None and not _writable_directory(args.plot):
        return EXIT_INPUT_FAILED
    spectra, failed = _read_spectra(args.files, args.format)
    failed = drt_command.run(args, spectra, report_error) or failed
    return EXIT_INPUT_FAILED if failed else EXIT_OK


COMMANDS = [
    Command("fit", "fit a circuit to measured spectra", _add_fit_arguments, _run_fit),
    Command("guess", "print the learned starting values of a circuit for a spectrum", _add_guess_arguments,
            _run_guess),
    Command("models", "list the built-in models and their circuits", _no_arguments, _run_models),
    Command("rank", "fit every built-in model to measured spectra and rank them by BIC (or AIC)",
            _add_rank_arguments, _run_rank),
    Command("kk", "Kramers-Kronig validity test of measured spectra", _add_kk_arguments, _run_kk),
    Command("series", "fit a circuit along a series of spectra: parameter trajectories with intervals and outliers",
            lambda parser: _series_commands().add_series_arguments(parser), lambda args: _series_commands().run_series(args)),
    Command("report", "write a self-contained HTML report of saved fits or of fits of measured spectra",
            lambda parser: _series_commands().add_report_command_arguments(parser),
            lambda args: _series_commands().run_report(args)),
    Command("drt", "distribution of relaxation times of measured spectra", _add_drt_arguments, _run_drt),
]


def _version() -> str:
    from kelvra import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kelvra", description="Fit equivalent circuits to impedance spectra.")
    parser.add_argument("--version", action="version", version=f"kelvra {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.help)
        command.add_arguments(sub)
        sub.set_defaults(run=command.run)
    return parser


def _show_warning(message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    """Warnings as diagnostics of the command, without the source line."""
    print(f"kelvra: warning: {message}", file=sys.stderr if file is None else file)


# Commands whose FILE arguments may be directories of measured spectra.
EXPANDS_DIRECTORIES = ("fit", "rank", "kk", "drt")


def _checked(args: argparse.Namespace) -> bool:
    """The checks made before any work: paths the command will write, and
    the files it would read among them. False after reporting a usage error."""
    problems = checks.output_problems(args)
    for problem in problems:
        report_error(problem)
    if problems:
        return False
    checks.warn_unseeded(args, _tables().UNSEEDED_METHODS)
    if args.command in EXPANDS_DIRECTORIES:
        # A results file left in an input directory by an earlier run is this
        # command's output, not a spectrum.
        args.files, notes = checks.without_own_outputs(args.files, checks.own_outputs(args),
                                                       _io().spectrum_files)
        for note in notes:
            report_error(note)
    return True


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    # A file name that is not valid UTF-8 reaches Python as lone surrogates;
    # printed back as the bytes it came from, it still names that file.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    if not _checked(args):
        return EXIT_USAGE
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
