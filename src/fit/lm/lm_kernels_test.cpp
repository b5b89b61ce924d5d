#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "fit/lm/lm_internal.h"

namespace kelvra::lm {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Vectors of every length around the partial sums' width, and a long one
// with a component of each range placed past the first partial sums: the
// norm is right to the rounding of a sum, and the three groups still take
// over where a square would underflow or overflow.
TEST(Enorm, LongVectorsAgreeWithTheExactNorm) {
  std::vector<double> x;
  for (std::size_t length = 0; length <= 3 * kPartialSums + 1; ++length) {
    x.assign(length, 0.0);
    long double exact = 0.0L;
    for (std::size_t i = 0; i < length; ++i) {
      x[i] = std::sin(1.0 + static_cast<double>(i)) * std::pow(10.0, static_cast<double>(i % 5) - 2.0);
      exact += static_cast<long double>(x[i]) * x[i];
    }
    const double norm = static_cast<double>(std::sqrt(exact));
    EXPECT_NEAR(enorm(x), norm, 4 * kEpsmch * norm) << length;
  }
  x.assign(100, 1.0);
  x[37] = 3e-170;
  EXPECT_NEAR(enorm(x), std::sqrt(99.0), 4 * kEpsmch * 10.0);
  x[61] = 4e170;
  EXPECT_NEAR(enorm(x), 4e170, 4 * kEpsmch * 4e170);
  x[99] = kNaN;
  EXPECT_TRUE(std::isnan(enorm(x)));
}

TEST(Enorm, ScalesAwayUnderflowAndOverflow) {
  struct Case {
    std::vector<double> x;
    double norm;
  };
  const std::vector<Case> cases = {
      {{}, 0.0},
      {{0.0, 0.0}, 0.0},
      {{3.0, -4.0}, 5.0},
      // Zeros beside intermediate or tiny components add nothing.
      {{3.0, 0.0, -0.0, -4.0}, 5.0},
      {{0.0, 3e-200, 0.0, 4e-200}, 5e-200},
      // Squares of these underflow or overflow when summed directly.
      {{3e-200, 4e-200}, 5e-200},
      {{-3e200, 4e200}, 5e200},
      {{3e-320, 4e-320}, 5e-320},
      {{1e308, 1e308}, 1e308 * std::sqrt(2.0)},
      // One component in each of the three ranges.
      {{3e-170, 1.0, 4e170}, 4e170},
      {{1e-160, 3.0, 4.0}, 5.0},
      {{kInf, 1.0}, kInf},
      {{-kInf, kInf}, kInf},
      {{1.0, kNaN}, kNaN},
      {{kNaN, kInf}, kNaN},
      {{kInf, kNaN, 1e-200}, kNaN},
  };
  for (const Case& c : cases) {
    const double got = enorm(c.x);
    if (!std::isfinite(c.norm)) {
      EXPECT_EQ(std::isnan(got), std::isnan(c.norm)) << c.x.size();
      EXPECT_EQ(std::isinf(got), std::isinf(c.norm)) << c.x.size();
    } else {
      EXPECT_NEAR(got, c.norm, 1e-15 * c.norm) << c.x.size() << " " << c.x.front();
    }
  }
}

// Column-major test matrices, m rows.
struct Matrix {
  std::size_t m, n;
  std::vector<double> a;
};

const std::vector<Matrix>& test_matrices() {
  static const std::vector<Matrix> matrices = {
      {4, 3, {1, 2, 3, 4, 2, -1, 0, 5, 7, 1, 1, -3}},
      // Columns scaled over eighteen decades, as EIS parameters are.
      {4, 3, {1e-12, 3e-12, -2e-12, 5e-12, 4e6, -1e6, 2e6, 7e6, 0.5, 0.25, -1.0, 2.0}},
      // Rank 2: the third column is the sum of the first two.
      {5, 3, {1, 0, 2, 1, 3, 2, 1, 0, -1, 4, 3, 1, 2, 0, 7}},
      // A zero column.
      {3, 3, {0, 0, 0, 1, 2, 3, 4, -5, 6}},
      // Square and nearly singular.
      {3, 3, {1, 1, 1, 1, 1 + 1e-9, 1, 1, 1, 1 + 2e-9}},
  };
  return matrices;
}

// R from qrfac's output: the strict upper triangle of a, and rdiag.
std::vector<double> extract_r(const Matrix& f, std::span<const double> rdiag) {
  std::vector<double> r(f.n * f.n, 0.0);
  for (std::size_t j = 0; j < f.n; ++j) {
    for (std::size_t i = 0; i < j; ++i) r[i + j * f.n] = f.a[i + j * f.m];
    r[j + j * f.n] = rdiag[j];
  }
  return r;
}

TEST(Qrfac, FactorsPreserveTheGramMatrixOfThePermutedColumns) {
  for (const Matrix& input : test_matrices()) {
    Matrix f = input;
    std::vector<std::size_t> ipvt(f.n);
    std::vector<double> rdiag(f.n), acnorm(f.n), wa(f.n);
    qrfac(MatrixView{f.a, f.m, f.n}, ipvt, rdiag, acnorm, wa);
    const std::vector<double> r = extract_r(f, rdiag);

    for (std::size_t j = 0; j < f.n; ++j) {
      EXPECT_DOUBLE_EQ(acnorm[j], enorm(std::span(input.a).subspan(j * f.m, f.m)));
      if (j > 0) {
        EXPECT_LE(std::fabs(rdiag[j]), std::fabs(rdiag[j - 1]) * (1.0 + 1e-12));
      }
    }
    // Q is orthogonal, so (A P)^T (A P) = R^T R entry by entry.
    for (std::size_t j = 0; j < f.n; ++j) {
      for (std::size_t k = 0; k < f.n; ++k) {
        double ata = 0.0;
        for (std::size_t i = 0; i < f.m; ++i) ata += input.a[i + ipvt[j] * f.m] * input.a[i + ipvt[k] * f.m];
        double rtr = 0.0;
        for (std::size_t i = 0; i < f.n; ++i) rtr += r[i + j * f.n] * r[i + k * f.n];
        EXPECT_NEAR(rtr, ata, 1e-13 * acnorm[ipvt[j]] * acnorm[ipvt[k]]) << j << " " << k;
      }
    }
  }
}

// lmpar on the factor of each test matrix, for trust radii from far inside
// to far outside the Gauss-Newton step, with M = R P^T standing for A.
TEST(Lmpar, StepSolvesTheDampedSystemAndMeetsTheRadius) {
  const std::vector<double> radii = {1e-6, 0.01, 0.5, 3.0, 1e6};
  for (const Matrix& input : test_matrices()) {
    Matrix f = input;
    const std::size_t n = f.n;
    std::vector<std::size_t> ipvt(n);
    std::vector<double> rdiag(n), acnorm(n), wa(n);
    qrfac(MatrixView{f.a, f.m, n}, ipvt, rdiag, acnorm, wa);
    const std::vector<double> r = extract_r(f, rdiag);
    std::vector<double> diag(n), qtb(n);
    for (std::size_t j = 0; j < n; ++j) {
      diag[j] = acnorm[j] == 0.0 ? 1.0 : acnorm[j];
      qtb[j] = 1.0 + static_cast<double>(j);
    }

    for (const double delta : radii) {
      std::vector<double> work = r, x(n), sdiag(n), wa1(n), wa2(n);
      double par = 0.0;
      lmpar(MatrixView{work, n, n}, ipvt, diag, qtb, delta, par, x, sdiag, wa1, wa2);
      ASSERT_GE(par, 0.0);

      std::vector<double> dx(n);
      for (std::size_t j = 0; j < n; ++j) dx[j] = diag[j] * x[j];
      const double dxnorm = enorm(dx);
      if (par == 0.0) {
        EXPECT_LE(dxnorm, 1.1 * delta) << delta;
      } else {
        EXPECT_LE(std::fabs(dxnorm - delta), 0.1 * delta) << delta;
      }
      // The upper triangle of R survives for the caller's later use.
      for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i = 0; i <= j; ++i) EXPECT_EQ(work[i + j * n], r[i + j * n]);

      // (M^T M + par D^2) x = M^T qtb, where M x = R (P^T x).
      std::vector<double> mx(n, 0.0), residual(n);
      for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i = 0; i <= j; ++i) mx[i] += r[i + j * n] * x[ipvt[j]];
      double scale = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        double mt_mx = 0.0, mt_b = 0.0;
        for (std::size_t i = 0; i <= j; ++i) {
          mt_mx += r[i + j * n] * mx[i];
          mt_b += r[i + j * n] * qtb[i];
        }
        const std::size_t l = ipvt[j];
        residual[l] = mt_mx + par * diag[l] * diag[l] * x[l] - mt_b;
        scale = std::max({scale, std::fabs(mt_b), std::fabs(mt_mx)});
      }
      // A singular M leaves the undamped step undetermined in its null
      // space; only the damped or full-rank systems are pinned down.
      if (par > 0.0 || std::fabs(rdiag[n - 1]) > 1e-6 * std::fabs(rdiag[0])) {
        EXPECT_LE(enorm(residual), 1e-9 * scale) << delta;
      }
    }
  }
}

// Scaling A, b, D and the radius by s leaves the damped step unchanged. At
// 1e200 and 1e-200 the squares in the rotations would overflow or underflow,
// and they are formed from ratios instead.
TEST(Lmpar, StepDoesNotDependOnTheScaleOfTheProblem) {
  const Matrix& input = test_matrices().front();
  const std::size_t n = input.n;
  auto step = [&](double s) {
    Matrix f = input;
    for (double& v : f.a) v *= s;
    std::vector<std::size_t> ipvt(n);
    std::vector<double> rdiag(n), acnorm(n), wa(n);
    qrfac(MatrixView{f.a, f.m, n}, ipvt, rdiag, acnorm, wa);
    std::vector<double> r = extract_r(f, rdiag);
    std::vector<double> diag(acnorm), qtb(n), x(n), sdiag(n), wa1(n), wa2(n);
    for (std::size_t j = 0; j < n; ++j) qtb[j] = s * (1.0 + static_cast<double>(j));
    double par = 0.0;
    lmpar(MatrixView{r, n, n}, ipvt, diag, qtb, 0.05 * s, par, x, sdiag, wa1, wa2);
    EXPECT_GT(par, 0.0) << s;
    return x;
  };
  const std::vector<double> unscaled = step(1.0);
  for (const double s : {1e200, 1e-200}) {
    const std::vector<double> scaled = step(s);
    for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(scaled[j], unscaled[j], 1e-12 * enorm(unscaled)) << s;
  }
}

}  // namespace
}  // namespace kelvra::lm
