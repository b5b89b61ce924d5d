#include "fit/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kelvra {
namespace {

// Runs a loop of `count` and checks that every index ran exactly once.
void expect_each_index_once(std::size_t count) {
  std::vector<std::atomic<int>> hits(count);
  parallel_for(count, [&hits](std::size_t i) { hits[i].fetch_add(1); });
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i << " of " << count;
}

TEST(WorkerPool, EveryIndexRunsExactlyOnce) {
  for (const std::size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 1000u}) expect_each_index_once(count);
}

// A loop started from inside a pool task must finish even when every worker
// is busy in the outer loop: the starting thread does the work itself.
TEST(WorkerPool, NestedLoopsComplete) {
  const std::size_t outer = 4 * worker_count();
  constexpr std::size_t kInner = 9;
  std::vector<std::size_t> sums(outer, 0);
  parallel_for(outer, [&sums](std::size_t i) {
    std::vector<std::size_t> inner(kInner);
    parallel_for(kInner, [&inner, i](std::size_t j) { inner[j] = i * j; });
    for (const std::size_t v : inner) sums[i] += v;
  });
  for (std::size_t i = 0; i < outer; ++i) EXPECT_EQ(sums[i], i * (kInner * (kInner - 1) / 2));
}

// A loop started while another is on the pool runs on its own caller: the
// workers are taken, and queueing for them would only add wake-ups.
TEST(WorkerPool, LoopStartedWhileThePoolIsBusyRunsOnItsCaller) {
  const std::size_t outer = 4 * worker_count();
  constexpr std::size_t kInner = 9;
  std::atomic<std::size_t> ran_elsewhere{0};
  parallel_for(outer, [&ran_elsewhere](std::size_t) {
    const std::thread::id caller = std::this_thread::get_id();
    parallel_for(kInner, [&ran_elsewhere, caller](std::size_t) {
      if (std::this_thread::get_id() != caller) ran_elsewhere.fetch_add(1);
    });
  });
  EXPECT_EQ(ran_elsewhere.load(), 0u);
}

}  // namespace
}  // namespace kelvra
