import json

import numpy as np
import pytest
import torch

from eisnn_train import model_file, numpy_network, output_scaling, predict, sampling
from eisnn_train.model_table import MODELS, model_by_name
from eisnn_train.network import SpectrumNet


def half_precision_net(spec, seed):
    """A random network whose weights survive export unchanged."""
    torch.manual_seed(seed)
    net = SpectrumNet(spec.channels, spec.head_width, spec.n_params).double()
    with torch.no_grad():
        for p in net.parameters():
            # Larger than the default initialisation, so every layer matters.
            p.copy_((p * 3).half().double())
    return net


def exported(spec, net, mean, std):
    arrays = {name: value.numpy() for name, value in net.state_dict().items()}
    return model_file.load(model_file.export(spec, arrays, mean, std))


@pytest.mark.parametrize("name", ["rc", "sei_randles_wo"])
def test_numpy_forward_matches_torch(name):
    spec = model_by_name(name)
    net = half_precision_net(spec, seed=1)
    model = exported(spec, net, np.zeros(spec.n_params), np.ones(spec.n_params))
    rng = np.random.default_rng(2)
    image, extras = rng.standard_normal((4, 3, 64)), rng.standard_normal((4, 2))
    mean, log_var = net(torch.from_numpy(image), torch.from_numpy(extras))
    expected = torch.cat((mean, log_var), dim=1).detach().numpy()
    np.testing.assert_allclose(numpy_network.forward(model, image, extras), expected,
                               rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("spec", [pytest.param(s, id=s.name) for s in MODELS])
def test_decoding_inverts_target_encoding(spec):
    rng = np.random.default_rng(5)
    cells = sampling.sample_cells(spec.param_names, 50, rng)
    r_scale, omega_scale = 10 ** rng.uniform(-3, 3, 50), 10 ** rng.uniform(-2, 6, 50)
    names = list(spec.param_names)
    rows, logs = output_scaling.scaling_rows(names), output_scaling.log_flags(names)
    encoded = output_scaling.encode(cells.values, r_scale, omega_scale, rows, logs)
    decoded = output_scaling.decode(encoded, r_scale, omega_scale, rows, logs)
    np.testing.assert_allclose(decoded, cells.values, rtol=1e-10)


def test_decoding_clamps_alpha_before_scaling_q():
    names = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    rows, logs = output_scaling.scaling_rows(names), output_scaling.log_flags(names)
    r, w = np.array([2.0, 2.0]), np.array([100.0, 100.0])
    values = np.array([[0.0, 0.0, 0.0, 1.7], [0.0, 0.0, 0.0, -0.2]])
    decoded = output_scaling.decode(values, r, w, rows, logs)
    np.testing.assert_allclose(decoded[:, 3], [1.0, 0.05])
    np.testing.assert_allclose(decoded[:, 2], [1 / (2 * 100.0), 1 / (2 * 100.0 ** 0.05)])
    np.testing.assert_allclose(decoded[:, :2], 2.0)


def test_predict_command_reads_jsonl_and_ignores_point_order(tmp_path, capsys):
    spec = model_by_name("randles")
    net = half_precision_net(spec, seed=3)
    arrays = {name: value.numpy() for name, value in net.state_dict().items()}
    weights = tmp_path / "randles.eisnn"
    weights.write_bytes(model_file.export(spec, arrays, np.zeros(spec.n_params),
                                          np.full(spec.n_params, 0.1)))
    freq = np.logspace(-1, 4, 30)
    z = 0.1 + 1 / (1 / (1 + 5 / np.sqrt(2 * np.pi * freq) * (1 - 1j)) + 1j * 2 * np.pi * freq * 1e-4)
    lines = [{"freq": f.tolist(), "zre": zz.real.tolist(), "zim": zz.imag.tolist()}
             for f, zz in ((freq, z), (freq[::-1], z[::-1]))]
    spectra = tmp_path / "spectra.jsonl"
    spectra.write_text("\n".join(json.dumps(line) for line in lines) + "\n")

    assert predict.main([str(weights), str(spectra)]) == 0
    rows = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert len(rows) == 2 and all(len(row) == spec.n_params for row in rows)
    np.testing.assert_allclose(rows[1], rows[0], rtol=1e-9)
    expected = numpy_network.predict(model_file.load(weights.read_bytes()), [(freq, z)])
    np.testing.assert_allclose(rows[0], expected[0], rtol=1e-12)


def test_predict_command_reports_too_few_points(tmp_path, capsys):
    spec = MODELS[0]
    net = half_precision_net(spec, seed=4)
    arrays = {name: value.numpy() for name, value in net.state_dict().items()}
    weights = tmp_path / "rc.eisnn"
    weights.write_bytes(model_file.export(spec, arrays, np.zeros(3), np.ones(3)))
    spectra = tmp_path / "one.jsonl"
    spectra.write_text(json.dumps({"freq": [1.0], "zre": [1.0], "zim": [-1.0]}) + "\n")
    assert predict.main([str(weights), str(spectra)]) == 1
    assert "need at least 2 frequency points to guess, got 1" in capsys.readouterr().err


def test_training_resumes_exactly_from_a_weight_file():
    pytest.importorskip("kelvra")
    from eisnn_train.training import train

    spec = model_by_name("rc")
    net = half_precision_net(spec, seed=6)
    arrays = {name: value.numpy() for name, value in net.state_dict().items()}
    data = model_file.export(spec, arrays, np.array([0.5, -1.0, 2.0]), np.array([1.5, 0.25, 3.0]))
    # With a zero learning rate nothing moves: the loaded network and its
    # normalisation must come back out bit for bit.
    resumed = train(spec, 64, 1, seed=7, log=lambda _: None,
                    start=model_file.load(data), learning_rate=0.0)
    assert model_file.export(spec, resumed.arrays, resumed.target_mean, resumed.target_std) == data
