"""Train one built-in model and write its weight file.

    tools/train/train MODEL [--samples N] [--epochs E] [--seed S] [--threads T]
                      [--start WEIGHTS.eisnn] [--learning-rate LR] [--out PATH]

With --start, training goes on from an existing weight file of the same
model (on fresh spectra when the seed differs from its first run's).
"""
import argparse
import time
from pathlib import Path

import torch

from . import model_file
from .model_table import MODELS, model_by_name
from .training import LEARNING_RATE, train

DEFAULT_SAMPLES = 100_000
DEFAULT_EPOCHS = 25
DEFAULT_SEED = 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", choices=[spec.name for spec in MODELS])
    parser.add_argument("--samples", type=int, default=DEFAULT_SAMPLES)
    parser.add_argument("--epochs", type=int, default=DEFAULT_EPOCHS)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--threads", type=int, default=1,
                        help="torch threads (1 is steadiest on a shared machine)")
    parser.add_argument("--start", type=Path, help="weight file to go on training from")
    parser.add_argument("--learning-rate", type=float, default=LEARNING_RATE)
    parser.add_argument("--out", type=Path, help="default: weights/MODEL.eisnn")
    args = parser.parse_args(argv)

    torch.set_num_threads(args.threads)
    spec = model_by_name(args.model)
    out = args.out or Path(__file__).resolve().parents[3] / "weights" / f"{spec.name}.eisnn"
    start = None
    if args.start is not None:
        start = model_file.load(args.start.read_bytes())
        if start.circuit != spec.topology:
            parser.error(f"{args.start} holds a network for {start.circuit!r}, not {spec.topology!r}")
    started = time.monotonic()
    trained = train(spec, args.samples, args.epochs, args.seed, log=lambda s: print(s, flush=True),
                    start=start, learning_rate=args.learning_rate)
    data = model_file.export(spec, trained.arrays, trained.target_mean, trained.target_std)
    out.write_bytes(data)
    print(f"wrote {out} ({len(data)} bytes) in {time.monotonic() - started:.0f} s", flush=True)


if __name__ == "__main__":
    main()
