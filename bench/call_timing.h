// Wall time of one call, measured over enough repetitions to fill a second,
// so that timer resolution and one-off stalls of a shared machine do not
// decide the figure.
#pragma once

#include <chrono>
#include <cstddef>

namespace kelvra::bench {

inline constexpr double kMinSeconds = 1.0;  // per timed operation

template <class F>
double seconds_per_call(F&& call) {
  using Clock = std::chrono::steady_clock;
  std::size_t reps = 1;
  for (;;) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < reps; ++i) call();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds >= kMinSeconds) return seconds / static_cast<double>(reps);
    reps *= 2;
  }
}

}  // namespace kelvra::bench
