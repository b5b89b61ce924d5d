#include "drt/nnls.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/interrupt.h"

namespace kelvra {

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// Cholesky factorisation of the passive block G[P][P] and the solve of
// G[P][P] s = h[P]; false when a pivot is not positive.
bool passive_solve(std::span<const double> g, std::span<const double> h, std::size_t n,
                   const std::vector<std::size_t>& passive, std::vector<double>& factor, std::vector<double>& s) {
  const std::size_t k = passive.size();
  factor.assign(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double sum = g[passive[i] * n + passive[j]];
      for (std::size_t q = 0; q < j; ++q) sum -= factor[i * k + q] * factor[j * k + q];
      if (i == j) {
        if (!(sum > 0.0)) return false;
        factor[i * k + i] = std::sqrt(sum);
      } else {
        factor[i * k + j] = sum / factor[j * k + j];
      }
    }
  }
  s.assign(k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    double sum = h[passive[i]];
    for (std::size_t q = 0; q < i; ++q) sum -= factor[i * k + q] * s[q];
    s[i] = sum / factor[i * k + i];
  }
  for (std::size_t i = k; i-- > 0;) {
    double sum = s[i];
    for (std::size_t q = i + 1; q < k; ++q) sum -= factor[q * k + i] * s[q];
    s[i] = sum / factor[i * k + i];
  }
  return true;
}

// Least squares on the passive columns of E by Householder QR; false when
// a column is (numerically) dependent on the ones before it.
bool passive_qr_solve(std::span<const double> e, std::span<const double> f, std::size_t rows, std::size_t cols,
                      const std::vector<std::size_t>& passive, std::vector<double>& s) {
  const std::size_t k = passive.size();
  if (k > rows) return false;
  std::vector<double> a(rows * k);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t j = 0; j < k; ++j) a[r * k + j] = e[r * cols + passive[j]];
  }
  std::vector<double> y(f.begin(), f.end());
  double largest = 0.0;
  for (std::size_t j = 0; j < k; ++j) {
    double norm2 = 0.0;
    for (std::size_t r = j; r < rows; ++r) norm2 += a[r * k + j] * a[r * k + j];
    const double norm = std::sqrt(norm2);
    largest = std::max(largest, norm);
    if (norm <= kEpsilon * largest * static_cast<double>(rows)) return false;
    const double alpha = a[j * k + j] > 0.0 ? -norm : norm;
    a[j * k + j] -= alpha;
    const double beta = 1.0 / (norm2 - (a[j * k + j] + alpha) * alpha);
    for (std::size_t c = j + 1; c < k; ++c) {
      double dot = 0.0;
      for (std::size_t r = j; r < rows; ++r) dot += a[r * k + j] * a[r * k + c];
      dot *= beta;
      for (std::size_t r = j; r < rows; ++r) a[r * k + c] -= dot * a[r * k + j];
    }
    double dot = 0.0;
    for (std::size_t r = j; r < rows; ++r) dot += a[r * k + j] * y[r];
    dot *= beta;
    for (std::size_t r = j; r < rows; ++r) y[r] -= dot * a[r * k + j];
    a[j * k + j] = alpha;
  }
  s.assign(k, 0.0);
  for (std::size_t i = k; i-- > 0;) {
    double sum = y[i];
    for (std::size_t c = i + 1; c < k; ++c) sum -= a[i * k + c] * s[c];
    s[i] = sum / a[i * k + i];
  }
  return true;
}

}  // namespace

NnlsResult nnls(std::span<const double> e, std::span<const double> f, std::size_t rows, std::size_t cols) {
  NnlsResult result;
  result.x.assign(cols, 0.0);
  std::vector<double> g(cols * cols, 0.0);
  std::vector<double> h(cols, 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = &e[r * cols];
    for (std::size_t i = 0; i < cols; ++i) {
      if (row[i] == 0.0) continue;
      h[i] += row[i] * f[r];
      for (std::size_t j = i; j < cols; ++j) g[i * cols + j] += row[i] * row[j];
    }
  }
  double scale = 0.0;
  for (std::size_t i = 0; i < cols; ++i) {
    for (std::size_t j = 0; j < i; ++j) g[i * cols + j] = g[j * cols + i];
    scale = std::max(scale, g[i * cols + i]);
  }
  // A gradient component w_j = h_j - (G x)_j at or below the tolerance
  // below counts as zero: it is the rounding of h - G x, a sum of cols
  // products of size up to scale max(x) + max(h).
  double hmax = 0.0;
  for (double v : h) hmax = std::max(hmax, std::abs(v));
  std::vector<bool> in_passive(cols, false);
  std::vector<std::size_t> passive;
  std::vector<double> factor;
  std::vector<double> s;
  std::vector<double> w(cols);
  auto& x = result.x;
  const std::size_t limit = kNnlsStepsPerUnknown * cols + 1;
  std::size_t steps = 0;
  while (true) {
    poll_interrupt();
    double xmax = 0.0;
    for (double v : x) xmax = std::max(xmax, v);
    const double tolerance = 10.0 * kEpsilon * static_cast<double>(cols) * (scale * xmax + hmax);
    std::size_t best = cols;
    double best_w = tolerance;
    for (std::size_t j = 0; j < cols; ++j) {
      double sum = h[j];
      for (std::size_t q = 0; q < cols; ++q) sum -= g[j * cols + q] * x[q];
      w[j] = sum;
      if (!in_passive[j] && sum > best_w) {
        best_w = sum;
        best = j;
      }
    }
    if (best == cols) break;
    if (++steps > limit) {
      result.status = NnlsStatus::IterationLimit;
      break;
    }
    in_passive[best] = true;
    passive.push_back(best);
    while (true) {
      if (!passive_solve(g, h, cols, passive, factor, s)) {
        result.status = NnlsStatus::Singular;
        return result;
      }
      bool feasible = true;
      for (double v : s) feasible = feasible && v > 0.0;
      if (feasible) {
        for (std::size_t i = 0; i < passive.size(); ++i) x[passive[i]] = s[i];
        break;
      }
      // Step from x towards s as far as feasibility allows; the index that
      // reaches zero first leaves, with any that reach it together.
      double alpha = 1.0;
      std::size_t leaving = cols;
      for (std::size_t i = 0; i < passive.size(); ++i) {
        if (s[i] <= 0.0) {
          const double xi = x[passive[i]];
          const double step = xi / (xi - s[i]);
          if (leaving == cols || step < alpha) {
            alpha = step;
            leaving = passive[i];
          }
        }
      }
      for (std::size_t i = 0; i < passive.size(); ++i) {
        double& xi = x[passive[i]];
        xi += alpha * (s[i] - xi);
      }
      x[leaving] = 0.0;
      std::vector<std::size_t> kept;
      for (const std::size_t j : passive) {
        if (x[j] <= 0.0) {
          x[j] = 0.0;
          in_passive[j] = false;
        } else {
          kept.push_back(j);
        }
      }
      passive.swap(kept);
      if (passive.empty()) break;
    }
  }
  if (!passive.empty() && passive_qr_solve(e, f, rows, cols, passive, s)) {
    bool feasible = true;
    for (double v : s) feasible = feasible && v > 0.0;
    if (feasible) {
      for (std::size_t i = 0; i < passive.size(); ++i) x[passive[i]] = s[i];
    }
  }
  return result;
}

}  // namespace kelvra
