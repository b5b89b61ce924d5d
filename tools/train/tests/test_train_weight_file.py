import struct
from pathlib import Path

import numpy as np
import pytest

from eisnn_train import model_file, weight_file
from eisnn_train.model_table import MODELS
from eisnn_train.network import SpectrumNet
from eisnn_train.weight_file import MAGIC, WeightFileError, unpack

WEIGHTS_DIR = Path(__file__).resolve().parents[3] / "weights"
ALL_MODELS = [pytest.param(spec, id=spec.name) for spec in MODELS]
EXPECTED_META = ["circuit", "param_names", "estimator", "n_grid", "channels", "kernel",
                 "groups", "dilations", "alpha_min", "alpha_max"]


def expected_shapes(spec):
    c, h, p, k = spec.channels, spec.head_width, spec.n_params, 5
    conv = {"weight": (c, c, k), "bias": (c,)}
    norm = {"weight": (c,), "bias": (c,)}
    shapes = {"w.stem.weight": (c, 3, k), "w.stem.bias": (c,)}
    for i in range(4):
        for layer, kind in (("conv1", conv), ("norm1", norm), ("conv2", conv), ("norm2", norm)):
            for part, shape in kind.items():
                shapes[f"w.blocks.{i}.{layer}.{part}"] = shape
    for layer, (rows, cols) in (("head.0", (h, 2 * c + 2)), ("head.2", (h, h)), ("head.4", (2 * p, h))):
        shapes[f"w.{layer}.weight"] = (rows, cols)
        shapes[f"w.{layer}.bias"] = (rows,)
    shapes.update({"target_mean": (p,), "target_std": (p,), "scaling": (p, 4), "log_params": (p,)})
    return shapes


def check_weight_file(spec, data):
    """Everything the module relies on, checked from the bytes."""
    assert len(data) == spec.file_bytes
    parsed = unpack(data)
    assert [key for key, _ in parsed.metadata] == EXPECTED_META
    meta = dict(parsed.metadata)
    assert meta["circuit"] == spec.topology
    assert tuple(meta["param_names"].split(",")) == spec.param_names
    assert (meta["estimator"], meta["n_grid"], meta["kernel"], meta["groups"]) == \
        ("reactive_centroid", "64", "5", "8")
    assert (meta["dilations"], meta["alpha_min"], meta["alpha_max"]) == ("1,2,4,8", "0.05", "1.0")
    assert meta["channels"] == str(spec.channels)
    shapes = expected_shapes(spec)
    assert [t.name for t in parsed.tensors] == list(shapes)
    for record in parsed.tensors:
        assert record.dims == shapes[record.name], record.name
        assert record.encoding == (1 if record.name.startswith("w.") else 0), record.name
        assert np.all(np.isfinite(record.values)), record.name
    alpha = [i for i, name in enumerate(spec.param_names) if name.endswith(".alpha")]
    log_params = parsed.tensor("log_params")
    assert [i for i in range(spec.n_params) if log_params[i] == 0] == alpha
    assert np.all(parsed.tensor("target_std") > 0)


@pytest.mark.parametrize("spec", ALL_MODELS)
def test_exported_file_has_the_table_layout(spec):
    net = SpectrumNet(spec.channels, spec.head_width, spec.n_params)
    arrays = {name: value.double().numpy() for name, value in net.state_dict().items()}
    data = model_file.export(spec, arrays, np.zeros(spec.n_params), np.ones(spec.n_params))
    check_weight_file(spec, data)


@pytest.mark.parametrize("spec", ALL_MODELS)
def test_committed_weight_file_has_the_table_layout(spec):
    path = WEIGHTS_DIR / f"{spec.name}.eisnn"
    if not path.exists():
        pytest.skip(f"{path.name} not trained yet")
    check_weight_file(spec, path.read_bytes())


def test_export_refuses_weights_beyond_half_precision():
    spec = MODELS[0]
    net = SpectrumNet(spec.channels, spec.head_width, spec.n_params)
    arrays = {name: value.double().numpy() for name, value in net.state_dict().items()}
    arrays["stem.bias"][0] = 1e6
    with pytest.raises(ValueError, match="does not fit"):
        model_file.export(spec, arrays, np.zeros(spec.n_params), np.ones(spec.n_params))


def record(name, encoding, dims, payload):
    name_bytes = name.encode()
    return (struct.pack("<I", len(name_bytes)) + name_bytes + bytes((encoding, len(dims)))
            + b"".join(struct.pack("<I", d) for d in dims) + payload)


def file_with(*records):
    return MAGIC + struct.pack("<I", 0) + struct.pack("<I", len(records)) + b"".join(records)


@pytest.mark.parametrize("encoding, dims, payload, expected", [
    (1, (4,), bytes([0x00, 0x3C, 0x01, 0x00, 0x00, 0x7C, 0x00, 0xFE]), [1.0, 2.0 ** -24, np.inf, np.nan]),
    (2, (2,), struct.pack("<f", 0.5) + bytes([0xFF, 0x02]), [-0.5, 1.0]),
    (0, (), struct.pack("<f", 1.5), [1.5]),
    (0, (3, 0), struct.pack("<f", 2.5), [2.5]),
])
def test_reader_decodes_every_encoding(encoding, dims, payload, expected):
    parsed = unpack(file_with(record("t", encoding, dims, payload)))
    np.testing.assert_array_equal(parsed.tensors[0].values, expected)


@pytest.mark.parametrize("data, message", [
    (MAGIC[:7], "weight file is truncated"),
    (b"EISNN002", "not an eisnn weight file (bad magic bytes)"),
    (MAGIC, "weight file is truncated"),
    (file_with(record("t", 3, (1,), b"\0\0\0\0")),
     "weight file uses tensor encoding 3, which this build does not know"),
    (file_with(record("t", 0, (0xFFFFFFFF, 0xFFFFFFFF), b"")), "weight file is truncated"),
], ids=["short", "bad magic", "no meta count", "unknown encoding", "huge count"])
def test_reader_rejects_broken_files(data, message):
    with pytest.raises(WeightFileError, match=message.replace("(", r"\(").replace(")", r"\)")):
        unpack(data)


def test_later_duplicate_key_wins():
    parsed = weight_file.WeightFile([("n_grid", "32"), ("n_grid", "64")], [])
    assert parsed.meta("n_grid") == "64"
    with pytest.raises(WeightFileError, match='weight file is missing "kernel"'):
        parsed.meta("kernel")
