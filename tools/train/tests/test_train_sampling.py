import numpy as np
import pytest

from eisnn_train import dataset, sampling
from eisnn_train.model_table import MODELS, model_by_name

ALL_MODELS = [pytest.param(spec, id=spec.name) for spec in MODELS]
TOLERANCE = 1e-9


def column(spec, cells, name):
    return cells.values[:, spec.param_names.index(name)]


def log_corners(spec, cells):
    """log10 corner frequency of each process, worked out from the values:
    ordered processes (arcs fastest first, then diffusion) and the lead
    inductance."""
    shape = sampling.layout(spec.param_names)
    taus = []
    for k in shape.arcs:
        r = column(spec, cells, f"R{k}.r")
        if k in shape.cpe_arcs:
            alpha = column(spec, cells, f"CPE{k}.alpha")
            taus.append((r * column(spec, cells, f"CPE{k}.q")) ** (1 / alpha))
        else:
            taus.append(r * column(spec, cells, f"C{k}.c"))
    if shape.diffusion:
        k, kind = shape.diffusion
        taus.append((column(spec, cells, f"R{k}.r") / column(spec, cells, f"W{k}.aw")) ** 2
                    if kind == "W" else column(spec, cells, f"Wo{k}.tau"))
    if shape.inductor:
        inductor = column(spec, cells, "L0.l") / column(spec, cells, "R0.r")
    corner = lambda tau: np.log10(1 / (2 * np.pi * tau))
    return np.stack([corner(t) for t in taus], axis=1), (corner(inductor) if shape.inductor else None)


@pytest.mark.parametrize("spec", ALL_MODELS)
def test_evaluation_cells_keep_processes_inside_the_band(spec):
    cells = sampling.sample_cells(spec.param_names, 300, np.random.default_rng(7),
                                  margin=sampling.EVAL_MARGIN)
    ordered, inductor = log_corners(spec, cells)
    every = ordered if inductor is None else np.column_stack((ordered, inductor))
    inside = -sampling.EVAL_MARGIN - TOLERANCE
    assert np.all(every >= cells.log_f_lo[:, None] + inside)
    assert np.all(every <= cells.log_f_hi[:, None] - inside)
    assert np.all(-np.diff(ordered, axis=1) >= sampling.MIN_SEPARATION - TOLERANCE)
    if inductor is not None:
        assert np.all(inductor >= ordered[:, 0] - TOLERANCE)


@pytest.mark.parametrize("spec", ALL_MODELS)
def test_cells_stay_within_physical_ranges(spec):
    cells = sampling.sample_cells(spec.param_names, 300, np.random.default_rng(8))
    ranges = {"r": (-3, 3), "z0": (-3, 3), "c": (-9, 0), "q": (-9, 0), "l": (-9, -5)}
    for i, name in enumerate(spec.param_names):
        field = name.split(".")[1]
        if field == "alpha":
            assert np.all((cells.values[:, i] >= 0.5) & (cells.values[:, i] <= 1.0))
        elif field in ranges:
            lo, hi = ranges[field]
            logs = np.log10(cells.values[:, i])
            assert np.all((logs >= lo - TOLERANCE) & (logs <= hi + TOLERANCE)), name
    assert np.all(cells.log_f_lo >= sampling.LOG_F_MIN)
    assert np.all(cells.log_f_hi <= sampling.LOG_F_MAX + TOLERANCE)


def test_frequency_grids_look_like_instrument_sweeps():
    rng = np.random.default_rng(9)
    grids = [sampling.frequency_grid(-1.0, 4.0, rng) for _ in range(400)]
    counts = [len(g) for g in grids]
    assert min(counts) >= sampling.POINTS_MIN - sampling.MAX_DROPPED
    assert max(counts) <= sampling.POINTS_MAX
    assert all(np.all(np.abs(np.diff(np.log10(g))) > 0) for g in grids)
    descending = np.mean([g[0] > g[-1] for g in grids])
    assert 0.2 < descending < 0.4


def reference_impedance(spec, values, freq):
    """Independent formulas for the topologies the generator test uses."""
    w = 2 * np.pi * freq
    v = dict(zip(spec.param_names, values))
    cpe = lambda k: 1 / (v[f"CPE{k}.q"] * (1j * w) ** v[f"CPE{k}.alpha"])
    par = lambda a, b: a * b / (a + b)
    if spec.name == "rq_l":
        return 1j * w * v["L0.l"] + v["R0.r"] + par(v["R1.r"], cpe(1))
    s = np.sqrt(1j * w * v["Wo2.tau"])
    wo = v["Wo2.z0"] / (s * np.tanh(s))
    return v["R0.r"] + par(v["R1.r"], cpe(1)) + par(v["R2.r"] + wo, cpe(2))


@pytest.mark.parametrize("name", ["rq_l", "sei_randles_wo"])
def test_generated_spectra_follow_the_circuit_within_the_noise(name):
    pytest.importorskip("kelvra")
    spec = model_by_name(name)
    rng = np.random.default_rng(10)
    cells, spectra = dataset.generate(spec, 20, rng)
    for values, (freq, z) in zip(cells.values, spectra):
        relative = np.abs(z / reference_impedance(spec, values, freq) - 1)
        # At most 2 % per component: 5 sigma is 0.1 in modulus.
        assert np.max(relative) < 5 * np.sqrt(2) * sampling.NOISE_MAX
