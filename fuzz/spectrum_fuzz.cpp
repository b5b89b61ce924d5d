// What a measured spectrum feeds once the Python layer has read it: the
// input checks, weights, impedance sweep, residuals and Jacobian, on any
// circuit and any numbers (NaN, infinities, zero and negative frequencies,
// mismatched lengths). The input is a circuit string, a zero byte, then
// doubles: a weighting selector, then (frequency, re, im) triples, then
// leftovers taken as extra frequencies so the two lengths may differ.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/grammar.h"
#include "circuit/impedance_sweep.h"
#include "circuit/params.h"
#include "fit/fit_inputs.h"
#include "fit/residuals.h"

namespace {

// Enough points to cross the sweep's parallel threshold, few enough to keep
// one input fast.
constexpr std::size_t kMaxPoints = 2 * kelvra::kParallelSweepThreshold;
constexpr std::size_t kDoublesPerPoint = 3;

std::vector<double> read_doubles(std::span<const std::uint8_t> bytes) {
  std::vector<double> out(bytes.size() / sizeof(double));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(double));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const auto* end_of_text = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  if (end_of_text == nullptr) return 0;
  const std::size_t text_size = static_cast<std::size_t>(end_of_text - data);
  const auto parsed = kelvra::parse({reinterpret_cast<const char*>(data), text_size});
  if (!parsed) return 0;
  const kelvra::Series& circuit = parsed.value();

  std::vector<double> numbers = read_doubles(bytes.subspan(text_size + 1));
  if (numbers.empty()) return 0;
  const auto weighting = numbers.front() < 0.0 ? kelvra::Weighting::Unit : kelvra::Weighting::Modulus;
  kelvra::Spectrum spectrum;
  std::size_t i = 1;
  for (; i + kDoublesPerPoint <= numbers.size() && spectrum.frequencies.size() < kMaxPoints; i += kDoublesPerPoint) {
    spectrum.frequencies.push_back(numbers[i]);
    spectrum.impedances.push_back({numbers[i + 1], numbers[i + 2]});
  }
  for (; i < numbers.size(); ++i) spectrum.frequencies.push_back(numbers[i]);

  std::vector<kelvra::Complex> swept(spectrum.frequencies.size());
  kelvra::sweep_impedance(circuit, spectrum.frequencies, swept);
  if (kelvra::check_fit_inputs(circuit, spectrum)) return 0;

  const kelvra::PreparedSpectrum weighted = kelvra::PreparedSpectrum::from(spectrum, weighting);
  const std::vector<double> params = kelvra::param_values(circuit);
  kelvra::EvalCounter counter;
  std::vector<double> residuals(weighted.residual_count());
  kelvra::residuals(circuit, params, weighted, counter, residuals);
  std::vector<double> jacobian(weighted.residual_count() * params.size());
  kelvra::jacobian_columns(circuit, params, weighted, counter, jacobian);
  if (counter.value() != 1 + 2 * params.size()) __builtin_trap();
  return 0;
}
