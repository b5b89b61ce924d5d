"""Scale-free features of one spectrum, computed as the module computes them.

A spectrum becomes a 3 x N_GRID image on a log-frequency grid plus two
scalars, after dividing out an impedance scale and an angular-frequency
scale; the network therefore never sees absolute ohms or hertz, and its
outputs are put back into physical units with the same two scales.
"""
import math

import numpy as np

from .architecture import N_GRID

TWO_PI = 6.283185307179586
HALF_PI = 1.5707963267948966
# Below this total reactive weight the spectrum has no capacitive part to
# centre on, and the plain geometric centre of the band is used instead.
MIN_REACTIVE_WEIGHT = 1e-9
# Input scalings that keep every channel and scalar of order one.
PHASE_SCALE = 1.0 / HALF_PI
LOG_OMEGA_SCALE = 0.25
SPAN_SCALE = 0.125
LOG_COUNT_SCALE = 0.5


def spectrum_scales(freq, z):
    """The "reactive_centroid" scales (r_scale in ohm, omega_scale in rad/s).

    Geometric means of |Z| and of omega weighted by how capacitive each point
    is, so that the scales sit where the spectrum's arcs are.
    """
    freq = np.asarray(freq, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    modulus = np.hypot(z.real, z.imag)
    usable = (freq > 0) & (modulus > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        weight = -z.imag[usable] / modulus[usable]
    weight = np.where(np.isnan(weight), 0.0, np.maximum(weight, 0.0))
    total = weight.sum()
    if total >= MIN_REACTIVE_WEIGHT:
        r_scale = float(np.exp(np.dot(weight, np.log(modulus[usable])) / total))
        omega_scale = float(np.exp(np.dot(weight, np.log(TWO_PI * freq[usable])) / total))
        return r_scale, omega_scale
    with np.errstate(divide="ignore", invalid="ignore"):
        omega_scale = float(np.exp(np.mean(np.log(TWO_PI * freq))))
    # Upper median: the element at n // 2 of the sorted moduli.
    r_scale = float(np.sort(modulus)[len(modulus) // 2])
    return r_scale, omega_scale


def unwrap_phase(angle):
    """Phase continued across the +-pi cut, each step taken as the shortest turn.

    The wrapped step d' = d - 2 pi floor((d + pi) / 2 pi) lies in [-pi, pi);
    an exact -pi reached from a positive step is read as +pi.
    """
    step = np.diff(angle)
    wrapped = step - TWO_PI * np.floor((step + math.pi) / TWO_PI)
    wrapped = np.where((wrapped == -math.pi) & (step > 0), math.pi, wrapped)
    return np.concatenate(([angle[0]], angle[0] + np.cumsum(wrapped)))


def interpolate(xs, ys, x):
    """Clamped piecewise-linear interpolation at the points x (xs ascending).

    Where two abscissae coincide the left ordinate is taken, so repeated
    frequencies never divide by zero.
    """
    x = np.asarray(x, dtype=np.float64)
    last = len(xs) - 1
    # j = number of xs <= x, so xs[j-1] <= x < xs[j] strictly inside.
    j = np.clip(np.searchsorted(xs, x, side="right"), 1, last)
    x0, x1, y0, y1 = xs[j - 1], xs[j], ys[j - 1], ys[j]
    with np.errstate(divide="ignore", invalid="ignore"):
        inner = np.where(x0 == x1, y0, y0 + (x - x0) * (y1 - y0) / (x1 - x0))
    return np.where(x <= xs[0], ys[0], np.where(x >= xs[last], ys[last], inner))


def spectrum_features(freq, z, n_grid=N_GRID):
    """Network input of one spectrum.

    Returns (image [3, n_grid], extras [2], r_scale, omega_scale). Points may
    come in any order; they are sorted by frequency (stable, so repeated
    frequencies keep their input order).
    """
    freq = np.asarray(freq, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    if len(freq) < 2 or len(z) < 2:
        raise ValueError(f"need at least 2 frequency points to guess, got {min(len(freq), len(z))}")
    r_scale, omega_scale = spectrum_scales(freq, z)
    order = np.argsort(freq, kind="stable")
    with np.errstate(divide="ignore", invalid="ignore"):
        lf = np.log10(freq[order])
        lm = np.log10(np.hypot(z.real, z.imag)[order])
    phase = unwrap_phase(np.arctan2(z.imag, z.real)[order])

    span = lf[-1] - lf[0]
    step = span / (n_grid - 1) if n_grid > 1 else 0.0
    grid = np.arange(n_grid) * step + lf[0]
    with np.errstate(divide="ignore", invalid="ignore"):
        image = np.stack((
            interpolate(lf, lm, grid) - np.log10(r_scale),
            interpolate(lf, phase, grid) * PHASE_SCALE,
            (grid - np.log10(omega_scale / TWO_PI)) * LOG_OMEGA_SCALE,
        ))
    extras = np.array((span * SPAN_SCALE, math.log10(len(freq)) * LOG_COUNT_SCALE))
    return image, extras, r_scale, omega_scale
