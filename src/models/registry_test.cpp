#include "models/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/grammar.h"
#include "circuit/params.h"
#include "models/external_weights.h"
#include "models/model_table.h"

namespace kelvra {
namespace {

Series tree(std::string_view text) { return parse(text).value(); }

// A noiseless spectrum of `circuit` at `values` over 50 points from 0.1 Hz
// to 100 kHz.
struct TestSpectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

TestSpectrum synthetic(std::string_view circuit, const std::vector<double>& values) {
  constexpr std::size_t kPoints = 50;
  constexpr double kLogLow = -1.0;
  constexpr double kLogHigh = 5.0;
  const Series series = with_values(tree(circuit), values).value();
  TestSpectrum out;
  for (std::size_t k = 0; k < kPoints; ++k) {
    const double f = std::pow(10.0, kLogLow + (kLogHigh - kLogLow) * static_cast<double>(k) / (kPoints - 1));
    out.frequencies.push_back(f);
    out.impedances.push_back(impedance(series, kTwoPi * f));
  }
  return out;
}

const TestSpectrum& rc_spectrum() {
  static const TestSpectrum s = synthetic("R0-(R1,C1)", {10.0, 100.0, 1e-5});
  return s;
}

std::vector<double> guess(std::string_view circuit, const TestSpectrum& s,
                          const std::optional<std::string>& weights = std::nullopt) {
  auto guessed = guess_params(tree(circuit), s.frequencies, s.impedances, weights);
  EXPECT_TRUE(guessed.ok()) << circuit << ": " << guessed.error().message;
  return guessed.ok() ? guessed.value() : std::vector<double>{};
}

std::string guess_error(std::string_view circuit, const TestSpectrum& s,
                        const std::optional<std::string>& weights = std::nullopt) {
  auto guessed = guess_params(tree(circuit), s.frequencies, s.impedances, weights);
  EXPECT_FALSE(guessed.ok()) << circuit;
  return guessed.ok() ? std::string() : guessed.error().message;
}

// Runs first in this binary (gtest keeps file order): nothing has loaded
// the last model yet, so every thread races for the first load.
TEST(BuiltinSlot, ConcurrentFirstUseLoadsOnce) {
  constexpr std::size_t kThreads = 8;
  const Model& model = MODELS.back();
  std::latch start(kThreads);
  std::vector<const Predictor*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      auto loaded = model.guesser();
      if (loaded) seen[i] = loaded.value();
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (const Predictor* predictor : seen) EXPECT_EQ(predictor, seen[0]);
}

TEST(BuiltinModels, EveryRowLoadsAsItsTopology) {
  for (const Model& model : MODELS) {
    auto loaded = model.guesser();
    ASSERT_TRUE(loaded.ok()) << model.name << ": " << loaded.error();
    EXPECT_EQ(loaded.value()->guesser().circuit, model.topology);
    EXPECT_EQ(loaded.value()->guesser().param_names, param_names(tree(model.topology)));
  }
}

std::vector<std::uint8_t> with_replaced(std::span<const std::uint8_t> bytes, std::string_view from,
                                        std::string_view to) {
  std::vector<std::uint8_t> out(bytes.begin(), bytes.end());
  const auto at = std::search(out.begin(), out.end(), from.begin(), from.end());
  EXPECT_NE(at, out.end()) << from;
  if (at != out.end()) std::copy(to.begin(), to.end(), at);
  return out;
}

TEST(BuiltinModels, LoadChecksTheFileAgainstTheRow) {
  const std::span<const std::uint8_t> rc = MODELS[0].weights;
  auto other_topology = load_builtin("rc", "R0-(R1,CPE1)", rc);
  ASSERT_FALSE(other_topology.ok());
  EXPECT_EQ(other_topology.error(),
            "model \"rc\" is registered as \"R0-(R1,CPE1)\" but its weights were trained for \"R0-(R1,C1)\"");

  auto renamed = load_builtin("rc", "R0-(R1,C1)", with_replaced(rc, "R0.r,R1.r,C1.c", "R0.r,R1.r,C9.c"));
  ASSERT_FALSE(renamed.ok());
  EXPECT_EQ(renamed.error(),
            "model \"rc\" has parameters [\"R0.r\", \"R1.r\", \"C9.c\"], expected [\"R0.r\", \"R1.r\", \"C1.c\"]");

  auto truncated = load_builtin("rc", "R0-(R1,C1)", rc.first(100));
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error(), "weight file is truncated");
}

TEST(ModelNames, TrimUnicodeWhitespaceAndIgnoreAsciiCase) {
  const std::vector<std::pair<std::string, const char*>> cases = {
      {"RC", "rc"},
      {"  rc ", "rc"},
      {"Rc", "rc"},
      {"\u3000\tSEI_Randles_WO\u2029", "sei_randles_wo"},
      {"two_RQ_l", "two_rq_l"},
      {"r c", nullptr},
      {" R0-C1", nullptr},
      {"rc\u200b", nullptr},  // a zero-width space is not whitespace
      {"", nullptr},
  };
  for (const auto& [text, name] : cases) {
    const Model* model = find_model_name(text);
    if (name == nullptr) {
      EXPECT_EQ(model, nullptr) << text;
    } else {
      ASSERT_NE(model, nullptr) << text;
      EXPECT_EQ(model->name, name) << text;
    }
  }
}

TEST(GuessParams, ReordersOntoTheUsersParameters) {
  const std::vector<double> rc = guess("R0-(R1,C1)", rc_spectrum());
  ASSERT_EQ(rc.size(), 3u);
  EXPECT_EQ(guess("(R1,C2)-R3", rc_spectrum()), (std::vector<double>{rc[1], rc[2], rc[0]}));
  EXPECT_EQ(guess("R0-(C1,R1)", rc_spectrum()), (std::vector<double>{rc[0], rc[2], rc[1]}));
}

TEST(GuessParams, MapsPairsBackOntoKAndZarc) {
  const std::vector<double> rc = guess("R0-(R1,C1)", rc_spectrum());
  ASSERT_EQ(rc.size(), 3u);
  EXPECT_EQ(guess("R0-K1", rc_spectrum()), (std::vector<double>{rc[0], rc[1], rc[1] * rc[2]}));

  const TestSpectrum zarc = synthetic("R0-(R1,CPE1)", {5.0, 50.0, 2e-4, 0.8});
  const std::vector<double> rq = guess("R0-(R1,CPE1)", zarc);
  ASSERT_EQ(rq.size(), 4u);
  const std::vector<double> expected = {rq[0], rq[1], std::pow(rq[1] * rq[2], 1.0 / rq[3]), rq[3]};
  EXPECT_EQ(guess("R0-Zarc1", zarc), expected);
  EXPECT_GE(rq[3], 0.05);
  EXPECT_LE(rq[3], 1.0);
}

// A scratch directory of weight files, removed at the end of the test.
class ExternalFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kelvra_registry_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, std::span<const std::uint8_t> bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::filesystem::path dir_;
};

TEST_F(ExternalFiles, ServedFromMemoryWhileTheFileIsUnchanged) {
  const std::string path = write("rc.eisnn", MODELS[0].weights);
  const std::vector<double> first = guess("R0-(R1,C1)", rc_spectrum(), path);
  EXPECT_EQ(first, guess("R0-(R1,C1)", rc_spectrum()));
  EXPECT_EQ(guess("(R1,C2)-R3", rc_spectrum(), path), (std::vector<double>{first[1], first[2], first[0]}));
  // Gone from disk, gone from service: the old network does not answer.
  std::filesystem::remove(path);
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path), "reading weights: No such file or directory (os error 2)");
}

TEST_F(ExternalFiles, WrongTopologyFailsTheSameWayEachTime) {
  const std::string path = write("rq.eisnn", MODELS[2].weights);
  const std::string message = path + " was trained for \"R0-(R1,CPE1)\", which is a different circuit";
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path), message);
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path), message);
  // The file did load: a circuit of its own topology is served from memory.
  EXPECT_EQ(guess("R0-Zarc1", rc_spectrum(), path).size(), 4u);
}

TEST_F(ExternalFiles, AReplacedFileIsReadAgain) {
  const std::string path = write("model.eisnn", MODELS[0].weights);
  EXPECT_EQ(guess("R0-(R1,C1)", rc_spectrum(), path).size(), 3u);
  const std::string other = write("other.eisnn", MODELS[2].weights);
  std::filesystem::rename(other, path);
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path),
            path + " was trained for \"R0-(R1,CPE1)\", which is a different circuit");
}

TEST_F(ExternalFiles, OneEntryPerFileHoweverSpelled) {
  const std::string path = write("rc.eisnn", MODELS[0].weights);
  ExternalWeights cache;
  ExternalWeights::Lock lock(cache);
  const auto first = lock.load_external(path).value();
  const std::string spellings[] = {(dir_ / "." / "rc.eisnn").string(), dir_.string() + "//rc.eisnn",
                                   (dir_ / ".." / dir_.filename() / "rc.eisnn").string()};
  for (const std::string& spelling : spellings) EXPECT_EQ(lock.load_external(spelling).value(), first) << spelling;
  EXPECT_EQ(lock.entry_count(), 1u);
}

TEST_F(ExternalFiles, TheCacheIsBounded) {
  ExternalWeights cache;
  ExternalWeights::Lock lock(cache);
  for (std::size_t k = 0; k < kMaxExternalNetworks + 3; ++k) {
    ASSERT_TRUE(lock.load_external(write("rc" + std::to_string(k) + ".eisnn", MODELS[0].weights)));
  }
  EXPECT_EQ(lock.entry_count(), kMaxExternalNetworks);
}

TEST_F(ExternalFiles, OnlyRegularFilesOfBoundedSize) {
  // A FIFO with no writer would block a plain open forever.
  const std::string fifo = (dir_ / "pipe.eisnn").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), fifo), "reading weights: not a regular file");
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), "/dev/zero"), "reading weights: not a regular file");
  // Sparse: no disk is spent on it.
  const std::string huge = (dir_ / "huge.eisnn").string();
  std::ofstream(huge).close();
  std::filesystem::resize_file(huge, kMaxWeightFileBytes + 1);
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), huge), "reading weights: file is larger than the limit of 64 MiB");
}

TEST_F(ExternalFiles, FailedLoadsAreNotCached) {
  const std::string path = (dir_ / "late.eisnn").string();
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path), "reading weights: No such file or directory (os error 2)");
  write("late.eisnn", MODELS[0].weights.first(20));
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path), "weight file is truncated");
  write("late.eisnn", MODELS[0].weights);
  EXPECT_EQ(guess("R0-(R1,C1)", rc_spectrum(), path).size(), 3u);
}

TEST_F(ExternalFiles, UnreadableAndUnparsable) {
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), std::string("a\0b", 3)),
            "reading weights: file name contained an unexpected NUL byte");
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), dir_.string()),
            "reading weights: Is a directory (os error 21)");
  const std::string path = write("odd.eisnn", with_replaced(MODELS[0].weights, "R0-(R1,C1)", "R0-(R1,Q1)"));
  EXPECT_EQ(guess_error("R0-(R1,C1)", rc_spectrum(), path),
            "weight file has an unparsable value for \"circuit \\\"R0-(R1,Q1)\\\" in " + path + "\"");
  // Outputs fewer than the circuit's parameters: refused, not read past.
  const std::string short_path = write("short.eisnn", with_replaced(MODELS[0].weights, "R0-(R1,C1)", "R0-(R1,K1)"));
  EXPECT_EQ(guess_error("R0-(K1,R1)", rc_spectrum(), short_path),
            short_path + " predicts 3 values but its circuit \"R0-(R1,K1)\" has 4 parameters");
}

TEST(ExternalWeightsLock, AnExceptionLeavingTheLockPoisonsIt) {
  ExternalWeights cache;
  { EXPECT_FALSE(ExternalWeights::Lock(cache).poisoned()); }
  try {
    ExternalWeights::Lock lock(cache);
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  ExternalWeights::Lock again(cache);
  EXPECT_TRUE(again.poisoned());
}

TEST(QuotedNames, InTableOrder) {
  EXPECT_EQ(quoted_names(),
            "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', 'sei_randles', "
            "'sei_randles_wo'");
}

}  // namespace
}  // namespace kelvra
