"""A trained network as a weight file, and a weight file as a loaded model.

The file carries the ten metadata entries in a fixed order, the network
tensors as half floats, then the output normalisation and decoding tables
as single floats.
"""
from dataclasses import dataclass

import numpy as np

from . import output_scaling, weight_file
from .architecture import (ALPHA_MAX, ALPHA_MIN, DILATIONS, ESTIMATOR, GROUPS,
                           KERNEL, N_GRID)

_LAYER_TENSORS = ("weight", "bias")
_BLOCK_LAYERS = ("conv1", "norm1", "conv2", "norm2")
HEAD_LAYERS = ("head.0", "head.2", "head.4")
TABLE_TENSORS = ("target_mean", "target_std", "scaling", "log_params")


def _format_float(x):
    return repr(float(x))


def network_layer_prefixes(n_blocks):
    """Layer prefixes in file order: stem, each block's four layers, head."""
    blocks = [f"blocks.{i}.{layer}" for i in range(n_blocks) for layer in _BLOCK_LAYERS]
    return ["stem", *blocks, *HEAD_LAYERS]


def network_tensor_names(n_blocks):
    return [f"w.{prefix}.{part}" for prefix in network_layer_prefixes(n_blocks)
            for part in _LAYER_TENSORS]


def metadata(spec):
    return [
        ("circuit", spec.topology),
        ("param_names", ",".join(spec.param_names)),
        ("estimator", ESTIMATOR),
        ("n_grid", str(N_GRID)),
        ("channels", str(spec.channels)),
        ("kernel", str(KERNEL)),
        ("groups", str(GROUPS)),
        ("dilations", ",".join(str(d) for d in DILATIONS)),
        ("alpha_min", _format_float(ALPHA_MIN)),
        ("alpha_max", _format_float(ALPHA_MAX)),
    ]


def export(spec, arrays, target_mean, target_std):
    """Bytes of the weight file for a model of the table.

    arrays maps the network's layer names ("stem.weight", ...) to NumPy
    arrays. The result's length is checked against the table, which pins
    the format, the widths and the metadata texts all at once.
    """
    tensors = [(name, weight_file.ENCODING_FLOAT16, arrays[name[len("w."):]])
               for name in network_tensor_names(len(DILATIONS))]
    tables = (target_mean, target_std,
              output_scaling.scaling_rows(list(spec.param_names)),
              output_scaling.log_flags(spec.param_names))
    tensors += [(name, weight_file.ENCODING_FLOAT32, table)
                for name, table in zip(TABLE_TENSORS, tables)]
    data = weight_file.pack(metadata(spec), tensors)
    if len(data) != spec.file_bytes:
        raise ValueError(f"{spec.name}: exported {len(data)} bytes, the table says {spec.file_bytes}")
    return data


@dataclass(frozen=True)
class LoadedModel:
    """What inference needs from one weight file, widened to float64."""
    circuit: str
    param_names: list
    n_grid: int
    kernel: int
    groups: int
    dilations: list
    alpha_min: float
    alpha_max: float
    tensors: dict
    target_mean: np.ndarray
    target_std: np.ndarray
    log_params: np.ndarray
    scaling: np.ndarray

    def layer(self, prefix):
        return self.tensors[f"w.{prefix}.weight"], self.tensors[f"w.{prefix}.bias"]


def load(data):
    """Read a weight file's bytes; raises weight_file.WeightFileError."""
    parsed = weight_file.unpack(data)
    estimator = parsed.meta("estimator")
    if estimator != ESTIMATOR:
        raise weight_file.WeightFileError(
            f"weight file was normalised with the \"{estimator}\" scale estimator, "
            f"which this build does not implement (supported: {ESTIMATOR})")
    dilations = [int(piece.strip()) for piece in parsed.meta("dilations").split(",")]
    names = parsed.meta("param_names").split(",")
    n_params = len(names)
    tensors = {name: parsed.tensor(name) for name in network_tensor_names(len(dilations))}
    return LoadedModel(
        circuit=parsed.meta("circuit"),
        param_names=names,
        n_grid=int(parsed.meta("n_grid")),
        kernel=int(parsed.meta("kernel")),
        groups=int(parsed.meta("groups")),
        dilations=dilations,
        alpha_min=float(parsed.meta("alpha_min")),
        alpha_max=float(parsed.meta("alpha_max")),
        tensors=tensors,
        target_mean=parsed.tensor("target_mean")[:n_params],
        target_std=parsed.tensor("target_std")[:n_params],
        log_params=parsed.tensor("log_params")[:n_params],
        scaling=parsed.tensor("scaling").reshape(-1, 4)[:n_params],
    )
