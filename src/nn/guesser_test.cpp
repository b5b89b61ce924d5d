#include "nn/guesser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>

#include "nn/allocation_probe.h"
#include "nn/binary_float.h"
#include "nn/shape_check.h"
#include "nn/test_paths.h"
#include "nn/weight_file_writer.h"

namespace kelvra {
namespace {

using testing_support::append_string;
using testing_support::append_u32;
using testing_support::binary32_record;
using testing_support::network_file;
using testing_support::NetworkShape;
using testing_support::TensorRecord;
using testing_support::WeightFile;

using Bytes = std::vector<std::uint8_t>;

Bytes magic() { return {'E', 'I', 'S', 'N', 'N', '0', '0', '1'}; }

std::string load_message(const Bytes& bytes) {
  const auto loaded = from_bytes(bytes);
  return loaded ? std::string("loaded") : display(loaded.error());
}

Guesser load_ok(const Bytes& bytes) {
  auto loaded = from_bytes(bytes);
  EXPECT_TRUE(loaded.ok()) << display(loaded.error());
  return loaded ? std::move(loaded).value() : Guesser{};
}

// The valid small network with one edit applied.
Bytes edited(const std::function<void(WeightFile&)>& edit) {
  WeightFile file = network_file();
  edit(file);
  return file.bytes();
}

TensorRecord raw_record(std::string name, std::uint8_t encoding, std::vector<std::uint32_t> dims, Bytes data) {
  return TensorRecord{std::move(name), encoding, std::move(dims), std::move(data)};
}

TEST(FromBytes, LoadsAValidNetwork) {
  const Guesser g = load_ok(network_file().bytes());
  EXPECT_EQ(g.circuit, "R0-(R1,C1)");
  EXPECT_EQ(g.param_names, (std::vector<std::string>{"R0.r", "R1.r", "C1.c"}));
  EXPECT_EQ(g.dilations, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(g.n_grid, 8u);
  EXPECT_EQ(g.channels, 4u);
  EXPECT_EQ(g.kernel, 3u);
  EXPECT_EQ(g.groups, 2u);
  EXPECT_EQ(g.alpha_min, 0.05);
  EXPECT_EQ(g.alpha_max, 1.0);
  ASSERT_EQ(g.scaling.size(), 3u);
  EXPECT_EQ(g.scaling[0].r_power, 1.0);
  EXPECT_EQ(g.scaling[0].alpha_index, -1);
  EXPECT_EQ(g.log_params, (std::vector<bool>{true, true, true}));
  const auto stem = g.tensor("w.stem.weight");
  ASSERT_TRUE(stem.ok());
  EXPECT_EQ(stem.value()->dims, (std::vector<std::uint32_t>{4, 3, 3}));
  EXPECT_EQ(stem.value()->data.size(), 36u);
  EXPECT_EQ(display(g.tensor("w.absent").error()), "weight file is missing \"w.absent\"");
}

TEST(FromBytes, MetaAndParseReportTheKeyAtFault) {
  const MetaMap m = {{"n", "+64"}, {"x", "-2.5e1"}, {"bad", " 1"}};
  EXPECT_EQ(parse<std::uint64_t>(m, "n").value(), 64u);
  EXPECT_EQ(parse<double>(m, "x").value(), -25.0);
  EXPECT_EQ(display(parse<std::uint64_t>(m, "bad").error()), "weight file has an unparsable value for \"bad\"");
  EXPECT_EQ(display(parse<double>(m, "gone").error()), "weight file is missing \"gone\"");
  EXPECT_EQ(meta(m, "n").value(), "+64");
}

TEST(NnErrorDisplay, EveryVariant) {
  const std::pair<NnError, std::string> cases[] = {
      {Io{"No such file or directory (os error 2)"}, "reading weights: No such file or directory (os error 2)"},
      {BadMagic{}, "not an eisnn weight file (bad magic bytes)"},
      {Truncated{}, "weight file is truncated"},
      {MissingKey{"n_grid"}, "weight file is missing \"n_grid\""},
      {Unparsable{"circuit \"R0-\" in a\\b"},
       "weight file has an unparsable value for \"circuit \\\"R0-\\\" in a\\\\b\""},
      {UnsupportedEstimator{"median"},
       "weight file was normalised with the \"median\" scale estimator, which this build does not implement "
       "(supported: reactive_centroid)"},
      {UnknownEncoding{3}, "weight file uses tensor encoding 3, which this build does not know"},
      {ElementCount{"head.0", 30, 34}, "tensor \"head.0\" has 30 elements, expected 34"},
      {TooFewPoints{1}, "need at least 2 frequency points to guess, got 1"},
      {InconsistentShape{"x"}, "weight file is inconsistent: x"},
  };
  for (const auto& [error, message] : cases) EXPECT_EQ(display(error), message);
}

struct LoadCase {
  std::string what;
  Bytes bytes;
  std::string message;
};

class LoadFailures : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadFailures, StopAtTheFirstError) { EXPECT_EQ(load_message(GetParam().bytes), GetParam().message); }

Bytes empty_file() {
  Bytes b = magic();
  append_u32(b, 0);
  append_u32(b, 0);
  return b;
}

Bytes with_only_record(const TensorRecord& record) {
  WeightFile file;
  file.tensors = {record};
  return file.bytes();
}

const std::string kTruncated = "weight file is truncated";

INSTANTIATE_TEST_SUITE_P(
    Table, LoadFailures,
    testing::Values(
        LoadCase{"seven bytes", Bytes(7, 'E'), kTruncated},
        LoadCase{"bad magic", Bytes{'E', 'I', 'S', 'N', 'N', '0', '0', '2'},
                 "not an eisnn weight file (bad magic bytes)"},
        LoadCase{"magic only", magic(), kTruncated},
        LoadCase{"no entries", empty_file(), "weight file is missing \"target_mean\""},
        LoadCase{"unknown encoding", with_only_record(raw_record("t", 3, {1}, {0, 0, 0, 0})),
                 "weight file uses tensor encoding 3, which this build does not know"},
        // The encoding is judged after the dims, so missing dims come first.
        LoadCase{"unknown encoding, dims cut",
                 [] {
                   Bytes b = with_only_record(raw_record("t", 3, {1}, {}));
                   b.resize(b.size() - 2);
                   return b;
                 }(),
                 kTruncated},
        LoadCase{"name not UTF-8", with_only_record(raw_record("\xC0\xAF", 0, {}, {0, 0, 0, 0})), kTruncated},
        LoadCase{"key not UTF-8",
                 [] {
                   WeightFile file;
                   file.meta = {{"n_grid\xFF", "1"}};
                   return file.bytes();
                 }(),
                 kTruncated},
        LoadCase{"no target_std", edited([](WeightFile& f) { f.remove_tensor("target_std"); }),
                 "weight file is missing \"target_std\""},
        LoadCase{"no log_params", edited([](WeightFile& f) { f.remove_tensor("log_params"); }),
                 "weight file is missing \"log_params\""},
        LoadCase{"no scaling", edited([](WeightFile& f) { f.remove_tensor("scaling"); }),
                 "weight file is missing \"scaling\""},
        LoadCase{"short scaling", edited([](WeightFile& f) {
                   f.set_tensor(binary32_record("scaling", {8}, std::vector<double>(8, 0.0)));
                 }),
                 "tensor \"scaling\" has 8 elements, expected 12"},
        // Tensors are judged before metadata.
        LoadCase{"no metadata, short scaling", edited([](WeightFile& f) {
                   f.meta.clear();
                   f.set_tensor(binary32_record("scaling", {8}, std::vector<double>(8, 0.0)));
                 }),
                 "tensor \"scaling\" has 8 elements, expected 12"},
        LoadCase{"no dilations", edited([](WeightFile& f) { f.remove_meta("dilations"); }),
                 "weight file is missing \"dilations\""},
        LoadCase{"empty dilation piece", edited([](WeightFile& f) { f.set_meta("dilations", "1,,2"); }),
                 "weight file has an unparsable value for \"dilations\""},
        LoadCase{"empty dilations", edited([](WeightFile& f) { f.set_meta("dilations", ""); }),
                 "weight file has an unparsable value for \"dilations\""},
        LoadCase{"no estimator", edited([](WeightFile& f) { f.remove_meta("estimator"); }),
                 "weight file is missing \"estimator\""},
        LoadCase{"other estimator", edited([](WeightFile& f) { f.set_meta("estimator", "median"); }),
                 "weight file was normalised with the \"median\" scale estimator, which this build does not "
                 "implement (supported: reactive_centroid)"},
        LoadCase{"estimator with a space", edited([](WeightFile& f) { f.set_meta("estimator", "reactive_centroid "); }),
                 "weight file was normalised with the \"reactive_centroid \" scale estimator, which this build does "
                 "not implement (supported: reactive_centroid)"},
        LoadCase{"no circuit", edited([](WeightFile& f) { f.remove_meta("circuit"); }),
                 "weight file is missing \"circuit\""},
        LoadCase{"no param_names", edited([](WeightFile& f) { f.remove_meta("param_names"); }),
                 "weight file is missing \"param_names\""},
        LoadCase{"no n_grid", edited([](WeightFile& f) { f.remove_meta("n_grid"); }),
                 "weight file is missing \"n_grid\""},
        LoadCase{"n_grid with a leading space", edited([](WeightFile& f) { f.set_meta("n_grid", " 8"); }),
                 "weight file has an unparsable value for \"n_grid\""},
        LoadCase{"alpha_min words", edited([](WeightFile& f) { f.set_meta("alpha_min", "small"); }),
                 "weight file has an unparsable value for \"alpha_min\""},
        LoadCase{"no alpha_max", edited([](WeightFile& f) { f.remove_meta("alpha_max"); }),
                 "weight file is missing \"alpha_max\""},
        // Metadata is read in a fixed order whatever the file order.
        LoadCase{"n_grid before alpha_max", edited([](WeightFile& f) {
                   f.remove_meta("alpha_max");
                   f.set_meta("n_grid", "x");
                 }),
                 "weight file has an unparsable value for \"n_grid\""},
        LoadCase{"dilations before estimator", edited([](WeightFile& f) {
                   f.set_meta("estimator", "median");
                   f.set_meta("dilations", "a");
                 }),
                 "weight file has an unparsable value for \"dilations\""}),
    [](const testing::TestParamInfo<LoadCase>& info) {
      std::string name;
      for (const char c : info.param.what) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(FromBytes, EveryTruncationFailsCleanly) {
  const Bytes full = network_file().bytes();
  ASSERT_TRUE(from_bytes(full).ok());
  for (std::size_t length = 0; length < full.size(); ++length) {
    const auto loaded = from_bytes(std::span(full).first(length));
    ASSERT_FALSE(loaded.ok()) << length;
    EXPECT_TRUE(std::holds_alternative<Truncated>(loaded.error())) << length << ": " << display(loaded.error());
  }
}

// Damage anywhere gives an error or a file that passed every check; never a
// crash (the sanitizer build runs this too).
TEST(FromBytes, EveryFlippedByteIsHandled) {
  const Bytes full = network_file().bytes();
  for (std::size_t i = 0; i < full.size(); ++i) {
    Bytes damaged = full;
    damaged[i] ^= 0xFF;
    const auto loaded = from_bytes(damaged);
    if (loaded) {
      EXPECT_FALSE(check_inference_shapes(loaded.value()).has_value()) << i;
    }
  }
}

struct HostileCount {
  std::string what;
  Bytes bytes;
};

class HostileCounts : public testing::TestWithParam<HostileCount> {};

TEST_P(HostileCounts, AreTruncatedWithoutALargeAllocation) {
  constexpr std::size_t kLargestReasonable = 1 << 16;
  testing_support::reset_largest_allocation();
  const auto loaded = from_bytes(GetParam().bytes);
  const std::size_t largest = testing_support::largest_allocation();
  ASSERT_FALSE(loaded.ok());
  EXPECT_TRUE(std::holds_alternative<Truncated>(loaded.error())) << display(loaded.error());
  EXPECT_LT(largest, kLargestReasonable);
}

Bytes record_header(std::uint8_t encoding, const std::vector<std::uint32_t>& dims) {
  Bytes b = magic();
  append_u32(b, 0);
  append_u32(b, 1);
  append_string(b, "t");
  b.push_back(encoding);
  b.push_back(static_cast<std::uint8_t>(dims.size()));
  for (const std::uint32_t d : dims) append_u32(b, d);
  return b;
}

constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, HostileCounts,
    testing::Values(HostileCount{"meta_count",
                                 [] {
                                   Bytes b = magic();
                                   append_u32(b, kMaxU32);
                                   return b;
                                 }()},
                    HostileCount{"tensor_count",
                                 [] {
                                   Bytes b = magic();
                                   append_u32(b, 0);
                                   append_u32(b, kMaxU32);
                                   return b;
                                 }()},
                    HostileCount{"string length",
                                 [] {
                                   Bytes b = magic();
                                   append_u32(b, 1);
                                   append_u32(b, kMaxU32);
                                   b.resize(b.size() + 64, 'a');
                                   return b;
                                 }()},
                    HostileCount{"dims product overflows", record_header(0, {kMaxU32, kMaxU32, kMaxU32})},
                    HostileCount{"dims product of binary16 data", record_header(1, {kMaxU32, 3})},
                    HostileCount{"dims product of int8 data", record_header(2, {kMaxU32, kMaxU32})},
                    HostileCount{"ndim past the end", [] {
                                   Bytes b = record_header(0, {});
                                   b.back() = 255;
                                   return b;
                                 }()}));

TEST(Binary16, DecodesExactly) {
  const std::pair<std::uint16_t, double> cases[] = {
      {0x3C00, 1.0},
      {0xC000, -2.0},
      {0x0001, std::ldexp(1.0, -24)},         // smallest subnormal
      {0x03FF, 1023 * std::ldexp(1.0, -24)},  // largest subnormal
      {0x0400, std::ldexp(1.0, -14)},         // smallest normal
      {0x7BFF, 65504.0},                      // largest finite
      {0x3555, 0.333251953125},
      {0x7C00, std::numeric_limits<double>::infinity()},
      {0xFC00, -std::numeric_limits<double>::infinity()},
  };
  for (const auto& [bits, value] : cases) EXPECT_EQ(decode_binary16(bits), value) << std::hex << bits;
  EXPECT_TRUE(std::isnan(decode_binary16(0x7E00)));
  EXPECT_TRUE(std::isnan(decode_binary16(0xFE00)));
  EXPECT_TRUE(std::isnan(decode_binary16(0x7C01)));
  EXPECT_TRUE(std::signbit(decode_binary16(0x8000)));
  EXPECT_EQ(decode_binary16(0x8000), 0.0);
}

// The three encodings, and the one-value rule for ndim 0 and zero dims,
// through the loader itself.
TEST(FromBytes, DecodesEachEncoding) {
  const Guesser g = load_ok(edited([](WeightFile& f) {
    f.set_tensor(raw_record("half", 1, {4}, {0x00, 0x3C, 0x01, 0x00, 0x00, 0x7C, 0x00, 0xFE}));
    f.set_tensor(raw_record("int8", 2, {2}, {0x00, 0x00, 0x00, 0x3F, 0xFF, 0x02}));  // scale 0.5
    f.set_tensor(raw_record("single", 0, {1}, {0x00, 0x00, 0xC0, 0x3F}));            // 1.5
    f.set_tensor(raw_record("scalar", 0, {}, {0x00, 0x00, 0x80, 0x3F}));
    f.set_tensor(raw_record("zero dim", 0, {3, 0}, {0x00, 0x00, 0x00, 0x40}));
  }));
  const auto& half = g.tensor("half").value()->data;
  ASSERT_EQ(half.size(), 4u);
  EXPECT_EQ(half[0], 1.0);
  EXPECT_EQ(half[1], std::ldexp(1.0, -24));
  EXPECT_EQ(half[2], std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(half[3]));
  EXPECT_EQ(g.tensor("int8").value()->data, (std::vector<double>{-0.5, 1.0}));
  EXPECT_EQ(g.tensor("single").value()->data, (std::vector<double>{1.5}));
  EXPECT_EQ(g.tensor("scalar").value()->data, (std::vector<double>{1.0}));
  EXPECT_EQ(g.tensor("scalar").value()->dims, (std::vector<std::uint32_t>{}));
  EXPECT_EQ(g.tensor("zero dim").value()->data, (std::vector<double>{2.0}));
  EXPECT_EQ(g.tensor("zero dim").value()->dims, (std::vector<std::uint32_t>{3, 0}));
}

TEST(FromBytes, LaterDuplicatesWinAndTrailingBytesAreIgnored) {
  WeightFile file = network_file();
  file.meta.emplace_back("circuit", "R9-(R1,C1)");
  file.meta.emplace_back("dilations", " 4 ,\t8");
  file.tensors.push_back(binary32_record("target_mean", {3}, {7.0, 8.0, 9.0}));
  Bytes bytes = file.bytes();
  bytes.insert(bytes.end(), {1, 2, 3});
  const Guesser g = load_ok(bytes);
  EXPECT_EQ(g.circuit, "R9-(R1,C1)");
  EXPECT_EQ(g.dilations, (std::vector<std::uint64_t>{4, 8}));
  EXPECT_EQ(g.target_mean, (std::vector<double>{7.0, 8.0, 9.0}));
}

TEST(FromBytes, NumberSpellingsInMetadata) {
  const Guesser g = load_ok(edited([](WeightFile& f) {
    f.set_meta("n_grid", "+8");
    f.set_meta("dilations",
               "\xC2\xA0"
               "1 , 02");  // a no-break space is whitespace too
    f.set_meta("alpha_min", "-inf");
    f.set_meta("alpha_max", "1e400");
  }));
  EXPECT_EQ(g.n_grid, 8u);
  EXPECT_EQ(g.dilations, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(g.alpha_min, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(g.alpha_max, std::numeric_limits<double>::infinity());
}

TEST(FromBytes, ParamNamesKeepEveryPieceUntrimmed) {
  const Guesser g = load_ok(edited([](WeightFile& f) { f.set_meta("param_names", "R0.r, R1.r,"); }));
  EXPECT_EQ(g.param_names, (std::vector<std::string>{"R0.r", " R1.r", ""}));
}

TEST(FromBytes, LogParamsAreTrueUnlessExactlyZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Guesser g = load_ok(edited([&](WeightFile& f) {
    f.set_tensor(binary32_record("log_params", {3}, {-0.0, 0.5, nan}));
  }));
  EXPECT_EQ(g.log_params, (std::vector<bool>{false, true, true}));
}

struct AlphaIndexCase {
  double stored;
  std::int32_t alpha_index;
};

// Indices that load (below P = 3, or negative) show the rounding directly;
// larger ones show it in the rejection message.
TEST(FromBytes, AlphaIndexRoundsHalfAwayFromZeroAndSaturates) {
  const AlphaIndexCase loaded_cases[] = {
      {1.5, 2},
      {-1.0, -1},
      {0.49, 0},
      {-0.5, -1},
      {-2.5, -3},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {-1e10, std::numeric_limits<std::int32_t>::min()},
      {-std::numeric_limits<double>::infinity(), std::numeric_limits<std::int32_t>::min()}};
  for (const auto& [stored, index] : loaded_cases) {
    const Guesser g = load_ok(edited([&](WeightFile& f) {
      f.set_tensor(binary32_record("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, 0, -1, stored}));
    }));
    EXPECT_EQ(g.scaling[2].alpha_index, index) << stored;
    EXPECT_EQ(g.scaling[2].alpha_factor, -1.0);
  }
  const std::pair<double, std::string> rejected_cases[] = {{2.5, "3"}, {1e10, "2147483647"}};
  for (const auto& [stored, index] : rejected_cases) {
    const Bytes bytes = edited([&](WeightFile& f) {
      f.set_tensor(binary32_record("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, 0, -1, stored}));
    });
    EXPECT_EQ(load_message(bytes), "weight file is inconsistent: \"scaling\" row 2 has alpha_index " + index +
                                       ", expected below 3 (the number of names in \"param_names\")");
  }
}

// Each precondition of inference broken on its own.
class ShapeFailures : public testing::TestWithParam<LoadCase> {};

TEST_P(ShapeFailures, AreRejectedAtLoad) { EXPECT_EQ(load_message(GetParam().bytes), GetParam().message); }

std::string inconsistent(const std::string& detail) { return "weight file is inconsistent: " + detail; }

Bytes with_shape(const std::function<void(NetworkShape&)>& edit) {
  NetworkShape shape;
  edit(shape);
  return network_file(shape).bytes();
}

Bytes with_tensor(const std::string& name, std::vector<std::uint32_t> dims) {
  return edited([&](WeightFile& f) {
    std::size_t n = 1;
    for (const std::uint32_t d : dims) n *= d;
    n = std::max<std::size_t>(n, 1);  // a zero dim still holds one value
    f.set_tensor(binary32_record(name, std::move(dims), std::vector<double>(n, 0.25)));
  });
}

// "1,1,...,1" with `count` entries.
std::string ones(std::uint64_t count) {
  std::string text = "1";
  for (std::uint64_t i = 1; i < count; ++i) text += ",1";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShapeFailures,
    testing::Values(
        LoadCase{"n_grid 0", edited([](WeightFile& f) { f.set_meta("n_grid", "0"); }),
                 inconsistent("\"n_grid\" is 0, expected 1 to 4096")},
        LoadCase{"n_grid huge", edited([](WeightFile& f) { f.set_meta("n_grid", "1000000000"); }),
                 inconsistent("\"n_grid\" is 1000000000, expected 1 to 4096")},
        LoadCase{"channels 0", edited([](WeightFile& f) { f.set_meta("channels", "0"); }),
                 inconsistent("\"channels\" is 0, expected 1 to 1024")},
        LoadCase{"kernel 0", edited([](WeightFile& f) { f.set_meta("kernel", "0"); }),
                 inconsistent("\"kernel\" is 0, expected 1 to 64")},
        LoadCase{"groups 0", edited([](WeightFile& f) { f.set_meta("groups", "0"); }),
                 inconsistent("\"groups\" is 0, expected a divisor of \"channels\" 4")},
        LoadCase{"groups not dividing", edited([](WeightFile& f) { f.set_meta("groups", "3"); }),
                 inconsistent("\"groups\" is 3, expected a divisor of \"channels\" 4")},
        LoadCase{"dilation 0", edited([](WeightFile& f) { f.set_meta("dilations", "1,0"); }),
                 inconsistent("\"dilations\" is 0, expected 1 to 4096")},
        LoadCase{"dilation huge", edited([](WeightFile& f) { f.set_meta("dilations", "1,18446744073709551615"); }),
                 inconsistent("\"dilations\" is 18446744073709551615, expected 1 to 4096")},
        LoadCase{"too many blocks", edited([](WeightFile& f) { f.set_meta("dilations", ones(kMaxBlocks + 1)); }),
                 inconsistent("\"dilations\" has 65 entries, expected at most 64")},
        LoadCase{
            "alpha_min above alpha_max", edited([](WeightFile& f) { f.set_meta("alpha_min", "1.5"); }),
            inconsistent("\"alpha_min\" is 1.5 and \"alpha_max\" 1, expected alpha_min <= alpha_max and neither NaN")},
        LoadCase{"alpha_max NaN", edited([](WeightFile& f) { f.set_meta("alpha_max", "NaN"); }),
                 inconsistent(
                     "\"alpha_min\" is 0.05 and \"alpha_max\" NaN, expected alpha_min <= alpha_max and neither NaN")},
        LoadCase{"more names than outputs",
                 edited([](WeightFile& f) { f.set_meta("param_names", "R0.r,R1.r,C1.c,L0.l"); }),
                 inconsistent("tensor \"target_mean\" has 3 elements, expected 4 (one per name in \"param_names\")")},
        LoadCase{"short target_std", with_tensor("target_std", {2}),
                 inconsistent("tensor \"target_std\" has 2 elements, expected 3 (one per name in \"param_names\")")},
        LoadCase{"long log_params", with_tensor("log_params", {4}),
                 inconsistent("tensor \"log_params\" has 4 elements, expected 3 (one per name in \"param_names\")")},
        LoadCase{"no stem weight", edited([](WeightFile& f) { f.remove_tensor("w.stem.weight"); }),
                 "weight file is missing \"w.stem.weight\""},
        LoadCase{"no block norm bias", edited([](WeightFile& f) { f.remove_tensor("w.blocks.1.norm1.bias"); }),
                 "weight file is missing \"w.blocks.1.norm1.bias\""},
        LoadCase{"no head.4 bias", edited([](WeightFile& f) { f.remove_tensor("w.head.4.bias"); }),
                 "weight file is missing \"w.head.4.bias\""},
        LoadCase{"stem kernel", with_tensor("w.stem.weight", {4, 3, 5}),
                 inconsistent("tensor \"w.stem.weight\" has shape [4, 3, 5], expected [4, 3, 3]")},
        LoadCase{"stem bias", with_tensor("w.stem.bias", {3}),
                 inconsistent("tensor \"w.stem.bias\" has shape [3], expected [4]")},
        LoadCase{"conv1 inputs", with_tensor("w.blocks.0.conv1.weight", {4, 2, 3}),
                 inconsistent("tensor \"w.blocks.0.conv1.weight\" has shape [4, 2, 3], expected [4, 4, 3]")},
        LoadCase{"conv2 bias", with_tensor("w.blocks.1.conv2.bias", {8}),
                 inconsistent("tensor \"w.blocks.1.conv2.bias\" has shape [8], expected [4]")},
        LoadCase{"norm2 bias zero dim", with_tensor("w.blocks.1.norm2.bias", {0}),
                 inconsistent("tensor \"w.blocks.1.norm2.bias\" has shape [0], expected [4]")},
        LoadCase{"head.0 inputs", with_tensor("w.head.0.weight", {5, 8}),
                 inconsistent("tensor \"w.head.0.weight\" has shape [5, 8], expected [H, 10] with H from 1 to 16384")},
        LoadCase{"head.0 bias", with_tensor("w.head.0.bias", {6}),
                 inconsistent("tensor \"w.head.0.bias\" has shape [6], expected [5]")},
        LoadCase{"head.2 square", with_tensor("w.head.2.weight", {5, 6}),
                 inconsistent("tensor \"w.head.2.weight\" has shape [5, 6], expected [5, 5]")},
        LoadCase{"head.4 fewer outputs than names", with_tensor("w.head.4.weight", {2, 5}),
                 inconsistent("tensor \"w.head.4.weight\" has shape [2, 5], expected [M, 5] with M at least 3")},
        LoadCase{"head.4 bias", with_tensor("w.head.4.bias", {3}),
                 inconsistent("tensor \"w.head.4.bias\" has shape [3], expected [6]")},
        LoadCase{"too much work", with_shape([](NetworkShape& s) {
                   s.n_grid = 4096;
                   s.channels = 128;
                   s.groups = 8;
                   s.dilations = std::vector<std::uint32_t>(8, 1);
                 }),
                 inconsistent("the network needs 3225945409 multiply-adds per guess, expected at most 2147483648")}),
    [](const testing::TestParamInfo<LoadCase>& info) {
      std::string name;
      for (const char c : info.param.what) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// Networks of other sizes within the limits load, including the smallest.
TEST(FromBytes, AcceptsOtherShapes) {
  load_ok(with_shape([](NetworkShape& s) {
    s.channels = 1;
    s.groups = 1;
    s.kernel = 1;
    s.n_grid = 1;
    s.dilations = {1};
    s.head_width = 1;
    s.param_names = {"R0.r"};
  }));
  load_ok(with_shape([](NetworkShape& s) {
    s.kernel = 4;
    s.groups = 4;
    s.dilations = {4096, 3, 1};
  }));
}

struct BuiltIn {
  std::string file;
  std::string circuit;
  std::string param_names;
};

Bytes read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(FromBytes, LoadsEveryBuiltInFile) {
  const BuiltIn cases[] = {
      {"rc", "R0-(R1,C1)", "R0.r,R1.r,C1.c"},
      {"rc_l", "L0-R0-(R1,C1)", "L0.l,R0.r,R1.r,C1.c"},
      {"rq", "R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha"},
      {"rq_l", "L0-R0-(R1,CPE1)", "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha"},
      {"two_rc", "R0-(R1,C1)-(R2,C2)", "R0.r,R1.r,C1.c,R2.r,C2.c"},
      {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", "L0.l,R0.r,R1.r,C1.c,R2.r,C2.c"},
      {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)", "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha"},
      {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)", "L0.l,R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,CPE2.q,CPE2.alpha"},
      {"randles", "R0-(R1-W1,CPE1)", "R0.r,R1.r,W1.aw,CPE1.q,CPE1.alpha"},
      {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)", "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,W2.aw,CPE2.q,CPE2.alpha"},
      {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
       "R0.r,R1.r,CPE1.q,CPE1.alpha,R2.r,Wo2.z0,Wo2.tau,CPE2.q,CPE2.alpha"},
  };
  for (const BuiltIn& c : cases) {
    const Bytes bytes = read_file(std::filesystem::path(KELVRA_WEIGHTS_DIR) / (c.file + ".eisnn"));
    ASSERT_FALSE(bytes.empty()) << c.file;
    const auto loaded = from_bytes(bytes);
    ASSERT_TRUE(loaded.ok()) << c.file << ": " << display(loaded.error());
    EXPECT_EQ(loaded.value().circuit, c.circuit);
    std::string names;
    for (const std::string& name : loaded.value().param_names) names.append(names.empty() ? "" : ",").append(name);
    EXPECT_EQ(names, c.param_names);
  }
}

}  // namespace
}  // namespace kelvra
