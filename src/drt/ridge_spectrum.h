// The regularised linear problem of a DRT,
//   min |A0 x0 + A1 x1 - b|^2 + lambda x1^T M x1,
// whose first columns x0 (series resistance, inductance) carry no penalty,
// prepared once so that every lambda afterwards costs O(p) to score and one
// p x p factorisation to solve.
//
// The free columns are projected out by Householder QR: with A0 = Q R0 the
// problem in x1 alone is the same one on the rows of Q^T [A1 b] below the
// first u. The Cholesky factor L of M then turns it into standard form,
// z = L^T x1, whose Gram matrix K = L^-1 A1'^T A1' L^-T has the eigenvalues
// sigma_i^2 and right-hand side coordinates c_i; the residual and the trace
// of the influence matrix are then sums over i (Hansen, Rank-Deficient and
// Discrete Ill-Posed Problems, SIAM 1998, ch. 2 and 7).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kelvra {

// M receives this multiple of its mean diagonal on the diagonal before it
// is factorised, so that the derivative penalties (nearly blind to a
// constant gamma) have a Cholesky factor; a ridge this small moves no
// solution by a visible amount.
inline constexpr double kPenaltyJitter = 1e-9;

struct RidgeProblem {
  std::size_t rows = 0;        // equations of the full system
  std::size_t free_count = 0;  // u unpenalised columns
  std::size_t size = 0;        // p penalised columns
  std::vector<double> reduced;      // (rows - u) x p
  std::vector<double> reduced_rhs;  // rows - u
  std::vector<double> r_free;       // u x u, upper triangular
  std::vector<double> r_cross;      // u x p
  std::vector<double> q_rhs;        // u
  std::vector<double> penalty;      // p x p, M with the jitter
  std::vector<double> factor;       // p x p, lower: factor factor^T = penalty
  std::vector<double> gram;         // reduced^T reduced
  std::vector<double> gram_rhs;     // reduced^T reduced_rhs
  double rhs_norm2 = 0.0;           // |reduced_rhs|^2
};

// a: rows x (u + p), row-major, free columns first; b: rows; m: p x p.
// Nothing when the free columns are linearly dependent or M with its
// jitter is not positive definite.
std::optional<RidgeProblem> make_ridge_problem(std::span<const double> a, std::span<const double> b,
                                               std::size_t rows, std::size_t free_count, std::size_t size,
                                               std::span<const double> m);

struct RidgeSpectrum {
  std::vector<double> sigma2;  // eigenvalues of K, clamped at 0
  std::vector<double> coef2;   // c_i^2
  double rhs_norm2 = 0.0;
  std::size_t rows = 0;
  std::size_t free_count = 0;

  // |A x(lambda) - b|^2 of the full system.
  double residual2(double lambda) const;
  // Trace of the influence matrix: u + sum sigma^2 / (sigma^2 + lambda).
  double influence_trace(double lambda) const;
};

// Nothing when the eigenvalue iteration failed.
std::optional<RidgeSpectrum> ridge_spectrum(const RidgeProblem& problem);

// The signed minimiser x1 for `lambda` > 0 (Cholesky of gram + lambda M);
// false when that matrix is not positive definite in floating point.
bool ridge_solve(const RidgeProblem& problem, double lambda, std::span<double> x1);

// The free unknowns x0 that go with x1: R0 x0 = Q^T b - R01 x1.
void free_part(const RidgeProblem& problem, std::span<const double> x1, std::span<double> x0);

// The stacked system [reduced; sqrt(lambda) L^T] x1 = [reduced_rhs; 0],
// (rows - u + p) x p, whose non-negative least-squares solution is the
// non-negative DRT.
void stacked_system(const RidgeProblem& problem, double lambda, std::vector<double>& e, std::vector<double>& f);

}  // namespace kelvra
