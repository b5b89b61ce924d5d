// What inference assumes of a loaded file and the loader checks once, so
// that no file, however made, can make a guess read out of bounds, allocate
// without bound or run for minutes.
#pragma once

#include <cstdint>
#include <optional>

#include "nn/guesser.h"

namespace kelvra {

// Size limits far above the built-in networks (64 grid points, at most 64
// channels, kernel 5, head width at most 256, four blocks with dilations up
// to 8). A file's own bytes bound the size of its tensors, but not these
// counts: a few bytes of metadata could otherwise ask for activations of
// gigabytes or loops of minutes, or make d * (kernel - 1) overflow.
constexpr std::uint64_t kMaxGridPoints = 4096;
constexpr std::uint64_t kMaxChannels = 1024;
constexpr std::uint64_t kMaxKernel = 64;
constexpr std::uint64_t kMaxHeadWidth = 16384;
constexpr std::uint64_t kMaxBlocks = 64;
constexpr std::uint64_t kMaxDilation = 4096;
// Multiply-adds of one forward pass. The largest built-in network needs
// about 1.1e7; this is some 200 times that, so that a guess stays well
// under a second even with plain loops.
constexpr std::uint64_t kMaxForwardMultiplyAdds = std::uint64_t{1} << 31;

// The first precondition of inference that `guesser` breaks, as an
// InconsistentShape whose detail names the key or tensor, what was found and
// what was expected; nothing when all hold. An absent network tensor is
// MissingKey with its full name, as inference itself would report it.
std::optional<NnError> check_inference_shapes(const Guesser& guesser);

}  // namespace kelvra
