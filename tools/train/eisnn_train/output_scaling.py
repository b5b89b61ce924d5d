"""How network outputs map to circuit parameters, and back for training targets.

Every output is predicted in units made dimensionless by the spectrum's
impedance scale R and angular-frequency scale w (see features.py):

    p = R**r_power * p' * w**(omega_power + alpha_factor * alpha)

where p' is 10**v for logarithmic outputs and v itself (clamped) for the
linear ones. The exponents follow each parameter's physical unit.
"""
import numpy as np

from .architecture import ALPHA_MAX, ALPHA_MIN

NO_ALPHA = -1

# field -> (r_power, omega_power, alpha_factor, takes the same element's alpha)
_FIELD_SCALING = {
    "r": (1.0, 0.0, 0.0, False),      # ohm
    "z0": (1.0, 0.0, 0.0, False),     # ohm
    "c": (-1.0, -1.0, 0.0, False),    # F = s / ohm
    "l": (1.0, -1.0, 0.0, False),     # H = ohm s
    "q": (-1.0, 0.0, -1.0, True),     # s^alpha / ohm
    "alpha": (0.0, 0.0, 0.0, False),  # dimensionless, predicted linearly
    "aw": (1.0, 0.5, 0.0, False),     # ohm s^-1/2
    "tau": (0.0, -1.0, 0.0, False),   # s
}
LINEAR_FIELDS = ("alpha",)


def _split(name):
    label, field = name.split(".")
    return label, field


def scaling_rows(param_names):
    """The weight file's "scaling" tensor: one (r_power, omega_power,
    alpha_factor, alpha_index) row per output."""
    rows = []
    for name in param_names:
        label, field = _split(name)
        r_power, omega_power, alpha_factor, uses_alpha = _FIELD_SCALING[field]
        alpha_index = param_names.index(f"{label}.alpha") if uses_alpha else NO_ALPHA
        rows.append((r_power, omega_power, alpha_factor, float(alpha_index)))
    return np.array(rows, dtype=np.float64)


def log_flags(param_names):
    """The weight file's "log_params": 0 for linear outputs, 1 for the rest."""
    return np.array([0.0 if _split(n)[1] in LINEAR_FIELDS else 1.0 for n in param_names])


def alpha_indices(rows):
    """The fourth column as integers: nearest, halves away from zero, NaN 0."""
    column = np.nan_to_num(rows[:, 3], nan=0.0)
    return (np.sign(column) * np.floor(np.abs(column) + 0.5)).astype(int)


def _omega_exponent(rows, params):
    """omega_power + alpha_factor * alpha per output, for a batch [N, P]."""
    alpha_index = alpha_indices(rows)
    alpha = np.where(alpha_index >= 0, params[:, np.maximum(alpha_index, 0)], 0.0)
    return rows[:, 1] + rows[:, 2] * alpha


def encode(params, r_scale, omega_scale, rows, logs):
    """Physical parameters [N, P] -> un-normalised network targets [N, P]."""
    params = np.asarray(params, dtype=np.float64)
    r = np.asarray(r_scale, dtype=np.float64)[:, None]
    w = np.asarray(omega_scale, dtype=np.float64)[:, None]
    reduced = params / (r ** rows[:, 0] * w ** _omega_exponent(rows, params))
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(logs != 0, np.log10(reduced), reduced)


def decode(values, r_scale, omega_scale, rows, logs,
           alpha_min=ALPHA_MIN, alpha_max=ALPHA_MAX):
    """De-normalised network outputs [N, P] -> physical parameters [N, P].

    Linear outputs are clamped before they enter any exponent, so a CPE's q
    is scaled with the same alpha that is reported for it.
    """
    values = np.asarray(values, dtype=np.float64)
    r = np.asarray(r_scale, dtype=np.float64)[:, None]
    w = np.asarray(omega_scale, dtype=np.float64)[:, None]
    with np.errstate(over="ignore"):
        reduced = np.where(logs != 0, 10.0 ** values, np.clip(values, alpha_min, alpha_max))
    return r ** rows[:, 0] * reduced * w ** _omega_exponent(rows, reduced)
