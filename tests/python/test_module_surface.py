"""The module's public surface: names, classes, signatures, docstrings, reprs."""
import inspect
import types

import pytest

import kelvra
from kelvra import Circuit, Element, FitResult

KIND_FIELDS = {
    "R": ("r",), "C": ("c",), "L": ("l",), "La": ("l", "alpha"), "Cpe": ("q", "alpha"),
    "W": ("aw",), "Wo": ("z0", "tau"), "Ws": ("z0", "tau"), "G": ("rg", "tg"),
    "Gs": ("rg", "tg", "phi"), "K": ("r", "tau_k"), "Zarc": ("r", "tau_k", "gamma"),
    "Tlmq": ("r_ion", "qs", "gamma"), "T": ("a", "b", "k_tau", "tau"),
}


def test_all_lists_the_public_names_in_order():
    assert kelvra.__all__ == ["Element", "Circuit", "FitResult", "Series", "Parallel", *KIND_FIELDS]
    assert kelvra.__doc__ == ""


def test_internal_error_is_a_base_exception_outside_all():
    assert "InternalError" not in kelvra.__all__
    assert issubclass(kelvra.InternalError, BaseException)
    assert not issubclass(kelvra.InternalError, Exception)


@pytest.mark.parametrize("name, fields", KIND_FIELDS.items())
def test_element_class(name, fields):
    cls = getattr(kelvra, name)
    assert cls is getattr(Element, name)
    assert cls.__name__ == f"Element_{name}"
    assert issubclass(cls, Element)
    assert cls.__match_args__ == fields
    assert cls.__text_signature__ == f"({', '.join(fields)})"
    values = [float(i + 2) for i in range(len(fields))]
    element = cls(*values)
    assert [getattr(element, f) for f in fields] == values
    with pytest.raises(AttributeError):
        setattr(element, fields[0], 1.0)
    shown = ", ".join(f"{f}={v!r}" for f, v in zip(fields, values))
    assert repr(element) == f"Element.{name}({shown})"


@pytest.mark.parametrize("element, text", [
    (kelvra.R(5), "Element.R(r=5.0)"),
    (kelvra.R(100), "Element.R(r=100.0)"),
    (kelvra.Cpe(1e-5, 0.9), "Element.Cpe(q=1e-5, alpha=0.9)"),
    (kelvra.C(2.5e-7), "Element.C(c=2.5e-7)"),
    (kelvra.L(1e16), "Element.L(l=1e16)"),
    (kelvra.L(0.001), "Element.L(l=0.001)"),
    (kelvra.W(float("nan")), "Element.W(aw=NaN)"),
    (kelvra.Wo(float("inf"), -float("inf")), "Element.Wo(z0=inf, tau=-inf)"),
])
def test_element_repr_number_format(element, text):
    assert repr(element) == text


def test_element_base_has_no_constructor_and_keeps_its_doc():
    with pytest.raises(TypeError, match="^No constructor defined for Element$"):
        Element()
    assert Element.__doc__ == (
        "A single circuit element.\n\n"
        "These are Python subclasses taking its fields as arguments.\n"
        "They are combined with `Series()` and `Parallel()`.")


def test_fit_result_cannot_be_created_from_python():
    with pytest.raises(TypeError):
        FitResult()


SIGNATURES = [
    (kelvra.Series, "(parts)", "Connect elements and circuits end to end."),
    (kelvra.Parallel, "(parts)", "Connect elements and circuits as parallel branches."),
    (Circuit.param_names, "($self)", "Parameter names, in the same order `with_values()` consumes and\n"
                                      "`with_named_values()` expects as keys."),
    (Circuit.param_units, "($self)", "Physical units per parameter"),
    (Circuit.param_values, "($self)", "Current parameter values, in `param_names()` order."),
    (Circuit.ml_circuits, "()", "Available trained models, name: topology dict."),
    (Circuit.guess, "($self, frequencies, impedances=None, weights=None)",
     "Machine-learning guess of starting parameters for this circuit's\n"
     "topology, in `param_names()` order.\n"
     "\n"
     "Series and parallel elements may be written with any order and labels:\n"
     "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
     "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
     "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
     "\n"
     "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
     "bundled model. It must be a regular file of at most 64 MiB; a file is\n"
     "read again when it changed on disk since it was last loaded.\n"
     "\n"
     "Raises if no model has been trained for this topology, or if `weights`\n"
     "was trained for a different one."),
    (Circuit.with_values, "($self, values)", None),
    (Circuit.with_named_values, "($self, values)", None),
    (Circuit.impedance, "($self, frequencies)", None),
    (Circuit.residuals, '($self, params, frequencies, impedances=None, weight="modulus")', None),
    (Circuit.jacobian, '($self, params, frequencies, impedances=None, weight="modulus")', None),
]


@pytest.mark.parametrize("function, signature, doc", SIGNATURES)
def test_text_signatures_and_docstrings(function, signature, doc):
    assert function.__text_signature__ == signature
    if doc is not None:
        assert function.__doc__ == doc


def test_circuit_class_surface():
    assert Circuit.__text_signature__ == "(s)"
    methods = [name for name in vars(Circuit) if not name.startswith("_")
               and not isinstance(vars(Circuit)[name], types.GetSetDescriptorType)]
    assert methods == ["ml_circuits", "guess", "param_names", "with_values", "with_named_values", "impedance", "param_values",
                       "param_bounds", "param_units", "residuals", "jacobian", "fit"]
    fit = inspect.signature(Circuit.fit)
    assert list(fit.parameters)[:7] == ["self", "frequencies", "impedances", "guess_init", "weights",
                                        "weight", "method"]
    assert fit.parameters["ftol"].default == 1e-8
    assert fit.parameters["seed"].default is None
    assert list(fit.parameters)[-5:] == ["early_stop", "start", "fixed", "bounds", "jacobian"]
    assert fit.parameters["early_stop"].default is None
    assert len(fit.parameters) == 25
    assert Circuit.fit.__doc__.startswith("Fit this circuit's parameters to a measured spectrum.\n\n")
    assert "`False` never guesses.\n\n`early_stop`" in Circuit.fit.__doc__
