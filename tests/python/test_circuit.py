"""Circuit construction, text form and the parameter methods."""
import math

import pytest

from kelvra import C, Circuit, Cpe, Parallel, R, Series

REPORT_HEAD = 'unknown element code "X" at position 3\n\n  R0-X1\n     ^\n\nsyntax:\n'


def test_parse_error_report_points_at_the_bad_code():
    with pytest.raises(ValueError) as caught:
        Circuit("R0-X1")
    report = str(caught.value)
    assert report.startswith(REPORT_HEAD)
    assert report.endswith("\n  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]")


@pytest.mark.parametrize("text, first_line", [
    (" R0-C1", "unexpected character at position 0"),
    ("", "unexpected end of input"),
    ("R1-(R1,C1)", 'duplicate element label "R1"'),
])
def test_unparsable_strings(text, first_line):
    with pytest.raises(ValueError) as caught:
        Circuit(text)
    assert str(caught.value).split("\n")[0] == first_line


def test_a_nul_in_the_text_leaves_the_report_whole():
    with pytest.raises(ValueError) as caught:
        Circuit("R0-\x00C1")
    report = str(caught.value)
    assert "\n  R0-\x00C1\n     ^\n" in report
    assert report.endswith("tau [s]")


def test_repr_of_a_fresh_circuit():
    assert repr(Circuit("R0-(R1,C1)")) == (
        "Circuit R0-(R1,C1) (3 parameters)\n"
        "  R0.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  C1.c = 0.001      [F]  bounds (1e-12, inf)")


def test_repr_pads_names_and_singular_parameter():
    assert repr(Circuit("R0-CPE12")).split("\n")[1:] == [
        "  R0.r        = 1          [ohm]  bounds (1e-12, inf)",
        "  CPE12.q     = 0.001      [ohm^-1*s^alpha]  bounds (1e-12, inf)",
        "  CPE12.alpha = 0.8        [-]  bounds (0, 1)",
    ]
    assert repr(Circuit("R0")).startswith("Circuit R0 (1 parameter)\n")
    assert repr(Series([])) == "Circuit  (0 parameters)\n"


def test_parameter_methods():
    circuit = Circuit("R0-(R1,CPE1)")
    assert circuit.param_names() == ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]
    assert circuit.param_units() == ["ohm", "ohm", "ohm^-1*s^alpha", "-"]
    assert circuit.param_bounds() == [(1e-12, math.inf)] * 3 + [(0.0, 1.0)]
    assert circuit.param_values() == [1.0, 1.0, 0.001, 0.8]


def test_rebuilds_return_new_explicit_circuits():
    circuit = Circuit("R0-(R1,C1)")
    by_position = circuit.with_values([1, 2, 3])
    by_name = circuit.with_named_values({"C1.c": 3, "R0.r": 1, "R1.r": 2})
    assert by_position.param_values() == by_name.param_values() == [1.0, 2.0, 3.0]
    assert circuit.param_values() == [1.0, 1.0, 0.001]
    # Default labels count per kind, whatever the explicit labels are.
    assert repr(Series([by_position, C(4)])).startswith("Circuit R0-(R1,C1)-C0 (4 parameters)")


@pytest.mark.parametrize("call, message", [
    (lambda c: c.with_values([1, 2]), "expected 3 values, got 2"),
    (lambda c: c.with_named_values({"R0.r": 1, "R1.r": 2, "C1.C": 3}),
     'unknown parameter "C1.C" (did you mean "C1.c"?)\n'
     'missing parameter(s): ["C1.c"]\n'
     "\n"
     "valid parameters for this circuit:\n"
     "  R0.r  [ohm]  bounds (1e-12, inf)\n"
     "  R1.r  [ohm]  bounds (1e-12, inf)\n"
     "  C1.c  [F]  bounds (1e-12, inf)"),
])
def test_rebuild_errors(call, message):
    with pytest.raises(ValueError) as caught:
        call(Circuit("R0-(R1,C1)"))
    assert str(caught.value) == message


def test_series_and_parallel_combine_parts():
    assert repr(Series([R(1), C(2)])).startswith("Circuit R0-C0 (2 parameters)")
    assert Series([Circuit("R1-C1"), R(3)]).param_names() == ["R1.r", "C1.c", "R0.r"]
    nested = Parallel([R(1), Series([R(2), C(1e-6)])])
    assert repr(nested).startswith("Circuit (R0,R1-C0) (3 parameters)")
    assert nested.param_values() == [1.0, 2.0, 1e-6]
    assert Parallel([Cpe(1e-5, 0.9)]).param_names() == ["Cpe0.q", "Cpe0.alpha"]


@pytest.mark.parametrize("combine", [Series, Parallel])
@pytest.mark.parametrize("parts, label", [
    (lambda c: [c, c], "R0"),
    (lambda c: [R(1), Series([C(1), c])], "R0"),  # a default label meeting an explicit one
    (lambda c: [Parallel([c]), Circuit("C1")], "C1"),
])
def test_combinations_refuse_duplicate_labels(combine, parts, label):
    # Two leaves of one label would share their parameters' names, and a fit's
    # values by name would keep only one of them.
    with pytest.raises(ValueError) as caught:
        combine(parts(Circuit("R0-(R1,C1)")))
    assert str(caught.value) == f'duplicate element label "{label}"'


def test_empty_combinations():
    assert Series([]).impedance([1.0]).tolist() == [0j]
    empty_group = Parallel([]).impedance([1.0])[0]
    assert math.isnan(empty_group.real) and math.isnan(empty_group.imag)


def test_repeated_parallel_nesting_is_refused_past_the_limit():
    circuit = Circuit("R0")
    for _ in range(1000):
        circuit = Parallel([circuit])
    assert circuit.param_names() == ["R0.r"]
    with pytest.raises(ValueError, match="^circuit nested deeper than 1000 groups$"):
        Parallel([circuit])
