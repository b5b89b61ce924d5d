"""Train one built-in model and write its weight file.

    tools/train/train MODEL [--samples N] [--epochs E] [--seed S] [--out PATH]
"""
import argparse
import time
from pathlib import Path

import torch

from . import model_file
from .model_table import MODELS, model_by_name
from .training import train

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
    parser.add_argument("--out", type=Path, help="default: weights/MODEL.eisnn")
    args = parser.parse_args(argv)

    torch.set_num_threads(args.threads)
    spec = model_by_name(args.model)
    out = args.out or Path(__file__).resolve().parents[3] / "weights" / f"{spec.name}.eisnn"
    started = time.monotonic()
    trained = train(spec, args.samples, args.epochs, args.seed, log=lambda s: print(s, flush=True))
    data = model_file.export(spec, trained.arrays, trained.target_mean, trained.target_std)
    out.write_bytes(data)
    print(f"wrote {out} ({len(data)} bytes) in {time.monotonic() - started:.0f} s", flush=True)


if __name__ == "__main__":
    main()
