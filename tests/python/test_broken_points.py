"""One rule for broken points, whichever entry point a spectrum comes through."""
import subprocess
import sys

import numpy as np
import pytest

import kelvra
from kelvra import io
from kelvra.batch import fit_many
from kelvra.fitting import fit_spectrum
from kelvra.kk import kramers_kronig
from kelvra.ranking import rank

F = np.logspace(-1, 5, 30)
Z = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3]).impedance(F)


def broken(kind):
    f, z = F.copy(), Z.copy()
    if kind == "nan impedance":
        z[3] = complex("nan")
    elif kind == "infinite impedance":
        z[3] = complex(np.inf, 0.0)
    elif kind == "zero impedance":
        z[3] = 0.0
    elif kind == "infinite frequency":
        f[3] = np.inf
    elif kind == "zero frequency":
        f[3] = 0.0
    elif kind == "negative frequency":
        f[3] = -f[3]
    elif kind == "nan frequency":
        f[3] = np.nan
    return f, z


CORRUPT = {"nan impedance": "impedance (nan+0j) at 0.417532 Hz is not finite",
           "infinite impedance": "impedance (inf+0j) at 0.417532 Hz is not finite",
           "zero impedance": "impedance at 0.417532 Hz is 0",
           "infinite frequency": "frequency inf Hz is not finite"}
NOT_MEASURED = ("zero frequency", "negative frequency", "nan frequency")


@pytest.mark.parametrize("kind, message", CORRUPT.items())
def test_a_corrupt_point_is_an_error_naming_file_sweep_and_point(kind, message):
    with pytest.raises(io.PointError, match=r"^cell\.csv \(sweep 2\): point 3: " + message.replace("(", r"\(")
                       .replace(")", r"\)").replace("+", r"\+")):
        io.as_spectrum(*broken(kind), source="cell.csv", sweep=2)


@pytest.mark.parametrize("kind", NOT_MEASURED)
def test_a_row_without_a_positive_frequency_is_left_out_with_a_warning(kind):
    f, z = broken(kind)
    with pytest.warns(io.PointWarning, match=r"spectrum: left out 1 row without a positive frequency: row 3"):
        spectrum = io.as_spectrum(f, z)
    np.testing.assert_array_equal(spectrum.frequencies, np.delete(F, 3))
    np.testing.assert_array_equal(spectrum.impedances, np.delete(Z, 3))


def test_every_input_form_gives_the_same_spectrum():
    frame = {"frequency_hertz": F, "real_impedance_ohm": Z.real, "imaginary_impedance_ohm": Z.imag}
    polar = {"Frequency / Hz": F, "Absolute Impedance / ohm": abs(Z), "Phase / deg": np.degrees(np.angle(Z))}
    for given in [(F, Z), ((F, Z), None), (list(F), list(Z)), (frame, None), (polar, None)]:
        spectrum = io.as_spectrum(*given)
        np.testing.assert_allclose(spectrum.frequencies, F, rtol=0)
        np.testing.assert_allclose(spectrum.impedances, Z, rtol=1e-14)
    read = io.as_spectrum(F, Z)
    assert io.as_spectrum(read) is read
    with pytest.raises(io.PointError, match="no row has a positive frequency"):
        io.as_spectrum([0.0, -1.0], [1.0, 2.0])


class PolarsLikeFrame:
    """A frame whose missing column raises an exception derived from Exception alone."""

    class ColumnNotFound(Exception):
        pass

    def __init__(self, columns):
        self.columns = columns

    def __getitem__(self, name):
        try:
            return self.columns[name]
        except KeyError:
            raise self.ColumnNotFound(name) from None


def test_a_frame_whose_missing_column_raises_its_own_exception_falls_through_to_the_other_name():
    frame = PolarsLikeFrame({"frequency_hertz": F, "real_impedance_ohm": Z.real, "imaginary_impedance_ohm": Z.imag})
    np.testing.assert_array_equal(io.as_spectrum(frame).impedances, Z)
    circuit = kelvra.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3])
    assert circuit.fit(frame).params == circuit.fit(F, Z).params


@pytest.mark.parametrize("kind", list(CORRUPT))
def test_every_entry_point_refuses_a_corrupt_point_alike(kind):
    f, z = broken(kind)
    calls = [lambda: fit_spectrum("R0-(R1,C1)", f, z), lambda: rank(f, z, workers=1),
             lambda: kramers_kronig(f, z)]
    for call in calls:
        with pytest.raises(io.PointError, match=r"point 3: "):
            call()
    row = fit_many("R0-(R1,C1)", [(f, z)], workers=1)
    assert row["error"][0].startswith("PointError: spectrum: point 3: ")


def write_csv(path, f, z):
    lines = ["frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm"]
    lines += [f"{a!r},{b.real!r},{b.imag!r}" for a, b in zip(f, z)]
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("kind", ["nan impedance", "zero impedance", "zero frequency"])
def test_every_command_treats_a_broken_file_alike(tmp_path, kind):
    path = tmp_path / "cell.csv"
    write_csv(path, *broken(kind))
    commands = [["fit", "--circuit", "rc"], ["rank", "--no-builtin", "--candidate", "R0-(R1,C1)"],
                ["guess", "--circuit", "rc"], ["kk"]]
    for command in commands:
        done = subprocess.run([sys.executable, "-m", "kelvra", *command, str(path)], capture_output=True, text=True)
        assert "Traceback" not in done.stderr, (command, done.stderr)
        if kind in CORRUPT:
            assert (done.returncode, done.stdout) == (1, ""), (command, done.stdout)
            assert done.stderr == f"kelvra: {path} (sweep 0): point 3: {CORRUPT[kind]}\n", command
        else:
            assert done.returncode == 0, (command, done.stderr)
            assert done.stderr == (f"kelvra: warning: {path} (sweep 0): left out 1 row without a positive "
                                   "frequency: row 3 (0 Hz)\n"), command
            assert "nan" not in done.stdout.casefold(), command
