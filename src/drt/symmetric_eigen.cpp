#include "drt/symmetric_eigen.h"

#include <cmath>
#include <limits>
#include <vector>

namespace kelvra {

namespace {

// Reduces a to tridiagonal form T = Q^T a Q; writes its diagonal and
// subdiagonal (off[k] = T[k+1][k]) and replaces vector by Q^T vector.
void tridiagonalise(std::span<double> a, std::size_t n, std::span<double> diag, std::span<double> off,
                    std::span<double> vector) {
  std::vector<double> v(n);
  std::vector<double> p(n);
  for (std::size_t k = 0; k + 2 < n; ++k) {
    const std::size_t start = k + 1;
    double norm2 = 0.0;
    for (std::size_t i = start; i < n; ++i) norm2 += a[i * n + k] * a[i * n + k];
    const double x0 = a[start * n + k];
    // Already in tridiagonal form below row k+1: nothing to reflect.
    if (norm2 - x0 * x0 == 0.0) continue;
    const double alpha = x0 > 0.0 ? -std::sqrt(norm2) : std::sqrt(norm2);
    for (std::size_t i = start; i < n; ++i) v[i] = a[i * n + k];
    v[start] -= alpha;
    // v^T v = norm2 - 2 alpha x0 + alpha^2 = 2 (norm2 - alpha x0).
    const double beta = 1.0 / (norm2 - alpha * x0);
    // p = beta A22 v, w = p - (beta/2)(p^T v) v, A22 -= v w^T + w v^T.
    double pv = 0.0;
    for (std::size_t i = start; i < n; ++i) {
      double sum = 0.0;
      for (std::size_t j = start; j < n; ++j) sum += a[i * n + j] * v[j];
      p[i] = beta * sum;
      pv += p[i] * v[i];
    }
    const double half = 0.5 * beta * pv;
    for (std::size_t i = start; i < n; ++i) p[i] -= half * v[i];
    for (std::size_t i = start; i < n; ++i) {
      for (std::size_t j = start; j < n; ++j) a[i * n + j] -= v[i] * p[j] + p[i] * v[j];
    }
    a[start * n + k] = alpha;
    a[k * n + start] = alpha;
    for (std::size_t i = start + 1; i < n; ++i) {
      a[i * n + k] = 0.0;
      a[k * n + i] = 0.0;
    }
    double vg = 0.0;
    for (std::size_t i = start; i < n; ++i) vg += v[i] * vector[i];
    for (std::size_t i = start; i < n; ++i) vector[i] -= beta * vg * v[i];
  }
  for (std::size_t i = 0; i < n; ++i) diag[i] = a[i * n + i];
  for (std::size_t i = 0; i + 1 < n; ++i) off[i] = a[(i + 1) * n + i];
}

// One implicit QR step with the Wilkinson shift on the unreduced block
// [low, high] of the tridiagonal matrix, chasing the bulge down; each
// rotation replaces columns (k, k+1) by (c e_k - s e_k+1, s e_k + c e_k+1).
void qr_step(std::span<double> diag, std::span<double> off, std::size_t low, std::size_t high,
             std::span<double> vector) {
  const double delta = 0.5 * (diag[high - 1] - diag[high]);
  const double e = off[high - 1];
  const double root = std::hypot(delta, e);
  const double shift = diag[high] - e * e / (delta + (delta >= 0.0 ? root : -root));
  double x = diag[low] - shift;
  double z = off[low];
  for (std::size_t k = low; k < high; ++k) {
    const double r = std::hypot(x, z);
    // x = z = 0 only when the block has already split; the identity is then
    // the right rotation.
    const double c = r == 0.0 ? 1.0 : x / r;
    const double s = r == 0.0 ? 0.0 : -z / r;
    if (k > low) off[k - 1] = r;
    const double a = diag[k];
    const double b = diag[k + 1];
    const double f = off[k];
    diag[k] = c * c * a - 2.0 * c * s * f + s * s * b;
    diag[k + 1] = s * s * a + 2.0 * c * s * f + c * c * b;
    off[k] = c * s * (a - b) + (c * c - s * s) * f;
    if (k + 1 < high) {
      const double next = off[k + 1];
      x = off[k];
      z = -s * next;  // the bulge at (k+2, k)
      off[k + 1] = c * next;
    }
    const double gk = vector[k];
    const double gk1 = vector[k + 1];
    vector[k] = c * gk - s * gk1;
    vector[k + 1] = s * gk + c * gk1;
  }
}

bool negligible(std::span<const double> diag, std::span<const double> off, std::size_t k) {
  constexpr double eps = std::numeric_limits<double>::epsilon();
  return std::abs(off[k]) <= eps * (std::abs(diag[k]) + std::abs(diag[k + 1]));
}

}  // namespace

bool symmetric_eigen(std::span<double> a, std::size_t n, std::span<double> values, std::span<double> vector) {
  if (n == 0) return true;
  std::vector<double> off(n, 0.0);
  tridiagonalise(a, n, values, off, vector);
  std::size_t budget = kMaxEigenStepsPerValue * n;
  std::size_t high = n - 1;
  while (high > 0) {
    if (negligible(values, off, high - 1)) {
      off[high - 1] = 0.0;
      --high;
      continue;
    }
    std::size_t low = high - 1;
    while (low > 0 && !negligible(values, off, low - 1)) --low;
    if (low > 0) off[low - 1] = 0.0;
    if (budget-- == 0) return false;
    qr_step(values, off, low, high, vector);
  }
  return true;
}

}  // namespace kelvra
