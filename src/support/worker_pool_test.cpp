#include "support/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
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

// A capped loop never has more threads than its cap, however many workers
// are idle, and a loop nested in it stays on the thread that runs its index.
TEST(WorkerPool, CappedLoopKeepsToItsThreads) {
  constexpr std::size_t kWorkers = 4;
  constexpr std::size_t kCount = 64;
  WorkerPool pool(kWorkers, [](std::function<void()> serve) { return std::thread(std::move(serve)); });
  for (const std::size_t helpers : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    pool.run(kCount, [&](std::size_t) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const std::lock_guard lock(mutex);
      threads.insert(std::this_thread::get_id());
    }, helpers);
    EXPECT_LE(threads.size(), helpers + 1) << helpers;
  }
  for (const std::size_t cap : {std::size_t{1}, std::size_t{2}}) {
    std::atomic<std::size_t> ran_elsewhere{0};
    parallel_for(kCount, [&ran_elsewhere](std::size_t) {
      const std::thread::id caller = std::this_thread::get_id();
      parallel_for(9, [&ran_elsewhere, caller](std::size_t) {
        if (std::this_thread::get_id() != caller) ran_elsewhere.fetch_add(1);
      });
    }, cap);
    EXPECT_EQ(ran_elsewhere.load(), 0u) << cap;
  }
}

// A thread starter that starts `allowed` threads and then fails with what
// `fail` throws, as std::thread does at the process's thread limit.
ThreadStarter starting_only(std::size_t allowed, std::function<void()> fail) {
  auto started = std::make_shared<std::size_t>(0);
  return [allowed, fail, started](std::function<void()> serve) {
    if (*started == allowed) fail();
    ++*started;
    return std::thread(std::move(serve));
  };
}

struct StartFailureCase {
  const char* name;
  std::size_t allowed;
  std::function<void()> fail;
};

// A pool that cannot start all its threads runs with those it has, down to
// none: every loop still completes on the threads there are, an exception
// from an index still reaches the caller, and the pool stops cleanly.
TEST(WorkerPool, SurvivesThreadsThatCannotStart) {
  constexpr std::size_t kRequested = 4;
  const auto thread_limit = [] {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  const std::vector<StartFailureCase> table = {
      {"no thread starts", 0, thread_limit},
      {"one thread starts", 1, thread_limit},
      {"allocation fails after three", 3, [] { throw std::bad_alloc(); }},
      {"every thread starts", kRequested, thread_limit},
  };
  constexpr std::size_t kCount = 1000;
  for (const StartFailureCase& c : table) {
    SCOPED_TRACE(c.name);
    WorkerPool pool(kRequested, starting_only(c.allowed, c.fail));
    EXPECT_EQ(pool.workers(), c.allowed);

    std::vector<std::size_t> squares(kCount, 0);
    pool.run(kCount, [&squares](std::size_t i) { squares[i] = i * i; });
    for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(squares[i], i * i) << i;

    const auto failing = [&pool] {
      pool.run(kCount, [](std::size_t i) {
        if (i == kCount / 2) throw std::runtime_error("index");
      });
    };
    EXPECT_THROW(failing(), std::runtime_error);
    std::atomic<std::size_t> ran{0};
    pool.run(kCount, [&ran](std::size_t) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), kCount);
  }
}

}  // namespace
}  // namespace kelvra
