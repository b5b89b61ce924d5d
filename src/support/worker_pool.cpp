#include "support/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/interrupt.h"

namespace kelvra {
namespace {

// Room for this many loops in flight at once before the pending list grows;
// it only ever grows, so steady-state dispatch does not allocate.
constexpr std::size_t kPendingCapacity = 64;

// CPUs this process may run on (its affinity mask), falling back to the
// machine's count when the mask cannot be read.
std::size_t available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t pool_size() {
  static const std::size_t size = available_cpus();
  return size;
}

}  // namespace

// One parallel loop. It lives on its caller's stack; the pool only holds a
// pointer to it while it is pending or while a worker helps with it.
struct WorkerPool::Loop {
  Loop(const std::function<void(std::size_t)>& loop_body, std::size_t loop_count, std::size_t helper_cap)
      : body(&loop_body), count(loop_count), max_helpers(helper_cap), interrupt(current_interrupt()) {}

  const std::function<void(std::size_t)>* body;
  std::size_t count;
  std::size_t max_helpers;
  // The caller's stop request: helpers poll it too, so a stopped caller does
  // not wait for the rest of the loop.
  Interrupt* interrupt;
  std::atomic<std::size_t> next{0};
  // The first exception any thread's share threw; read by the caller once
  // every helper has left.
  std::exception_ptr error;
  std::atomic<bool> failed{false};
  // Pool workers inside work(); guarded by the pool's mutex. The caller may
  // not return (and destroy the loop) before this is back to zero.
  std::size_t helpers = 0;
  std::condition_variable helpers_gone;

  // Claims indices one at a time until none are left. Claiming is the only
  // shared step, so a relaxed counter is enough: results are published to
  // the caller by the mutex every helper takes when it leaves.
  // An exception ends this thread's share and, by claiming every index left,
  // everyone else's: it is kept for the caller instead of escaping a worker
  // (where it would terminate the process) or the caller's share (which
  // would leave the loop while helpers still use it).
  void work() noexcept {
    InterruptScope scope(interrupt);
    try {
      for (std::size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
           i = next.fetch_add(1, std::memory_order_relaxed)) {
        (*body)(i);
      }
    } catch (...) {
      if (!failed.exchange(true)) error = std::current_exception();
      next.store(count, std::memory_order_relaxed);
    }
  }
  bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }
};

WorkerPool::WorkerPool(std::size_t workers, const ThreadStarter& start) {
  pending_.reserve(kPendingCapacity);
  // Reserved first, so that keeping a started thread cannot fail.
  threads_.reserve(workers);
  // Every thread started so far already serves this pool, so the
  // constructor must not throw past them, whatever stopped the next one
  // (std::system_error at the thread limit, std::bad_alloc for its state).
  try {
    while (threads_.size() < workers) threads_.push_back(start([this] { serve(); }));
  } catch (...) {
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& body, std::size_t max_helpers) {
  if (count == 0) return;
  Loop loop(body, count, max_helpers);
  const std::size_t wake = std::min({count - 1, threads_.size(), max_helpers});
  if (wake > 0) {
    std::lock_guard lock(mutex_);
    pending_.push_back(&loop);
  }
  // The caller takes one share itself, so wake at most count - 1 workers.
  for (std::size_t i = 0; i < wake; ++i) work_ready_.notify_one();

  loop.work();

  std::unique_lock lock(mutex_);
  withdraw(loop);
  loop.helpers_gone.wait(lock, [&loop] { return loop.helpers == 0; });
  if (loop.error) std::rethrow_exception(loop.error);
}

void WorkerPool::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    Loop& loop = *pending_.front();
    if (loop.exhausted()) {
      withdraw(loop);
      continue;
    }
    // The last helper the loop may have takes it off the list.
    if (++loop.helpers >= loop.max_helpers) withdraw(loop);
    lock.unlock();
    loop.work();
    lock.lock();
    withdraw(loop);
    // Notified while the mutex is held: the caller cannot see helpers == 0,
    // return and destroy the loop until this thread has let go of it.
    if (--loop.helpers == 0) loop.helpers_gone.notify_one();
  }
}

// Takes a loop whose indices are all claimed off the pending list, so no
// further worker joins it; a no-op once someone already has.
void WorkerPool::withdraw(Loop& loop) {
  const auto it = std::find(pending_.begin(), pending_.end(), &loop);
  if (it != pending_.end()) pending_.erase(it);
}

namespace {

// Loops handed to the pool and not yet finished. A loop that starts while
// another is in flight (a second fitting thread's Jacobian, or a loop nested
// in a pool task) runs on its caller alone: the workers are already taken,
// and callers competing for them only add wake-ups and context switches.
std::atomic<std::size_t> loops_in_flight{0};

// Counts a loop in flight for as long as it lives, however it is left.
class InFlight {
 public:
  InFlight() { loops_in_flight.fetch_add(1, std::memory_order_relaxed); }
  ~InFlight() { loops_in_flight.fetch_sub(1, std::memory_order_relaxed); }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
};

// The pool of this process, created under creation_mutex and read without
// it. Never destroyed: workers may still be asleep on its members while the
// process exits, and static destructors must not pull them out from under
// those threads.
std::atomic<WorkerPool*> instance{nullptr};
std::mutex creation_mutex;

std::thread start_std_thread(std::function<void()> serve) { return std::thread(std::move(serve)); }

// A child of fork() has only the forking thread: the parent's workers do not
// exist there and its pool's mutex may have been held by one of them. The
// child leaves that pool behind (leaked, never touched again) and starts its
// own on first use, with no loop in flight (those of the parent's other
// threads do not exist there). Holding creation_mutex across fork() keeps a
// pool from being half-created at that moment.
void lock_before_fork() { creation_mutex.lock(); }
void unlock_in_parent() { creation_mutex.unlock(); }
void forget_in_child() {
  instance.store(nullptr, std::memory_order_relaxed);
  loops_in_flight.store(0, std::memory_order_relaxed);
  creation_mutex.unlock();
}

WorkerPool& pool() {
  if (WorkerPool* existing = instance.load(std::memory_order_acquire)) return *existing;
  std::lock_guard lock(creation_mutex);
  if (instance.load(std::memory_order_relaxed) == nullptr) {
    static const int fork_handlers = pthread_atfork(lock_before_fork, unlock_in_parent, forget_in_child);
    (void)fork_handlers;  // fails only without memory for the entry, as the pool itself would
    instance.store(new WorkerPool(pool_size(), start_std_thread), std::memory_order_release);
  }
  return *instance.load(std::memory_order_relaxed);
}

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
  // One index has nothing to share, and a busy pool has nobody to share
  // with: waking a worker would cost more than it saves.
  if (count <= 1 || loops_in_flight.load(std::memory_order_relaxed) != 0) {
    for (std::size_t i = 0; i < count; ++i) body(i);
    return;
  }
  const InFlight in_flight;
  pool().run(count, body);
}

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body, std::size_t max_threads) {
  // Counted in flight even when it runs on its caller alone, so that loops
  // nested in its body stay on their own threads and the cap holds.
  const bool pool_free = loops_in_flight.load(std::memory_order_relaxed) == 0;
  const InFlight in_flight;
  if (count <= 1 || max_threads <= 1 || !pool_free) {
    for (std::size_t i = 0; i < count; ++i) body(i);
    return;
  }
  pool().run(count, body, max_threads - 1);
}

std::size_t worker_count() { return pool().workers() + 1; }

}  // namespace kelvra
