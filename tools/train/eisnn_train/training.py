"""Training loop: Gaussian negative log-likelihood on normalised targets.

The first P outputs learn the normalised targets, the other P their
log-variances; a parameter the spectrum does not determine then costs a
wide variance instead of dragging the means of the others about.
"""
import copy
import math
import time
from dataclasses import dataclass

import numpy as np
import torch

from . import dataset
from .network import SpectrumNet, gaussian_nll

VALIDATION_FRACTION = 0.05
BATCH_SIZE = 256
LEARNING_RATE = 1e-3
# Cosine decay from the starting learning rate down to this fraction of
# it, after a linear warm-up over the first epoch (the likelihood is touchy
# early on, while the variances are still far off).
FINAL_LR_FRACTION = 0.01
WARMUP_EPOCHS = 1
GRAD_CLIP_NORM = 1.0


@dataclass(frozen=True)
class Trained:
    arrays: dict             # layer name -> float64 array
    target_mean: np.ndarray
    target_std: np.ndarray


def _schedule(total_steps, warmup_steps):
    def factor(step):
        if step < warmup_steps:
            return (step + 1) / warmup_steps
        progress = (step - warmup_steps) / max(1, total_steps - warmup_steps)
        return FINAL_LR_FRACTION + (1 - FINAL_LR_FRACTION) * 0.5 * (1 + math.cos(math.pi * progress))
    return factor


def _as_tensors(features, normalised, rows):
    return (torch.from_numpy(features.image[rows]).float(),
            torch.from_numpy(features.extras[rows]).float(),
            torch.from_numpy(normalised[rows]).float())


def _evaluate(net, data, std):
    """Validation NLL and median |error| per output in target units
    (decades for the logarithmic outputs)."""
    image, extras, target = data
    with torch.no_grad():
        mean, log_var = net(image, extras)
        nll = gaussian_nll(mean, log_var, target).item()
    error = (mean - target).abs().numpy() * std
    return nll, np.median(error, axis=0)


def _warm_start(net, start):
    """Copy a weight file's network into net. The file's half floats are
    where training resumes from, so a resumed run is reproducible from the
    committed file alone."""
    state = {name[len("w."):]: torch.from_numpy(np.ascontiguousarray(value)).float()
             for name, value in start.tensors.items()}
    net.load_state_dict(state)


def train(spec, n_samples, epochs, seed, log=print, start=None, learning_rate=LEARNING_RATE):
    """Train a fresh network, or go on from start (a loaded weight file of
    the same model, whose target normalisation is then kept)."""
    rng = np.random.default_rng(seed)
    torch.manual_seed(seed)
    started = time.monotonic()
    cells, spectra = dataset.generate(spec, n_samples, rng)
    features = dataset.featurize(spectra)
    del spectra
    targets = dataset.targets(spec, cells, features)
    finite = np.all(np.isfinite(targets), axis=1) & np.all(np.isfinite(features.image), axis=(1, 2))
    rows = np.flatnonzero(finite)
    n_val = int(len(rows) * VALIDATION_FRACTION)
    train_rows, val_rows = rows[n_val:], rows[:n_val]
    if start is None:
        target_mean = targets[train_rows].mean(axis=0)
        target_std = targets[train_rows].std(axis=0)
    else:
        target_mean = start.target_mean.astype(np.float64)
        target_std = start.target_std.astype(np.float64)
    normalised = (targets - target_mean) / target_std
    log(f"{spec.name}: {len(rows)} usable spectra of {n_samples} "
        f"({time.monotonic() - started:.0f} s to generate)")

    image, extras, target = _as_tensors(features, normalised, train_rows)
    validation = _as_tensors(features, normalised, val_rows)
    net = SpectrumNet(spec.channels, spec.head_width, spec.n_params)
    if start is not None:
        _warm_start(net, start)
    optimizer = torch.optim.Adam(net.parameters(), lr=learning_rate)
    steps_per_epoch = math.ceil(len(train_rows) / BATCH_SIZE)
    scheduler = torch.optim.lr_scheduler.LambdaLR(
        optimizer, _schedule(epochs * steps_per_epoch, WARMUP_EPOCHS * steps_per_epoch))

    best_nll, best_state = math.inf, None
    for epoch in range(epochs):
        net.train()
        order = torch.randperm(len(train_rows))
        total = 0.0
        for start in range(0, len(order), BATCH_SIZE):
            batch = order[start:start + BATCH_SIZE]
            mean, log_var = net(image[batch], extras[batch])
            loss = gaussian_nll(mean, log_var, target[batch])
            optimizer.zero_grad()
            loss.backward()
            torch.nn.utils.clip_grad_norm_(net.parameters(), GRAD_CLIP_NORM)
            optimizer.step()
            scheduler.step()
            total += loss.item() * len(batch)
        net.eval()
        val_nll, val_median = _evaluate(net, validation, target_std)
        if val_nll < best_nll:
            best_nll, best_state = val_nll, copy.deepcopy(net.state_dict())
        medians = " ".join(f"{m:.3f}" for m in val_median)
        log(f"epoch {epoch + 1}/{epochs}: train {total / len(train_rows):.4f} "
            f"val {val_nll:.4f} median |err| [{medians}] ({time.monotonic() - started:.0f} s)")

    arrays = {name: value.double().numpy() for name, value in best_state.items()}
    return Trained(arrays, target_mean, target_std)
