"""Series of spectra: interval coverage, the synthetic ageing series, and the report's cost.

1. Coverage: synthetic spectra with known truth (40 log-spaced points from
   10 mHz to 10 kHz, 1 % proportional complex noise, seeded) of three
   circuits; the share of (spectrum, parameter) pairs whose 95 % interval
   holds the truth, for the linearised intervals and, on fewer spectra, the
   residual bootstrap.
2. The ageing series of the tests: 100 spectra of R0-(R1,CPE1)-(R2,CPE2)
   whose resistances grow, 1 % noise, two spectra distorted by a bump near
   10 Hz: share of trajectory points within their interval of the truth,
   the spectra marked as outliers, arcs swapped with and without ordering
   from a start where both arcs are alike, and how often the fit from the
   previous spectrum won; the time of fit_series against plain fit_many
   fits of the same spectra, measured in the same run.
3. The HTML report: seconds per spectrum figure, against plot.plot_fit's
   figure drawn in the same run.

    .venv/bin/python bench/series_bench.py [--coverage N] [--bootstrap N]
"""
import argparse
import os
import sys
import tempfile
import time
import warnings

import numpy as np

import kelvra
from kelvra import arcs, uncertainty
from kelvra.series import fit_series

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from test_series import CORRUPTED, TWO_ARCS, ageing_series  # noqa: E402

FREQ = np.logspace(4, -2, 40)
NOISE = 0.01
CASES = {
    "R0-(R1,CPE1)": [0.01, 0.02, 1.0, 0.85],
    "R0-(R1-W1,CPE1)": [5.0, 20.0, 15.0, 1e-4, 0.9],
    TWO_ARCS: [0.01, 0.02, 1.0, 0.9, 0.03, 50.0, 0.8],
}


def noisy(circuit, rng):
    z = circuit.impedance(FREQ)
    return z + NOISE * np.abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))) / np.sqrt(2)


def coverage(count, bootstrap_spectra, resamples, seed):
    rng = np.random.default_rng(seed)
    print(f"1. 95 % interval coverage ({count} spectra per circuit; bootstrap on {bootstrap_spectra} "
          f"with {resamples} resamples)")
    print(f"   {'circuit':<24} {'linear':>8} {'bootstrap':>10}  {'linear s/fit':>12}  {'bootstrap s/fit':>15}")
    for text, truth in CASES.items():
        circuit = kelvra.Circuit(text).with_values(truth)
        inside, boot_inside, linear_time, boot_time = [], [], 0.0, 0.0
        for i in range(count):
            z = noisy(circuit, rng)
            fitted = circuit.fit(FREQ, z).circuit
            start = time.perf_counter()
            spread = uncertainty.linearised(fitted, FREQ, z)
            linear_time += time.perf_counter() - start
            inside.extend((spread.low <= truth) & (truth <= spread.high))
            if i < bootstrap_spectra:
                start = time.perf_counter()
                boot = uncertainty.bootstrap(fitted, FREQ, z, resamples, seed=i)
                boot_time += time.perf_counter() - start
                boot_inside.extend((boot.low <= truth) & (truth <= boot.high))
        print(f"   {text:<24} {100 * np.mean(inside):7.1f}% {100 * np.mean(boot_inside):9.1f}%  "
              f"{linear_time / count:12.2e}  {boot_time / max(1, bootstrap_spectra):15.3f}")


def ageing(seed):
    from kelvra.batch import fit_many

    truth, spectra = ageing_series(seed=seed)
    alike = kelvra.Circuit(TWO_ARCS).with_values([0.01, 0.02, 0.2, 0.85, 0.02, 0.2, 0.85])
    start = time.perf_counter()
    result = fit_series(TWO_ARCS, spectra, seed=1)
    series_time = time.perf_counter() - start
    start = time.perf_counter()
    fit_many(TWO_ARCS, spectra, seed=1, progress=False)
    batch_time = time.perf_counter() - start
    table = result.table
    clean = ~table["outlier"].to_numpy()
    inside = np.column_stack([(table[f"{n}_low"] <= truth[:, j]) & (truth[:, j] <= table[f"{n}_high"])
                              for j, n in enumerate(result.names)])
    print("2. ageing series (100 spectra, 1 % noise, corrupted", list(CORRUPTED), ")")
    print(f"   within interval of the truth: {100 * inside[clean].mean():.1f} % of points off the outliers, "
          f"{100 * inside.mean():.1f} % of all")
    print(f"   outliers: {list(table.index[table['outlier']])}, jumps: {list(table.index[table['jump']])}, "
          f"trusted: {int(table['trusted'].sum())}")
    print(f"   kept fit from the previous spectrum: {int((table['start'] == 'previous').sum())} of {len(table)}")
    for order in (False, True):
        swapped = fit_series(alike, spectra, seed=1, order_arcs=order)
        count = sum(arcs.arc_permutation(r.fitted_circuit) != list(range(7)) for r in swapped.reports)
        print(f"   from a start with both arcs alike, order_arcs={order}: {count} spectra with the slow arc "
              f"first, {int(swapped.table['outlier'].sum())} marked outliers")
    print(f"   fit_series {series_time:.3f} s, fit_many {batch_time:.3f} s: ratio {series_time / batch_time:.2f}")
    return result


def report_cost(result):
    from matplotlib.figure import Figure

    from kelvra.html_report import fit_figure, write_report
    from kelvra.plot import plot_fit

    reports = [r for r in result.reports[:5] if r is not None]
    start = time.perf_counter()
    for report in reports:
        fit_figure(report).savefig(os.devnull, format="png", dpi=80)
    ours = (time.perf_counter() - start) / len(reports)
    start = time.perf_counter()
    for report in reports:
        plot_fit(report, fig=Figure(figsize=(11, 8), layout="constrained")).savefig(os.devnull, format="png", dpi=80)
    baseline = (time.perf_counter() - start) / len(reports)
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        write_report(os.path.join(folder, "series.html"), series=result, figures=10)
        whole = time.perf_counter() - start
        size = os.path.getsize(os.path.join(folder, "series.html"))
    print("3. HTML report")
    print(f"   spectrum figure {ours:.3f} s, plot.plot_fit {baseline:.3f} s: ratio {ours / baseline:.2f}")
    print(f"   100-spectrum series with 10 spectrum figures: {whole:.2f} s, {size / 1e6:.2f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--coverage", type=int, default=200)
    parser.add_argument("--bootstrap", type=int, default=30)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    coverage(args.coverage, args.bootstrap, 200, args.seed)
    result = ageing(args.seed)
    report_cost(result)


if __name__ == "__main__":
    main()
