"""Synthetic spectra from the module itself, and their network inputs.

Impedances come from kelvra's own evaluation, so the formulas a network is
trained on are the ones the module fits with.
"""
from dataclasses import dataclass

import numpy as np

from . import output_scaling, sampling
from .features import spectrum_features


def synthesize(topology, cells, rng):
    """One noisy spectrum (frequencies, impedances) per cell."""
    import kelvra  # imported here so that the rest of the tool works without a build

    circuit = kelvra.Circuit(topology)
    spectra = []
    for values, lo, hi in zip(cells.values, cells.log_f_lo, cells.log_f_hi):
        freq = sampling.frequency_grid(lo, hi, rng)
        z = np.asarray(circuit.with_values(values.tolist()).impedance(freq))
        spectra.append((freq, sampling.add_noise(z, rng)))
    return spectra


def generate(spec, n, rng, margin=sampling.TRAIN_MARGIN):
    """(cells, spectra) for n random cells of a model's topology."""
    cells = sampling.sample_cells(spec.param_names, n, rng, margin)
    return cells, synthesize(spec.topology, cells, rng)


@dataclass(frozen=True)
class Features:
    image: np.ndarray        # [N, 3, G]
    extras: np.ndarray       # [N, 2]
    r_scale: np.ndarray      # [N]
    omega_scale: np.ndarray  # [N]


def featurize(spectra):
    computed = [spectrum_features(freq, z) for freq, z in spectra]
    return Features(np.stack([c[0] for c in computed]), np.stack([c[1] for c in computed]),
                    np.array([c[2] for c in computed]), np.array([c[3] for c in computed]))


def targets(spec, cells, features):
    """Un-normalised network targets [N, P]: the inverse of the decoding."""
    names = list(spec.param_names)
    return output_scaling.encode(cells.values, features.r_scale, features.omega_scale,
                                 output_scaling.scaling_rows(names),
                                 output_scaling.log_flags(names))
