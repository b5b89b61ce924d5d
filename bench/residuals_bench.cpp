// Time per weighted residual vector and per Jacobian (central differences
// and analytic) for a two-arc circuit at 50 frequencies: the operations a
// fit spends nearly all its time in.
#include <cmath>
#include <cstdio>
#include <vector>

#include "call_timing.h"
#include "circuit/evaluate.h"
#include "circuit/grammar.h"
#include "circuit/params.h"
#include "fit/residuals.h"
#include "support/worker_pool.h"

namespace {

constexpr const char* kCircuit = "R0-(R1,CPE1)-(R2-W2,CPE2)";
constexpr std::size_t kFrequencies = 50;
constexpr double kMinHz = 1e-2;
constexpr double kDecades = 7.0;

template <class F>
double nanoseconds_per_call(F&& call) {
  return kelvra::bench::seconds_per_call(call) * 1e9;
}

}  // namespace

int main() {
  using namespace kelvra;
  auto parsed = parse(kCircuit);
  if (!parsed) return 1;
  const Series& circuit = parsed.value();
  const std::vector<double> truth = {0.02, 0.05, 1e-3, 0.85, 0.1, 0.3, 0.02, 0.7};

  Spectrum measured;
  for (std::size_t k = 0; k < kFrequencies; ++k) {
    const double hz = kMinHz * std::pow(10.0, kDecades * k / (kFrequencies - 1));
    measured.frequencies.push_back(hz);
    measured.impedances.push_back(series_impedance_with_params(circuit, truth, kTwoPi * hz));
  }
  const PreparedSpectrum data = PreparedSpectrum::from(measured, Weighting::Modulus);

  std::vector<double> start = truth;
  for (double& p : start) p *= 1.1;
  std::vector<double> r(data.residual_count());
  std::vector<double> jac(data.residual_count() * start.size());
  EvalCounter counter;

  const double ns_residuals = nanoseconds_per_call([&] { residuals(circuit, start, data, counter, r); });
  const double ns_jacobian = nanoseconds_per_call([&] { jacobian_columns(circuit, start, data, counter, jac); });
  const double ns_analytic = nanoseconds_per_call(
      [&] { analytic_jacobian_columns(circuit, start, data, counter, jac); });
  std::printf("circuit %s, %zu frequencies, %zu parameters, %zu worker threads\n", kCircuit, kFrequencies,
              start.size(), worker_count());
  std::printf("residual vector: %10.0f ns\n", ns_residuals);
  std::printf("jacobian:        %10.0f ns  (%.1f residual vectors' worth)\n", ns_jacobian,
              ns_jacobian / ns_residuals);
  std::printf("analytic:        %10.0f ns  (%.1f residual vectors' worth, %.1fx faster)\n", ns_analytic,
              ns_analytic / ns_residuals, ns_jacobian / ns_analytic);
  return 0;
}
