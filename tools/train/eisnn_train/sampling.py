"""Random cells and measurement grids for one model topology.

A cell is drawn in the terms that decide what a spectrum looks like: the
measured band, each process's corner frequency inside (or near) that band,
resistances around a common reference, CPE exponents. The element values
follow from those, and cells whose values fall outside the ranges real
cells show are drawn again. README.md lists every distribution.

A topology is read from its parameter names: "L0" is a lead inductance in
series with "R0"; every label number k >= 1 is an arc made of Rk with Ck or
CPEk, optionally with a diffusion element Wk or Wok in the resistive branch.
"""
from dataclasses import dataclass

import numpy as np

TWO_PI = 6.283185307179586

# Instrument band limits and the band's width, log10 Hz and decades.
LOG_F_MIN, LOG_F_MAX = -3.0, 6.0
SPAN_MIN, SPAN_MAX = 2.0, 9.0
POINTS_MIN, POINTS_MAX = 10, 100
DESCENDING_FRACTION = 0.3
DROPPED_FRACTION = 0.2
MAX_DROPPED = 3
# Proportional noise: each spectrum gets a level drawn up to this, applied
# to the real and imaginary parts of Z as a fraction of Z.
NOISE_MAX = 0.02

# Resistances: a cell reference, then each resistance within a decade of it.
LOG_R_REF_MIN, LOG_R_REF_MAX = -2.0, 2.0
LOG_R_SPREAD = 1.0
ALPHA_MIN, ALPHA_MAX = 0.5, 1.0
# Accepted element ranges: capacitances and CPE q (nF to F), inductances.
LOG_C_MIN, LOG_C_MAX = -9.0, 0.0
LOG_L_MIN, LOG_L_MAX = -9.0, -5.0

# Consecutive processes (arc 1, arc 2, diffusion) are at least this many
# decades apart: closer ones merge and no spectrum can tell them apart.
MIN_SEPARATION = 1.0
# Corner frequencies in training may lie this far outside the band, so the
# network has seen half-visible arcs; evaluation keeps them this far inside.
TRAIN_MARGIN = 0.25
EVAL_MARGIN = -0.5

# Candidates drawn per wanted cell in each rejection round.
OVERSAMPLING = 4


@dataclass(frozen=True)
class Layout:
    inductor: bool
    arcs: tuple        # label numbers of the arcs, fastest first
    cpe_arcs: tuple    # those whose capacitive element is a CPE
    diffusion: tuple   # (arc number, "W" or "Wo"), or () without one


def layout(param_names):
    labels = {name.split(".")[0] for name in param_names}
    arcs = sorted({int(label[1:]) for label in labels if label[:1] == "R" and label != "R0"})
    diffusion = [(k, kind) for k in arcs for kind in ("W", "Wo") if f"{kind}{k}" in labels]
    return Layout(inductor="L0" in labels, arcs=tuple(arcs),
                  cpe_arcs=tuple(k for k in arcs if f"CPE{k}" in labels),
                  diffusion=tuple(diffusion[0]) if diffusion else ())


@dataclass(frozen=True)
class Cells:
    values: np.ndarray     # [N, P] in param_names order
    log_f_lo: np.ndarray   # [N] band limits, log10 Hz
    log_f_hi: np.ndarray


def _draw(param_names, n, rng, margin):
    """n candidate cells; returns (values, lo, hi, accepted mask)."""
    shape = layout(param_names)
    span = rng.uniform(SPAN_MIN, SPAN_MAX, n)
    lo = rng.uniform(LOG_F_MIN, LOG_F_MAX - span, n)
    hi = lo + span

    def corners(count):
        drawn = rng.uniform(lo[:, None] - margin, hi[:, None] + margin, (n, count))
        return -np.sort(-drawn, axis=1)  # fastest (highest frequency) first

    # The lead inductance takes over above the cell's fastest arc: where it
    # sits lower it hides the arcs, and no fit can resolve them.
    drawn = corners(len(shape.arcs) + bool(shape.diffusion) + shape.inductor)
    inductor_corner, ordered = (drawn[:, 0], drawn[:, 1:]) if shape.inductor else (None, drawn)
    ok = np.all(-np.diff(ordered, axis=1) >= MIN_SEPARATION, axis=1)
    tau = 1.0 / (TWO_PI * 10.0 ** ordered)

    r_ref = 10.0 ** rng.uniform(LOG_R_REF_MIN, LOG_R_REF_MAX, n)

    def resistance():
        return r_ref * 10.0 ** rng.uniform(-LOG_R_SPREAD, LOG_R_SPREAD, n)

    values = {"R0.r": resistance()}
    log_capacitive = []
    for i, k in enumerate(shape.arcs):
        r = values[f"R{k}.r"] = resistance()
        if k in shape.cpe_arcs:
            alpha = values[f"CPE{k}.alpha"] = rng.uniform(ALPHA_MIN, ALPHA_MAX, n)
            values[f"CPE{k}.q"] = tau[:, i] ** alpha / r
            log_capacitive.append(np.log10(values[f"CPE{k}.q"]))
        else:
            values[f"C{k}.c"] = tau[:, i] / r
            log_capacitive.append(np.log10(values[f"C{k}.c"]))
    if shape.diffusion:
        k, kind = shape.diffusion
        tau_diffusion = tau[:, -1]
        if kind == "W":
            # Below omega = (aw / Rk)^2 the Warburg outgrows the charge transfer.
            values[f"W{k}.aw"] = values[f"R{k}.r"] / np.sqrt(tau_diffusion)
        else:
            values[f"Wo{k}.z0"] = resistance()
            values[f"Wo{k}.tau"] = tau_diffusion
    for log_c in log_capacitive:
        ok &= (log_c >= LOG_C_MIN) & (log_c <= LOG_C_MAX)
    if shape.inductor:
        # The inductance outgrows R0 above omega = R0 / L.
        tau_l = 1.0 / (TWO_PI * 10.0 ** inductor_corner)
        values["L0.l"] = values["R0.r"] * tau_l
        log_l = np.log10(values["L0.l"])
        ok &= (log_l >= LOG_L_MIN) & (log_l <= LOG_L_MAX)
    return np.stack([values[name] for name in param_names], axis=1), lo, hi, ok


def sample_cells(param_names, n, rng, margin=TRAIN_MARGIN):
    """n accepted cells for the topology whose parameters are param_names."""
    parts, have = [], 0
    while have < n:
        values, lo, hi, ok = _draw(list(param_names), OVERSAMPLING * (n - have), rng, margin)
        parts.append((values[ok], lo[ok], hi[ok]))
        have += int(ok.sum())
    values, lo, hi = (np.concatenate(p)[:n] for p in zip(*parts))
    return Cells(values, lo, hi)


def frequency_grid(log_f_lo, log_f_hi, rng):
    """Frequencies of one sweep: log-spaced, sometimes descending, sometimes
    with a few points lost."""
    count = int(rng.integers(POINTS_MIN, POINTS_MAX + 1))
    freq = np.logspace(log_f_lo, log_f_hi, count)
    if rng.random() < DESCENDING_FRACTION:
        freq = freq[::-1]
    if rng.random() < DROPPED_FRACTION:
        dropped = rng.choice(count, size=int(rng.integers(1, MAX_DROPPED + 1)), replace=False)
        freq = np.delete(freq, dropped)
    return freq


def add_noise(z, rng):
    """Proportional complex noise at a level drawn for this spectrum."""
    level = rng.uniform(0.0, NOISE_MAX)
    return z * (1.0 + level * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))))
