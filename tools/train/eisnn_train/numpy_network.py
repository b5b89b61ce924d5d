"""Inference from a loaded weight file in NumPy float64, batched.

This runs the exported (half-float) weights as the module does, so what it
predicts is what a user of the module gets, not what the torch copy did
before rounding.
"""
import numpy as np

from . import output_scaling
from .architecture import NORM_EPS
from .features import spectrum_features

GELU_CUBIC = 0.044715
SQRT_2_OVER_PI = 0.7978845608028654


def gelu(x):
    return (np.tanh((((GELU_CUBIC * x) * x) * x + x) * SQRT_2_OVER_PI) + 1.0) * (0.5 * x)


def conv1d(model, x, prefix, dilation):
    """Zero-padded 'same' dilated convolution: x [B, C_in, G] -> [B, C_out, G]."""
    weight, bias = model.layer(prefix)
    length = x.shape[2]
    pad = dilation * (model.kernel - 1) // 2
    padded = np.pad(x, ((0, 0), (0, 0), (pad, pad)))
    out = np.broadcast_to(bias[:, None], (x.shape[0], weight.shape[0], length)).copy()
    for k in range(model.kernel):
        start = k * dilation
        out += np.matmul(weight[:, :, k], padded[:, :, start:start + length])
    return out


def group_norm(model, x, prefix):
    """Normalise each group of channels over its channels and positions
    (population variance)."""
    scale, shift = model.layer(prefix)
    batch, channels, length = x.shape
    grouped = x.reshape(batch, model.groups, -1)
    mean = grouped.mean(axis=2, keepdims=True)
    var = ((grouped - mean) ** 2).mean(axis=2, keepdims=True)
    normed = ((grouped - mean) / np.sqrt(var + NORM_EPS)).reshape(batch, channels, length)
    return normed * scale[:channels, None] + shift[:channels, None]


def linear(model, v, prefix):
    weight, bias = model.layer(prefix)
    return v @ weight.T + bias


def forward(model, image, extras):
    """Raw outputs [B, 2P] for inputs image [B, 3, G] and extras [B, 2]."""
    h = conv1d(model, image, "stem", 1)
    for i, dilation in enumerate(model.dilations):
        prefix = f"blocks.{i}."
        u = gelu(group_norm(model, conv1d(model, h, prefix + "conv1", dilation), prefix + "norm1"))
        u = group_norm(model, conv1d(model, u, prefix + "conv2", dilation), prefix + "norm2")
        h = gelu(h + u)
    # NaN positions are ignored by the max, as in the module.
    peak = np.fmax.reduce(h, axis=2, initial=-np.inf)
    v = np.concatenate((h.mean(axis=2), peak, extras), axis=1)
    v = gelu(linear(model, v, "head.0"))
    v = gelu(linear(model, v, "head.2"))
    return linear(model, v, "head.4")


def decode_outputs(model, raw, r_scale, omega_scale):
    """Raw outputs [B, 2P] -> physical parameters [B, P] in param_names order."""
    n_params = len(model.param_names)
    values = model.target_mean + model.target_std * raw[:, :n_params]
    return output_scaling.decode(values, r_scale, omega_scale, model.scaling,
                                 model.log_params, model.alpha_min, model.alpha_max)


def predict(model, spectra):
    """Parameters [B, P] for a list of (frequencies, complex impedances)."""
    computed = [spectrum_features(freq, z, model.n_grid) for freq, z in spectra]
    image = np.stack([c[0] for c in computed])
    extras = np.stack([c[1] for c in computed])
    r_scale = np.array([c[2] for c in computed])
    omega_scale = np.array([c[3] for c in computed])
    return decode_outputs(model, forward(model, image, extras), r_scale, omega_scale)
