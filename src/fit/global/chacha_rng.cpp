#include "fit/global/chacha_rng.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "fit/global/os_entropy.h"

namespace kelvra {
namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865U, 0x3320646eU, 0x79622d32U, 0x6b206574U};
constexpr std::size_t kKeyOffset = 4;
constexpr std::size_t kCounterOffset = 12;
constexpr int kRoundsPerDoubleRound = 2;
constexpr int kWordBits = 32;

// The rotation distances 16, 12, 8 and 7 are those of the published
// quarter round; the index patterns below are its column and diagonal rounds.
void quarter_round(ChaChaBlock& x, std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

// PCG32 (XSH RR) multiplier and increment.
constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;
constexpr int kPcgXorShift = 18;
constexpr int kPcgOutputShift = 27;
constexpr int kPcgRotationShift = 59;

// 52 and 53 random bits for the two kinds of double in [0, 1).
constexpr int kMantissaShift = 12;
constexpr std::uint64_t kOneBits = 0x3FF0000000000000ULL;  // 1.0 as a double
constexpr int kAcceptanceShift = 11;
constexpr double kTwoToMinus53 = 0x1p-53;
constexpr double kTwo = 2.0;

}  // namespace

ChaChaBlock chacha_block(const ChaChaKey& key, const std::array<std::uint32_t, kChaChaCounterNonceWords>& counter_nonce,
                         int rounds) {
  ChaChaBlock input{};
  std::copy(kSigma.begin(), kSigma.end(), input.begin());
  std::copy(key.begin(), key.end(), input.begin() + kKeyOffset);
  std::copy(counter_nonce.begin(), counter_nonce.end(), input.begin() + kCounterOffset);
  ChaChaBlock x = input;
  for (int r = 0; r < rounds; r += kRoundsPerDoubleRound) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < kChaChaBlockWords; ++i) x[i] += input[i];
  return x;
}

ChaChaKey pcg32_key(std::uint64_t seed) {
  ChaChaKey key{};
  std::uint64_t s = seed;
  for (std::uint32_t& word : key) {
    s = s * kPcgMultiplier + kPcgIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((s >> kPcgXorShift) ^ s) >> kPcgOutputShift);
    word = std::rotr(xorshifted, static_cast<int>(s >> kPcgRotationShift));
  }
  return key;
}

ChaChaRng::ChaChaRng(const ChaChaKey& key) : key_(key) {}

ChaChaRng ChaChaRng::from_seed(std::uint64_t seed) { return ChaChaRng(pcg32_key(seed)); }

ChaChaRng ChaChaRng::from_entropy() {
  std::array<std::byte, sizeof(ChaChaKey)> bytes{};
  fill_from_os_entropy(bytes);
  ChaChaKey key{};
  std::memcpy(key.data(), bytes.data(), bytes.size());
  return ChaChaRng(key);
}

ChaChaRng ChaChaRng::from_optional_seed(std::optional<std::uint64_t> seed) {
  return seed ? from_seed(*seed) : from_entropy();
}

void ChaChaRng::refill() {
  const std::array<std::uint32_t, kChaChaCounterNonceWords> counter_nonce = {
      static_cast<std::uint32_t>(counter_), static_cast<std::uint32_t>(counter_ >> kWordBits), 0U, 0U};
  block_ = chacha_block(key_, counter_nonce, kChaChaGeneratorRounds);
  ++counter_;
  next_word_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
  if (next_word_ == kChaChaBlockWords) refill();
  return block_[next_word_++];
}

std::uint64_t ChaChaRng::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return low | (high << kWordBits);
}

double ChaChaRng::uniform01() {
  return std::bit_cast<double>((next_u64() >> kMantissaShift) | kOneBits) - 1.0;
}

double ChaChaRng::symmetric_step(double half_width) {
  return kTwo * half_width * uniform01() - half_width;
}

double ChaChaRng::acceptance_probability() {
  return static_cast<double>(next_u64() >> kAcceptanceShift) * kTwoToMinus53;
}

}  // namespace kelvra
