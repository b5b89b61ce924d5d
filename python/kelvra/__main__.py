"""The ``kelvra`` command line: ``kelvra SUBCOMMAND ...`` or ``python -m kelvra SUBCOMMAND ...``.

Each subcommand is a function that configures its argument parser, a
function that runs it and returns the exit status, and one entry in
``SUBCOMMANDS``. Results go to stdout, diagnostics to stderr.
"""
from __future__ import annotations

import argparse
import sys
from typing import Callable, NamedTuple, Optional, Sequence

import kelvra

EXIT_OK = 0
EXIT_INPUT_FAILED = 1
EXIT_USAGE = 2


class Subcommand(NamedTuple):
    name: str
    help: str
    configure: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


def _no_arguments(parser: argparse.ArgumentParser) -> None:
    del parser


def _run_models(args: argparse.Namespace) -> int:
    del args
    ml_circuits = getattr(kelvra.Circuit, "ml_circuits", None)
    if ml_circuits is None:
        print("kelvra: this build has no built-in models", file=sys.stderr)
        return EXIT_INPUT_FAILED
    for name, topology in ml_circuits().items():
        print(f"{name}\t{topology}")
    return EXIT_OK


SUBCOMMANDS = [
    Subcommand("models", "list the built-in models and their circuits", _no_arguments, _run_models),
]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kelvra", description="Fit equivalent circuits to impedance spectra.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in SUBCOMMANDS:
        sub = commands.add_parser(command.name, help=command.help, description=command.help)
        command.configure(sub)
        sub.set_defaults(run=command.run)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
