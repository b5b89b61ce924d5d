#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "nn/conv1d_kernel.h"
#include "nn/network.h"
#include "nn/nn_test_support.h"
#include "nn/packed_network.h"

namespace kelvra {
namespace {

using testing::NetworkShape;
using testing::random_guesser;
using testing::ReferenceNetwork;
using testing::two_arc_spectrum;

constexpr double kTolerance = 1e-12;

// Within kTolerance of `scale`, or of each expected value where scale is 0.
void expect_close(const std::vector<double>& actual, const std::vector<double>& expected, double scale = 0.0) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], kTolerance * (scale > 0.0 ? scale : std::abs(expected[i]))) << "output " << i;
  }
}

struct ShapeCase {
  const char* name;
  NetworkShape shape;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class PackedNetworkTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(PackedNetworkTest, PredictsAsThePlainLoops) {
  const Guesser g = random_guesser(GetParam().shape, 7);
  const Predictor predictor(g);
  for (const std::size_t points : {50u, 9u}) {
    const testing::TestSpectrum s = two_arc_spectrum(points);
    const auto predicted = predictor.predict(s.frequencies, s.impedances);
    ASSERT_TRUE(predicted.ok());
    expect_close(predicted.value(), ReferenceNetwork(g).predict(s.frequencies, s.impedances));
  }
}

// Every kernel variant the processor has, not only the one predict picks.
TEST_P(PackedNetworkTest, EveryKernelVariantRunsThePlainLoops) {
  const Guesser g = random_guesser(GetParam().shape, 11);
  const PackedNetwork network = pack_network(g);
  const testing::TestSpectrum s = two_arc_spectrum(31);
  const SpectrumFeatures in = features(g, s.frequencies, s.impedances);
  const std::vector<double> expected = ReferenceNetwork(g).raw(in);
  // Outputs of mixed-sign sums may cancel, so the tolerance is set by the
  // outputs' magnitude rather than by each value.
  double magnitude = 0.0;
  for (const double y : expected) magnitude = std::max(magnitude, std::abs(y));
  for (const CpuVariant variant : kAllVariants) {
    if (!supports(variant)) continue;
    SCOPED_TRACE(variant_name(variant));
    expect_close(forward(network, in.image, in.extras, variant), expected, magnitude);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PackedNetworkTest,
    ::testing::Values(ShapeCase{"c16", {16, 5, 4, 64, {1, 2, 4, 8}}}, ShapeCase{"c32", {32, 5, 8, 64, {1, 2, 4, 8}}},
                      ShapeCase{"c64", {64, 5, 8, 64, {1, 2, 4, 8}}},
                      // Widths and lengths that are not whole register blocks.
                      ShapeCase{"c10_g50", {10, 3, 5, 50, {3, 1}}},
                      // Even kernel: the taps reach further right than left; at
                      // dilation 70 every tap reads only padding.
                      ShapeCase{"c16_k4", {16, 4, 2, 33, {1, 40, 70}}},
                      // Dilations so large that the outer taps only ever read padding.
                      ShapeCase{"c16_wide", {16, 5, 4, 20, {15, 1000000007, 1ull << 40}}},
                      ShapeCase{"g1", {12, 5, 3, 1, {1, 2}}}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

TEST(PredictorTest, DescendingFrequenciesPredictTheSame) {
  const Predictor predictor(random_guesser({}, 3));
  testing::TestSpectrum s = two_arc_spectrum(40);
  const std::vector<double> up = predictor.predict(s.frequencies, s.impedances).value();
  std::reverse(s.frequencies.begin(), s.frequencies.end());
  std::reverse(s.impedances.begin(), s.impedances.end());
  const std::vector<double> down = predictor.predict(s.frequencies, s.impedances).value();
  for (std::size_t i = 0; i < up.size(); ++i) EXPECT_NEAR(down[i], up[i], 1e-12 * std::abs(up[i]));
}

TEST(PredictorTest, ThreadsSharingOnePredictorGetTheSerialResult) {
  const Predictor predictor(random_guesser({}, 13));
  const testing::TestSpectrum s = two_arc_spectrum(50);
  const std::vector<double> serial = predictor.predict(s.frequencies, s.impedances).value();
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kCallsPerThread = 20;
  std::vector<std::vector<double>> last(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (std::size_t call = 0; call < kCallsPerThread; ++call) {
        last[i] = predictor.predict(s.frequencies, s.impedances).value();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::vector<double>& result : last) EXPECT_EQ(result, serial);
}

TEST(PredictorTest, FewerThanTwoPointsIsAnError) {
  const Predictor predictor(random_guesser({}, 3));
  const std::vector<double> f = {1.0, 2.0, 3.0};
  const std::vector<Complex> z = {{1.0, -1.0}};
  const auto one = predictor.predict(f, z);
  ASSERT_FALSE(one.ok());
  EXPECT_EQ(display(one.error()), "need at least 2 frequency points to guess, got 1");
  const auto none = predictor.predict({}, {});
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(display(none.error()), "need at least 2 frequency points to guess, got 0");
}

TEST(PredictorTest, NonFiniteSpectraGiveNonFiniteParameters) {
  const Predictor predictor(random_guesser({}, 3));
  for (const auto& spoil : {+[](testing::TestSpectrum& s) { s.frequencies[3] = NAN; },
                            +[](testing::TestSpectrum& s) { s.frequencies[0] = 0.0; },
                            +[](testing::TestSpectrum& s) { s.impedances[5] = {INFINITY, -1.0}; }}) {
    testing::TestSpectrum s = two_arc_spectrum(20);
    spoil(s);
    const auto predicted = predictor.predict(s.frequencies, s.impedances);
    ASSERT_TRUE(predicted.ok());
    bool any_non_finite = false;
    for (const double p : predicted.value()) any_non_finite |= !std::isfinite(p);
    EXPECT_TRUE(any_non_finite);
  }
}

// A network whose weights are all zero outputs its last bias, so the
// decoding alone decides the parameters.
Guesser constant_output(double raw_q, double raw_alpha) {
  Guesser g = random_guesser({}, 5);
  for (auto& [name, tensor] : g.tensors) {
    for (double& x : tensor.data) x = 0.0;
  }
  g.tensors["w.head.4.bias"].data = {0.5, raw_q, raw_alpha, 0.0, 0.0, 0.0};
  return g;
}

struct DecodeCase {
  double raw_alpha;  // de-normalised: 0.7 + 0.2 * raw
  double alpha;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, AlphaIsClampedBeforeItScalesQ) {
  const Guesser g = constant_output(0.25, GetParam().raw_alpha);
  const testing::TestSpectrum s = two_arc_spectrum(30);
  const SpectrumFeatures in = features(g, s.frequencies, s.impedances);
  const std::vector<double> p = Predictor(g).predict(s.frequencies, s.impedances).value();
  const double alpha = GetParam().alpha;
  EXPECT_DOUBLE_EQ(p[2], alpha);
  EXPECT_NEAR(p[0], std::pow(10.0, 0.1 + 0.5 * 0.5) * in.r_scale, 1e-14 * p[0]);
  const double q = std::pow(10.0, -0.2 + 0.8 * 0.25) / in.r_scale / std::pow(in.omega_scale, alpha);
  EXPECT_NEAR(p[1], q, 1e-13 * q);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeTest,
                         ::testing::Values(DecodeCase{5.0, 1.0},     // 1.7 above alpha_max
                                           DecodeCase{-4.5, 0.05},   // -0.2 below alpha_min
                                           DecodeCase{0.5, 0.8}));  // inside: unchanged
}  // namespace
}  // namespace kelvra
