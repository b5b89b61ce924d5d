"""Instrument readers on real files (first and last points checked by hand
against the raw text, signs turned to capacitive Im Z < 0) and on broken
copies of them."""
import os
import pathlib
import re

import numpy as np
import pytest

from kelvra import io

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

# file, format, sweep, points, first (f, Re, Im), last (f, Re, Im), some metadata
REAL_FILES = [
    (DATA / "exampleDataGamry.DTA", "gamry", 0, 72, (200015.6, 825.8584, -1367.239),
     (0.0158898, 17007.49, -6635.557), {"dc_potential_v": -0.05, "date": "4/23/2018"}),
    (DATA / "biologic_ex1.mpt", "biologic", 0, 59, (200019.48, 428.90558, -372.31183),
     (0.010005763, 61969.063, -23548.105), {"cycle": 1}),
    (DATA / "biologic_ex1.mpt", "biologic", 1, 59, (200019.48, 418.34854, -383.73511),
     (0.010005763, 66802.32, -33712.059), {"cycle": 2}),
    (DATA / "exampleDataAutolab.txt", "autolab", 0, 41, (10000.0, 0.013785863964281, 0.007191946305823),
     (0.1, 0.0345697771923854, -0.00390292888845954), {"planned_points": 41}),
    (DATA / "exampleDataZPlot.z", "zplot", 0, 21, (3e5, 147.77, -11.335), (3000.0, 613.68, -137.13),
     {"planned_points": 56, "date": "10-12-2018"}),
    (DATA / "exampleDataParstat.txt", "parstat", 0, 31, (10000.0, -0.00049816280376104, 0.0175143479976367),
     (10.0, 0.0270946491457229, -0.00399791080333837), {"dc_records": 781}),
    (DATA / "exampleDataCHInstruments.txt", "chinstruments", 0, 73, (9.961e4, 98.91, -2.748),
     (0.1, 5685.0, -15860.0), {"dc_potential_v": 0.0}),
    (DATA / "exampleDataVersaStudio.par", "versastudio", 0, 61, (100000.0, 55.31571, 4.575431),
     (0.02154435, 1516.313, -122.8279), {"segment": "Segment1"}),
    (DATA / "exampleDataPowersuite.txt", "powersuite", 0, 30, (0.1, 423929.46, -49014.063),
     (2e6, -470.54113, -1397.7358), {}),
    (DATA / "biologic_export.csv", "csv", 0, 67, (200019.48, 130.4171, -34.680012),
     (0.00099990517, 5170240.5, -2345775.5), {}),
    (EXAMPLES / "li_ion_cell.csv", "csv", 0, 66, (3.1623e-3, 4.949989776405060160e-02, -2.043869854441892481e-02),
     (1e4, 1.577148266048593317e-02, 1.015747456493823649e-02), {}),
]


@pytest.mark.parametrize("path, name, sweep, points, first, last, metadata", REAL_FILES,
                         ids=[f"{entry[1]}-{entry[0].name}-{entry[2]}" for entry in REAL_FILES])
def test_reader_on_real_file(path, name, sweep, points, first, last, metadata):
    assert io.detect(path) == name
    spectra = io.read(path)
    named = getattr(io, f"read_{name}")(path)
    assert [s.frequencies.tolist() for s in named] == [s.frequencies.tolist() for s in spectra]
    spectrum = spectra[sweep]
    assert (spectrum.format, spectrum.path, spectrum.metadata["sweep"]) == (name, str(path), sweep)
    assert metadata.items() <= spectrum.metadata.items()
    f, z = spectrum.frequencies, spectrum.impedances
    assert len(f) == len(z) == points
    assert (f[0], z[0].real, z[0].imag) == first
    assert (f[-1], z[-1].real, z[-1].imag) == last


def test_per_point_columns_in_battery_data_units():
    gamry, = io.read_gamry(DATA / "exampleDataGamry.DTA")
    assert (gamry[io.TIME][0], gamry[io.CURRENT][0], gamry[io.VOLTAGE][0]) == (1.0, -5.89286e-06, -0.3413299)
    biologic = io.read(DATA / "biologic_ex1.mpt")[0]
    assert biologic[io.CURRENT][0] == pytest.approx(-3.1820498e-6, rel=1e-15)  # stored in mA
    assert biologic[io.TIME][0] == 1.312524303488701e4
    exported, = io.read(DATA / "biologic_export.csv")
    assert exported[io.CURRENT][-1] == pytest.approx(8.0679802e-9, rel=1e-15)


def test_frame_on_request_fits_like_the_dict():
    pandas = pytest.importorskip("pandas")
    as_dict, = io.read(DATA / "exampleDataPowersuite.txt")
    as_frame, = io.read(DATA / "exampleDataPowersuite.txt", frame=True)
    assert isinstance(as_frame.data, pandas.DataFrame)
    assert list(as_frame) == list(as_dict) == [io.FREQUENCY, io.REAL, io.IMAGINARY]
    np.testing.assert_array_equal(as_frame.impedances, as_dict.impedances)
    assert as_dict.to_frame().equals(as_frame.data)
    assert as_dict == as_dict and as_dict != io.read(DATA / "exampleDataPowersuite.txt")[0]


def _lines(source):
    """The file's lines with their endings, split where the readers split them."""
    return re.findall(r"[^\r\n]*(?:\r*\n|\r|$)", source.read_bytes().decode("latin-1"))[:-1]


def _edit(tmp_path, source, line, old, new):
    lines = _lines(source)
    assert old in lines[line - 1]
    lines[line - 1] = lines[line - 1].replace(old, new, 1)
    target = tmp_path / source.name
    target.write_bytes("".join(lines).encode("latin-1"))
    return target


def _cut(tmp_path, source, line, after):
    """The file up to and including `after` in line `line`, as if the copy stopped there."""
    lines = _lines(source)
    kept = lines[line - 1][: lines[line - 1].index(after) + len(after)]
    target = tmp_path / source.name
    target.write_bytes("".join(lines[: line - 1] + [kept]).encode("latin-1"))
    return target


# format, file, (line, text, replacement) of a non-numeric cell, the column;
# (line, text, replacement) of a missing column, its message;
# (line, text) where a truncated copy stops, its message.
BROKEN = [
    ("gamry", "exampleDataGamry.DTA", (449, "200015.6", "2OOO15.6"), "Freq",
     (447, "Zimag", "Zimg"), "expected a column 'Zimag' in the header",
     (520, "17007.49"), "line 520: expected 11 fields, found 4"),
    ("biologic", "biologic_ex1.mpt", (62, "2.0001948E+005", "2.0001948E+0O5"), "freq/Hz",
     (61, "-Im(Z)/Ohm", "Imag"), "expected a column '-Im(Z)/Ohm' or 'Im(Z)/Ohm' in the header",
     (179, "6.6802320E+004"), "line 179: expected 18 fields, found 2"),
    ("autolab", "exampleDataAutolab.txt", (12, "10000,", "1OOOO,"), "Freq(Hz)",
     (11, "Z''(b)", "Zb"), "expected a column \"Z''(b)\" or \"Z'' (b)\" in the header",
     (52, "0.0345697771923854"), "line 52: expected 9 fields, found 5"),
    ("zplot", "exampleDataZPlot.z", (124, "3.000000E+05", "3.0000O0E+05"), "Freq(Hz)",
     (122, "Z'(a)", "Za"), "expected a column \"Z'(a)\" or \"Z' (a)\" in the header",
     (144, "1.998000E+01"), "line 144: expected 9 fields, found 4"),
    ("parstat", "exampleDataParstat.txt", (783, "\t10000\t", "\t1e4x\t"), "Frequency (Hz)",
     (1, "Zim (ohms)", "Zi (ohms)"), "expected a column 'Zim (ohms)' in the header",
     (813, "7750.166999"), "line 813: expected 8 fields, found 3"),
    ("chinstruments", "exampleDataCHInstruments.txt", (19, "9.961e+4", "9.961e+4.0"), "Freq/Hz",
     (17, 'Z"/ohm', "Zi/ohm"), "expected a column 'Z\"/ohm' or '-Z\"/ohm' in the header",
     (91, "5.685e+3"), "line 91: expected 5 fields, found 2"),
    ("versastudio", "exampleDataVersaStudio.par", (117, ",100000,", ",1O0000,"), "Frequency(Hz)",
     (116, "Z Imag", "Z Img"), "expected a column 'Z Imag' in the header",
     (177, "1516.313"), "line 177: file ends without the closing </Segment1>"),
    ("powersuite", "exampleDataPowersuite.txt", (2, "0.1", "0.1.0"), "Frequency",
     (1, "Zimg", "Zim"), "expected a column 'Zimg' in the header",
     (31, "-470.54113"), "line 31: expected 3 fields, found 2"),
    ("csv", "biologic_export.csv", (2, "200019.48", "2OOO19.48"), "freq/Hz",
     (1, "-Im(Z)/Ohm", "Imz"), "expected a column for the imaginary part ('Im(Z)/Ohm' or '-Im(Z)/Ohm')",
     (68, "5170240.5"), "line 68: expected 8 fields, found 2"),
]


def _raises(path, name, line, reason):
    with pytest.raises(io.FormatError) as caught:
        getattr(io, f"read_{name}")(path)
    error = caught.value
    assert (str(error), error.path, error.line) == (f"{path}, line {line}: {reason}", str(path), line)
    assert isinstance(error, ValueError)


@pytest.mark.parametrize("name, file, cell, column, header, missing, cut, truncated", BROKEN,
                         ids=[entry[0] for entry in BROKEN])
def test_broken_copies(tmp_path, name, file, cell, column, header, missing, cut, truncated):
    line, old, new = cell
    bad_cell = new.strip("\t,")
    _raises(_edit(tmp_path, DATA / file, *cell), name, line,
            f"expected a number in column {column!r}, found {bad_cell!r}")
    _raises(_edit(tmp_path, DATA / file, *header), name, header[0], missing)
    cut_line, reason = truncated.split(": ", 1)
    _raises(_cut(tmp_path, DATA / file, *cut), name, int(cut_line.split()[1]), reason)


@pytest.mark.parametrize("name, file, edit, line, reason", [
    # An overflowing or blank cycle number would end the whole reading as an
    # OverflowError or a bare ValueError.
    ("biologic", "biologic_ex1.mpt", (63, "\t1.000000000000000E+000\t", "\tinf\t"), 63,
     "expected a whole number in column 'cycle number', found 'inf'"),
    ("biologic", "biologic_ex1.mpt", (62, "\t1.000000000000000E+000\t", "\tnan\t"), 62,
     "expected a whole number in column 'cycle number', found 'nan'"),
    ("biologic", "biologic_ex1.mpt", (62, "\t1.000000000000000E+000\t", "\t1.5\t"), 62,
     "expected a whole number in column 'cycle number', found '1.5'"),
    # A superscript two is a digit to str.isdigit, yet no number to int().
    ("autolab", "exampleDataAutolab.txt", (10, "41", "4\u00b2"), 10,
     "expected the number of points before the column names, found '4\u00b2'"),
], ids=["cycle inf", "cycle nan", "cycle 1.5", "autolab count"])
def test_hostile_header_and_cells_are_format_errors(tmp_path, name, file, edit, line, reason):
    _raises(_edit(tmp_path, DATA / file, *edit), name, line, reason)


def test_a_superscript_in_the_announced_count_is_no_count(tmp_path):
    path = _edit(tmp_path, DATA / "exampleDataZPlot.z", 121, "56", "5\u00b2")
    assert "planned_points" not in io.read_zplot(path)[0].metadata


def test_utf16_with_its_mark_reads_as_the_original_and_without_it_is_refused(tmp_path):
    original = DATA / "exampleDataZPlot.z"
    text = original.read_bytes().decode("latin-1")
    marked = tmp_path / "marked.z"
    marked.write_bytes(text.encode("utf-16"))
    expected = io.read(original)[0].data
    got = io.read(marked)[0].data
    assert all(np.array_equal(got[column], expected[column]) for column in expected)
    bare = tmp_path / "bare.z"
    bare.write_bytes(text.encode("utf-16-le"))
    with pytest.raises(io.FormatError, match="NUL bytes"):
        io.read(bare)


def test_bytes_paths_read_like_text_paths(tmp_path):
    copy = tmp_path / "caf\udce9.z"  # a name that is not valid UTF-8 on disk
    raw = os.fsencode(str(copy))
    copy_bytes = (DATA / "exampleDataZPlot.z").read_bytes()
    with open(raw, "wb") as handle:
        handle.write(copy_bytes)
    assert io.detect(raw) == "zplot"
    assert io.read(raw)[0].source == str(copy)
    assert list(io.spectrum_files([os.fsencode(str(tmp_path))])) == [str(copy)]


def test_announced_row_count_catches_a_lost_last_row(tmp_path):
    lines = (DATA / "exampleDataAutolab.txt").read_bytes().splitlines(keepends=True)
    short = tmp_path / "short.txt"
    short.write_bytes(b"".join(lines[:-1]))
    _raises(short, "autolab", 51, "file holds 40 data rows, expected the 41 it announces")


@pytest.mark.parametrize("text, line, reason", [
    ("hello world\n", 1, "unknown format: expected one of " + ", ".join(io.FORMATS)),
    ("", 1, "unknown format: expected one of " + ", ".join(io.FORMATS)),
])
def test_unknown_format(tmp_path, text, line, reason):
    path = tmp_path / "mystery.dat"
    path.write_text(text)
    with pytest.raises(io.FormatError) as caught:
        io.read(path)
    assert str(caught.value) == f"{path}, line {line}: {reason}"


@pytest.mark.parametrize("text, columns", [
    ("# comment\nfreq/Hz;Re(Z)/Ohm;-Im(Z)/Ohm\n10;1;2\n# comment\n100;3;4\n", ([10, 100], [1, 3], [-2, -4])),
    ("Frequency (Hz)\tZ' (ohm)\tZ'' (ohm)\n10\t1\t-2\n", ([10], [1], [-2])),
    ("f Zreal Zimag\n10 1 -2\n\n20 3 -4\n", ([10, 20], [1, 3], [-2, -4])),
    ("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n10,1,-2\n", ([10], [1], [-2])),
])
def test_delimited_spellings(tmp_path, text, columns):
    path = tmp_path / "spectrum.csv"
    path.write_text(text)
    spectrum, = io.read(path)
    frequencies, real, imaginary = columns
    assert spectrum.frequencies.tolist() == frequencies
    assert spectrum.impedances.tolist() == [complex(r, i) for r, i in zip(real, imaginary)]


def test_headerless_file_needs_exactly_three_columns(tmp_path):
    path = tmp_path / "four.csv"
    path.write_text("1,2,3,4\n")
    _raises(path, "csv", 1, "expected 3 columns (frequency, real and imaginary part), found 4")


def test_spectrum_fits_directly():
    import kelvra

    spectrum, = io.read(EXAMPLES / "li_ion_cell.csv")
    start = kelvra.Circuit("L0-R0-(R1,CPE1)-(R2-W2,CPE2)").with_values(
        [1e-7, 0.015, 0.005, 1.0, 0.8, 0.01, 0.02, 10.0, 0.8])
    result = start.fit(spectrum, seed=1)
    assert result.success
    assert result.chi_square < 1e-2


@pytest.mark.parametrize("name", list(io.FORMATS))
@pytest.mark.parametrize("text", ["", "\n", "x\n", "1\n2\n", "End Comments\n<Segment1>\n"])
def test_every_reader_refuses_scraps_with_a_format_error(tmp_path, name, text):
    path = tmp_path / "scrap.txt"
    path.write_text(text)
    with pytest.raises(io.FormatError) as caught:
        getattr(io, f"read_{name}")(path)
    assert caught.value.line is None or 1 <= caught.value.line <= max(1, text.count("\n"))
