"""The HTML report: self-contained, one summary row per spectrum, and a page a real browser shows without errors."""
import html.parser
import io
import math
import os
import shutil

import numpy as np
import pytest

import kelvra
from kelvra import units

pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

from kelvra.html_report import render, write_report  # noqa: E402
from kelvra.series import fit_series  # noqa: E402

DATA = os.path.join(os.path.dirname(__file__), "..", "data")
TWO_ARCS = "R0-(R1,CPE1)-(R2,CPE2)"


@pytest.mark.parametrize("value, unit, area, expected", [
    (0.035, "ohm", None, "35 m\u03a9"),
    (2.5e4, "ohm", None, "25 k\u03a9"),
    (3.2e6, "ohm", None, "3.2 M\u03a9"),
    (4.7e-6, "F", None, "4.7 \u00b5F"),
    (0.9, "-", None, "0.9"),
    (0.02, "ohm", 2.0, "40 m\u03a9\u00b7cm\u00b2"),
    (1e-3, "F", 4.0, "250 \u00b5F/cm\u00b2"),
    (0.5, "ohm^-1*s^alpha", 2.0, "0.25 \u03a9\u207b\u00b9\u00b7s^\u03b1/cm\u00b2"),
    (3e3, "s", None, "3000 s"),
    (math.nan, "ohm", None, "nan \u03a9"),
])
def test_readable_quantities(value, unit, area, expected):
    shown, shown_unit = units.per_area(value, unit, area)
    assert units.format_quantity(shown, shown_unit) == expected


@pytest.mark.parametrize("area", [0.0, -1.0, math.inf, math.nan])
def test_area_must_be_positive(area):
    with pytest.raises(ValueError, match="area"):
        units.per_area(1.0, "ohm", area)


class _Collector(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []
        self.summary_rows = 0
        self._in_summary = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for name in ("src", "href"):
            if name in attrs:
                self.links.append(attrs[name])
        if tag == "table" and attrs.get("id") == "summary":
            self._in_summary = True
        elif tag == "tr" and self._in_summary and "class" in attrs:
            self.summary_rows += 1

    def handle_endtag(self, tag):
        if tag == "table":
            self._in_summary = False


def small_series(count=4, seed=3):
    rng = np.random.default_rng(seed)
    f = np.logspace(4, -2, 30)
    spectra = {}
    for cycle in range(1, count + 1):
        truth = kelvra.Circuit(TWO_ARCS).with_values([0.01, 0.015 * cycle, 2e-3, 0.9, 0.03 * cycle, 20.0, 0.8])
        z = truth.impedance(f)
        spectra[cycle] = (f, z * (1 + 0.01 * rng.standard_normal(len(f))))
    return fit_series(TWO_ARCS, spectra, seed=1)


@pytest.fixture(scope="module")
def series_report(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "series.html"
    series = small_series()
    write_report(path, series=series, area=1.5, figures=2)
    return path, series


def test_report_is_self_contained_with_a_row_per_spectrum(series_report):
    path, series = series_report
    collector = _Collector()
    collector.feed(path.read_text(encoding="utf-8"))
    assert collector.summary_rows == len(series)
    external = [link for link in collector.links if not link.startswith(("data:", "#"))]
    assert external == []
    text = path.read_text(encoding="utf-8")
    assert "\u03a9\u00b7cm\u00b2" in text and "Trajectories" in text


def test_fit_report_lists_failures_and_kk_verdicts():
    from kelvra.fitting import fit_file

    reports = fit_file(os.path.join(DATA, "biologic_ex1.mpt"), "R0-(R1,CPE1)", seed=1)
    document = render(reports, figures=0, failures=[("broken.mpt", "line 3: expected a number")])
    collector = _Collector()
    collector.feed(document)
    assert collector.summary_rows == len(reports) + 1
    assert "Kramers\u2013Kronig: <span" in document and "expected a number" in document


def _browser():
    selenium = pytest.importorskip("selenium.webdriver")
    binary = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    if binary is None or driver_path is None:
        pytest.skip("chromium and chromium-driver are not installed")
    from selenium.webdriver.chrome.service import Service

    options = selenium.ChromeOptions()
    options.binary_location = binary
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1600"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not built with the sanitizers: a sanitizer runtime preloaded for the module under test
    # would stop chromedriver at start, so it runs without it.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return selenium.Chrome(service=Service(driver_path, env=environment), options=options)


def test_browser_shows_the_report_without_errors(series_report):
    path, series = series_report
    driver = _browser()
    try:
        driver.get(path.resolve().as_uri())
        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        assert errors == []
        rows = driver.find_elements("css selector", "#summary tbody tr")
        assert len(rows) == len(series)
        # Sorting by chi-square twice gives the reverse of once.
        headings = driver.find_elements("css selector", "#summary th")
        column = [h.text.startswith("\u03c7\u00b2") for h in headings].index(True)
        heading = headings[column]
        heading.click()
        once = [row.text for row in driver.find_elements("css selector", "#summary tbody tr")]
        heading.click()
        twice = [row.text for row in driver.find_elements("css selector", "#summary tbody tr")]
        assert twice == once[::-1]
        chi = [float(row.find_elements("tag name", "td")[column].get_attribute("data-value"))
               for row in driver.find_elements("css selector", "#summary tbody tr")]
        assert chi == sorted(chi, reverse=True)
        images = driver.find_elements("tag name", "img")
        assert images and all(image.get_property("naturalWidth") > 0 for image in images)
        screenshot = driver.get_screenshot_as_png()
        assert driver.get_log("browser") == []
    finally:
        driver.quit()
    from matplotlib import image

    pixels = image.imread(io.BytesIO(screenshot))
    assert pixels.std() > 0.05  # not a blank page
