"""The core's shared facts as the user layer reads them, and what Circuit and FitResult now expose."""
import numpy as np
import pytest

import kelvra
from kelvra import tables


def test_the_model_table_is_the_one_circuit_strings_accept():
    assert {name: model.topology for name, model in tables.MODELS.items()} == kelvra.Circuit.ml_circuits()
    for model in tables.MODELS.values():
        assert kelvra.Circuit(model.name).text == model.topology
        assert set(model.nested) < set(tables.MODELS) and model.name not in model.nested


def test_every_nested_model_is_reached_by_limits_of_the_outer_one():
    # Outer model's impedance at the limit values (shorted elements at their
    # floor, exponents at 1) equals the nested model's, to the floor's size.
    f = np.logspace(-2, 5, 40)
    for outer in tables.MODELS.values():
        for inner_name in outer.nested:
            inner = kelvra.Circuit(inner_name)
            rebuilt = _limit_values(kelvra.Circuit(outer.name), inner)
            if rebuilt is None:
                continue
            np.testing.assert_allclose(rebuilt.impedance(f), inner.impedance(f), rtol=1e-6,
                                       err_msg=f"{inner_name} in {outer.name}")


def _limit_values(outer, inner):
    """`outer` with `inner`'s default values where it has the same parameter,
    a CPE standing in for a capacitor at (c, 1), every other shorted element
    at its floor; None when the labels do not line up."""
    values = dict(zip(inner.param_names(), inner.param_values()))
    out = []
    for name, (floor, _) in zip(outer.param_names(), outer.param_bounds()):
        label, field = name.split(".")
        if name in values:
            out.append(values[name])
        elif label.startswith("CPE") and f"C{label[3:]}.c" in values:
            out.append(values[f"C{label[3:]}.c"] if field == "q" else 1.0)
        else:
            code = label.rstrip("0123456789")
            if tables.element_kind(code).vanishing_field != field:
                return None
            out.append(floor)
    return outer.with_values(out)


def test_element_kinds_agree_with_the_element_classes():
    assert list(tables.ELEMENT_KINDS) == [cls.__name__.removeprefix("Element_") for cls in
                                          (getattr(kelvra, name) for name in tables.ELEMENT_KINDS)]
    for name, kind in tables.ELEMENT_KINDS.items():
        circuit = kelvra.Circuit(f"{kind.code}9")
        assert circuit.param_names() == [f"{name}9.{field}" for field in kind.fields] or \
            circuit.param_names() == [f"{kind.code}9.{field}" for field in kind.fields]
        assert circuit.param_units() == list(kind.units)
        assert circuit.param_values() == list(kind.defaults)
        assert circuit.param_bounds() == list(kind.bounds)


def test_methods_weightings_and_columns_are_the_ones_fit_takes():
    assert tables.DEFAULT_METHOD == "levenberg_marquardt" and tables.DEFAULT_WEIGHTING == "modulus"
    circuit = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3])
    f = np.logspace(0, 4, 8)
    z = circuit.impedance(f)
    for weighting in tables.WEIGHTINGS:
        circuit.fit(f, z, weight=weighting, max_iterations=2)
    frame = {names[1]: values for names, values in zip(
        (tables.BATTERY_COLUMNS[q] for q in ("frequency", "real", "imaginary")), (f, z.real, z.imag))}
    assert circuit.fit(frame).params == circuit.fit(f, z).params
    with pytest.raises(ValueError, match="unknown"):
        circuit.fit(f, z, method="not_a_method")


@pytest.mark.parametrize("build, text, explicit", [
    (lambda: kelvra.Circuit("R0-(R1,C1)"), "R0-(R1,C1)", False),
    (lambda: kelvra.Circuit("rq_l"), "L0-R0-(R1,CPE1)", False),
    (lambda: kelvra.Circuit("R0-(R1,C1)").with_values([1, 2, 3]), "R0-(R1,C1)", True),
    (lambda: kelvra.Series([kelvra.R(1.0), kelvra.Parallel([kelvra.R(2.0), kelvra.C(1e-3)])]), "R0-(R1,C0)", True),
    (lambda: kelvra.Series([kelvra.R(1.0), kelvra.Circuit("C1")]), "R0-C1", False),
])
def test_circuit_text_reads_back_and_explicit_values(build, text, explicit):
    circuit = build()
    assert (circuit.text, circuit.explicit_values) == (text, explicit)
    assert kelvra.Circuit(circuit.text).param_names() == circuit.param_names()
    assert repr(circuit).startswith(f"Circuit {circuit.text} (")


def test_fit_result_keeps_the_spectrum_it_was_fitted_to():
    circuit = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3])
    f = np.array([0.0, 1.0, 10.0, 100.0])
    z = circuit.impedance(f[1:])
    frame = {"frequency_hertz": f, "real_impedance_ohm": np.r_[5.0, z.real],
             "imaginary_impedance_ohm": np.r_[5.0, z.imag]}
    result = circuit.fit(frame)
    # The frame's 0-Hz row is not part of the fit.
    np.testing.assert_array_equal(result.frequencies, f[1:])
    np.testing.assert_array_equal(result.impedances, z)
    assert result.impedances.dtype == np.complex128
    result.frequencies[0] = -1.0
    assert result.frequencies[0] == 1.0
