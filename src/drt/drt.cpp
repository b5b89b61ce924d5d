#include "drt/drt.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <optional>

#include "drt/nnls.h"
#include "drt/ridge_spectrum.h"
#include "support/text.h"

namespace kelvra {

namespace {

DrtError error_at(DrtError::Kind kind, std::size_t point, double value = 0.0) {
  return DrtError{kind, point, 0, value, {}};
}

DrtError bad_option(const char* name, double value) {
  return DrtError{DrtError::Kind::BadOption, 0, 0, value, name};
}

std::optional<DrtError> check_spectrum(const Spectrum& spectrum) {
  const std::size_t n = spectrum.frequencies.size();
  if (spectrum.impedances.size() != n) {
    return DrtError{DrtError::Kind::LengthMismatch, n, spectrum.impedances.size(), 0.0, {}};
  }
  if (n < kMinDrtPoints) return error_at(DrtError::Kind::TooFewPoints, n);
  for (std::size_t i = 0; i < n; ++i) {
    const double f = spectrum.frequencies[i];
    const Complex z = spectrum.impedances[i];
    if (!std::isfinite(f) || !std::isfinite(z.re) || !std::isfinite(z.im)) {
      return error_at(DrtError::Kind::NotFinite, i, f);
    }
    if (!(f > 0.0)) return error_at(DrtError::Kind::NonPositiveFrequency, i, f);
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return spectrum.frequencies[a] < spectrum.frequencies[b]; });
  for (std::size_t k = 1; k < n; ++k) {
    const std::size_t a = std::min(order[k - 1], order[k]);
    const std::size_t b = std::max(order[k - 1], order[k]);
    if (spectrum.frequencies[a] == spectrum.frequencies[b]) {
      return DrtError{DrtError::Kind::DuplicateFrequency, b, a, spectrum.frequencies[b], {}};
    }
  }
  const bool all_zero = std::all_of(spectrum.impedances.begin(), spectrum.impedances.end(),
                                    [](Complex z) { return z.re == 0.0 && z.im == 0.0; });
  if (all_zero) return error_at(DrtError::Kind::AllZero, 0);
  return std::nullopt;
}

std::optional<DrtError> check_options(const DrtOptions& options) {
  if (options.rule == LambdaRule::Given && !(options.lambda > 0.0 && std::isfinite(options.lambda))) {
    return bad_option("lambda_", options.lambda);
  }
  if (!(options.points_per_decade > 0.0 && std::isfinite(options.points_per_decade))) {
    return bad_option("points_per_decade", options.points_per_decade);
  }
  if (!(options.extension_decades >= 0.0 && std::isfinite(options.extension_decades))) {
    return bad_option("extension_decades", options.extension_decades);
  }
  if (!(options.shape_factor > 0.0 && std::isfinite(options.shape_factor))) {
    return bad_option("shape_factor", options.shape_factor);
  }
  return std::nullopt;
}

// Everything the linear systems of one spectrum are built from. The
// unknowns are normalised: R_inf and x_m in units of the largest |Z|, L in
// units of that over the largest angular frequency, so that every column
// has entries of order one; rows are divided by their weight and by the
// root mean square of the weighted data, which makes lambda independent of
// the spectrum's scale.
struct Frame {
  std::size_t points = 0;
  std::size_t size = 0;  // basis functions
  std::vector<double> omega;
  std::vector<double> weight;
  std::vector<Complex> measured;
  std::vector<double> a_re;  // points x size, raw kernels
  std::vector<double> a_im;
  double r_ref = 0.0;
  double omega_max = 0.0;
  double data_scale = 0.0;
  bool with_inductance = false;

  double row_scale(std::size_t n) const { return 1.0 / (weight[n] * data_scale); }
};

struct LinearSystem {
  std::size_t rows = 0;
  std::size_t free_count = 0;
  bool has_r = false;
  bool has_l = false;
  std::vector<double> a;
  std::vector<double> b;
};

LinearSystem build_system(const Frame& frame, DrtParts parts) {
  LinearSystem system;
  const bool real_rows = parts != DrtParts::Imaginary;
  const bool imag_rows = parts != DrtParts::Real;
  system.has_r = real_rows;
  system.has_l = imag_rows && frame.with_inductance;
  system.free_count = (system.has_r ? 1 : 0) + (system.has_l ? 1 : 0);
  const std::size_t cols = system.free_count + frame.size;
  system.rows = frame.points * ((real_rows ? 1 : 0) + (imag_rows ? 1 : 0));
  system.a.assign(system.rows * cols, 0.0);
  system.b.assign(system.rows, 0.0);
  std::size_t row = 0;
  const std::size_t gamma_column = system.free_count;
  const std::size_t l_column = system.has_r ? 1 : 0;
  for (int part = 0; part < 2; ++part) {
    const bool real = part == 0;
    if ((real && !real_rows) || (!real && !imag_rows)) continue;
    for (std::size_t n = 0; n < frame.points; ++n, ++row) {
      const double scale = frame.row_scale(n);
      double* out = &system.a[row * cols];
      if (real && system.has_r) out[0] = frame.r_ref * scale;
      if (!real && system.has_l) out[l_column] = frame.r_ref * frame.omega[n] / frame.omega_max * scale;
      const double* kernel = real ? &frame.a_re[n * frame.size] : &frame.a_im[n * frame.size];
      for (std::size_t m = 0; m < frame.size; ++m) out[gamma_column + m] = frame.r_ref * kernel[m] * scale;
      system.b[row] = (real ? frame.measured[n].re : frame.measured[n].im) * scale;
    }
  }
  return system;
}

// The sum of squares of `residual` left after the best multiple of
// `column` is taken out of it.
double without_projection(std::span<const double> residual, std::span<const double> column) {
  double rr = 0.0;
  double cr = 0.0;
  double cc = 0.0;
  for (std::size_t i = 0; i < residual.size(); ++i) {
    rr += residual[i] * residual[i];
    cr += column[i] * residual[i];
    cc += column[i] * column[i];
  }
  return cc > 0.0 ? std::max(rr - cr * cr / cc, 0.0) : rr;
}

// The real-imaginary cross-validation score of `lambda`: each part's fit
// predicts the other part, up to the free unknown that part cannot see
// (R_inf for the imaginary fit, L for the real one).
class ReImScore {
 public:
  ReImScore(const Frame& frame, const RidgeProblem& real, const RidgeProblem& imag)
      : frame_(frame), real_(real), imag_(imag), x_re_(frame.size), x_im_(frame.size),
        residual_(frame.points), column_(frame.points) {}

  double operator()(double lambda) {
    if (!ridge_solve(real_, lambda, x_re_) || !ridge_solve(imag_, lambda, x_im_)) {
      return std::numeric_limits<double>::infinity();
    }
    double score = 0.0;
    for (int part = 0; part < 2; ++part) {
      const bool real = part == 0;
      const std::vector<double>& kernel = real ? frame_.a_re : frame_.a_im;
      const std::vector<double>& x = real ? x_im_ : x_re_;
      for (std::size_t n = 0; n < frame_.points; ++n) {
        const double scale = frame_.row_scale(n);
        double predicted = 0.0;
        for (std::size_t m = 0; m < frame_.size; ++m) predicted += kernel[n * frame_.size + m] * x[m];
        const double measured = real ? frame_.measured[n].re : frame_.measured[n].im;
        residual_[n] = (frame_.r_ref * predicted - measured) * scale;
        column_[n] = real ? scale : frame_.omega[n] * scale;
      }
      const bool has_offset = real || frame_.with_inductance;
      score += has_offset ? without_projection(residual_, column_)
                          : std::inner_product(residual_.begin(), residual_.end(), residual_.begin(), 0.0);
    }
    return score;
  }

 private:
  const Frame& frame_;
  const RidgeProblem& real_;
  const RidgeProblem& imag_;
  std::vector<double> x_re_;
  std::vector<double> x_im_;
  std::vector<double> residual_;
  std::vector<double> column_;
};

DrtError numerical(const char* what) { return DrtError{DrtError::Kind::Numerical, 0, 0, 0.0, what}; }

Result<double, DrtError> choose_lambda(const Frame& frame, const RidgeProblem& problem, std::span<const double> m,
                                       const DrtOptions& options) {
  switch (options.rule) {
    case LambdaRule::Given:
      return options.lambda;
    case LambdaRule::Gcv:
    case LambdaRule::ModifiedGcv: {
      const std::optional<RidgeSpectrum> spectrum = ridge_spectrum(problem);
      if (!spectrum) return fail(numerical("the eigenvalues of the regularised system did not converge"));
      const double rho = options.rule == LambdaRule::Gcv ? 1.0 : modified_gcv_weight(problem.rows);
      return minimise_over_lambda([&](double lambda) { return gcv_score(*spectrum, lambda, rho); });
    }
    case LambdaRule::ReImCrossValidation: {
      const LinearSystem real = build_system(frame, DrtParts::Real);
      const LinearSystem imag = build_system(frame, DrtParts::Imaginary);
      std::optional<RidgeProblem> real_problem =
          make_ridge_problem(real.a, real.b, real.rows, real.free_count, frame.size, m);
      std::optional<RidgeProblem> imag_problem =
          make_ridge_problem(imag.a, imag.b, imag.rows, imag.free_count, frame.size, m);
      if (!real_problem || !imag_problem) return fail(numerical("the cross-validation systems are singular"));
      ReImScore score(frame, *real_problem, *imag_problem);
      return minimise_over_lambda([&](double lambda) { return score(lambda); });
    }
  }
  return options.lambda;
}

}  // namespace

std::string display(const DrtError& error) {
  using Kind = DrtError::Kind;
  switch (error.kind) {
    case Kind::LengthMismatch:
      return "frequencies and impedances differ in length (" + std::to_string(error.point) + " and " +
             std::to_string(error.other) + ")";
    case Kind::TooFewPoints:
      return "a DRT needs at least " + std::to_string(kMinDrtPoints) + " points, got " + std::to_string(error.point);
    case Kind::NotFinite:
      return "point " + std::to_string(error.point) + " has a NaN or infinite frequency or impedance";
    case Kind::NonPositiveFrequency:
      return "point " + std::to_string(error.point) + " has the frequency " + format_number(error.value) +
             " Hz; frequencies must be positive";
    case Kind::DuplicateFrequency:
      return "points " + std::to_string(error.other) + " and " + std::to_string(error.point) +
             " share the frequency " + format_number(error.value) + " Hz";
    case Kind::AllZero:
      return "every impedance is zero: there is no spectrum to take a DRT of";
    case Kind::BadOption:
      return error.detail + " must be positive and finite, got " + format_number(error.value);
    case Kind::Numerical:
      return "the DRT could not be computed: " + error.detail;
  }
  return "invalid DRT input";
}

Result<Drt, DrtError> compute_drt(const Spectrum& spectrum, const DrtOptions& options) {
  if (std::optional<DrtError> error = check_spectrum(spectrum)) return fail(*error);
  if (std::optional<DrtError> error = check_options(options)) return fail(*error);

  Frame frame;
  frame.points = spectrum.frequencies.size();
  frame.measured = spectrum.impedances;
  frame.weight = compute_weights(spectrum.impedances, options.weighting);
  frame.omega.resize(frame.points);
  double f_min = spectrum.frequencies[0];
  double f_max = f_min;
  bool inductive = false;
  for (std::size_t n = 0; n < frame.points; ++n) {
    const double f = spectrum.frequencies[n];
    f_min = std::min(f_min, f);
    f_max = std::max(f_max, f);
    frame.omega[n] = 2.0 * std::numbers::pi * f;
    frame.r_ref = std::max(frame.r_ref, std::hypot(spectrum.impedances[n].re, spectrum.impedances[n].im));
    inductive = inductive || spectrum.impedances[n].im > 0.0;
  }
  frame.omega_max = 2.0 * std::numbers::pi * f_max;
  frame.with_inductance = options.inductance == InductanceChoice::Include ||
                          (options.inductance == InductanceChoice::Auto && inductive);
  double sum2 = 0.0;
  for (std::size_t n = 0; n < frame.points; ++n) {
    const Complex z = frame.measured[n];
    sum2 += (z.re * z.re + z.im * z.im) / (frame.weight[n] * frame.weight[n]);
  }
  frame.data_scale = std::sqrt(sum2 / static_cast<double>(2 * frame.points));

  Drt drt;
  drt.grid = make_tau_grid(f_min, f_max, options.points_per_decade, options.extension_decades,
                           options.shape_factor);
  frame.size = drt.grid.size();
  const std::size_t p = frame.size;
  frame.a_re.resize(frame.points * p);
  frame.a_im.resize(frame.points * p);
  basis_matrices(drt.grid, frame.omega, frame.a_re, frame.a_im);

  std::vector<double> m(p * p);
  penalty_matrix(drt.grid, options.penalty, m);
  double mean_diagonal = 0.0;
  for (std::size_t i = 0; i < p; ++i) mean_diagonal += m[i * p + i];
  mean_diagonal /= static_cast<double>(p);
  for (double& v : m) v /= mean_diagonal;

  const LinearSystem system = build_system(frame, options.parts);
  const std::optional<RidgeProblem> problem =
      make_ridge_problem(system.a, system.b, system.rows, system.free_count, p, m);
  if (!problem) return fail(numerical("the regularised system is singular"));
  Result<double, DrtError> lambda = choose_lambda(frame, *problem, m, options);
  if (!lambda) return fail(lambda.error());
  drt.lambda = lambda.value();
  if (options.rule != LambdaRule::Given) {
    const double step = std::pow(10.0, 1.0 / kScanPointsPerDecade);
    drt.lambda_at_limit = drt.lambda <= kLambdaMin * step || drt.lambda >= kLambdaMax / step;
  }

  std::vector<double> x1(p);
  std::vector<double> e;
  std::vector<double> f;
  if (options.nonnegative || options.keep_system) stacked_system(*problem, drt.lambda, e, f);
  if (options.nonnegative) {
    NnlsResult solved = nnls(e, f, f.size(), p);
    if (solved.status == NnlsStatus::Singular) return fail(numerical("the non-negative solver met a singular system"));
    drt.converged = solved.status == NnlsStatus::Converged;
    x1 = std::move(solved.x);
  } else if (!ridge_solve(*problem, drt.lambda, x1)) {
    return fail(numerical("the regularised system is not positive definite"));
  }
  std::vector<double> x0(system.free_count);
  free_part(*problem, x1, x0);
  if (options.keep_system) {
    drt.system_rows = f.size();
    drt.system_cols = p;
    drt.system_matrix = std::move(e);
    drt.system_rhs = std::move(f);
    drt.system_solution = x1;
  }

  drt.weights.resize(p);
  for (std::size_t i = 0; i < p; ++i) drt.weights[i] = frame.r_ref * x1[i];
  drt.has_inductance = system.has_l;
  if (system.has_r) drt.r_inf = frame.r_ref * x0[0];
  if (system.has_l) drt.inductance = frame.r_ref / frame.omega_max * x0[system.has_r ? 1 : 0];

  drt.fitted.resize(frame.points);
  for (std::size_t n = 0; n < frame.points; ++n) {
    double re = 0.0;
    double im = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
      re += frame.a_re[n * p + j] * drt.weights[j];
      im += frame.a_im[n * p + j] * drt.weights[j];
    }
    drt.fitted[n] = {re, im + frame.omega[n] * drt.inductance};
  }
  if (!system.has_r) {
    // The imaginary part alone cannot see R_inf: it is the weighted mean of
    // what the real part leaves.
    double numerator = 0.0;
    double denominator = 0.0;
    for (std::size_t n = 0; n < frame.points; ++n) {
      const double w2 = 1.0 / (frame.weight[n] * frame.weight[n]);
      numerator += (frame.measured[n].re - drt.fitted[n].re) * w2;
      denominator += w2;
    }
    drt.r_inf = numerator / denominator;
  }
  for (std::size_t n = 0; n < frame.points; ++n) {
    drt.fitted[n].re += drt.r_inf;
    const double dr = (frame.measured[n].re - drt.fitted[n].re) / frame.weight[n];
    const double di = (frame.measured[n].im - drt.fitted[n].im) / frame.weight[n];
    drt.chi_square += dr * dr + di * di;
  }

  double total = 0.0;
  for (double x : drt.weights) total += x;
  drt.polarization_resistance = total * drt.grid.basis_area();

  const std::size_t fine = (p - 1) * kGammaRefinement + 1;
  drt.log_tau.resize(fine);
  const double step = drt.grid.spacing / static_cast<double>(kGammaRefinement);
  for (std::size_t i = 0; i < fine; ++i) drt.log_tau[i] = drt.grid.log_tau.front() + static_cast<double>(i) * step;
  drt.gamma.resize(fine);
  evaluate_gamma(drt.grid, drt.weights, drt.log_tau, drt.gamma);
  drt.peaks = find_peaks(drt.log_tau, drt.gamma);
  return drt;
}

}  // namespace kelvra
