#include "support/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/interrupt.h"

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

// An exception from any index, on the caller or on a worker, reaches the
// caller once every helper has left the loop, and stops the indices not yet
// claimed; the pool is whole afterwards.
TEST(WorkerPool, AnExceptionFromAnyIndexReachesTheCaller) {
  constexpr std::size_t kCount = 10000;
  for (const std::size_t thrower : {std::size_t{0}, std::size_t{1}, kCount / 2, kCount - 1}) {
    std::atomic<std::size_t> ran{0};
    const auto loop = [&] {
      parallel_for(kCount, [&](std::size_t i) {
        if (i == thrower) throw std::runtime_error("index " + std::to_string(i));
        ran.fetch_add(1);
      });
    };
    EXPECT_THROW(loop(), std::runtime_error) << thrower;
    EXPECT_LT(ran.load(), kCount) << thrower;
    expect_each_index_once(257);
  }
}

TEST(WorkerPool, ExceptionsFromEveryThreadAtOnceLeaveOneForTheCaller) {
  const std::size_t count = 8 * worker_count();
  EXPECT_THROW(parallel_for(count, [](std::size_t) { throw std::bad_alloc(); }), std::bad_alloc);
  expect_each_index_once(count);
}

// A stop asked on the calling thread ends the loop for every thread: helpers
// read the caller's flag, and the loop returns well before its end.
TEST(WorkerPool, AStopOfTheCallerEndsTheLoopOnEveryThread) {
  constexpr std::size_t kCount = 100000;
  std::atomic<std::size_t> ran{0};
  bool asked = false;
  Interrupt interrupt([&asked] { return asked = true; });
  InterruptScope scope(&interrupt);
  const auto loop = [&] {
    parallel_for(kCount, [&ran](std::size_t) {
      poll_interrupt();
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      ran.fetch_add(1);
    });
  };
  EXPECT_THROW(loop(), Interrupted);
  EXPECT_TRUE(asked);
  // 100 µs per index: a whole loop would take seconds on any machine.
  EXPECT_LT(ran.load(), kCount / 10);
}

TEST(WorkerPool, WorkWithoutAStopRequestRunsToTheEnd) {
  Interrupt interrupt([] { return false; });
  InterruptScope scope(&interrupt);
  std::atomic<std::size_t> ran{0};
  parallel_for(5000, [&ran](std::size_t) {
    poll_interrupt();
    ran.fetch_add(1);
  });
  EXPECT_EQ(ran.load(), 5000u);
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
