// The worker pools behind every parallel loop (Jacobian columns, large
// impedance sweeps): the one process-wide pool, started on first use and
// never torn down, and the pool type it is made of.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvra {

// Runs body(i) for every i in [0, count) and returns when all are done.
// The caller takes part in the work. A loop started while another is on the
// pool (from another thread, or from inside a pool task) runs on its caller
// alone, so nested loops cannot deadlock and concurrent fits do not queue
// for the workers. Each index writes its own result slot, which keeps
// results in index order and identical for any number of threads.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

// The same loop on at most `max_threads` threads, the caller included (0
// counts as 1): a batch that its user limits to so many cores. Loops nested
// in `body` run on the thread that runs that index, so the cap bounds every
// thread the loop keeps busy.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body, std::size_t max_threads);

// Threads that work on a loop: the workers the process-wide pool did start
// (starting it if it has not been), plus the caller.
std::size_t worker_count();

// Starts a thread that runs `serve`, or throws when it cannot. The
// process-wide pool's starter is std::thread's constructor, which throws
// std::system_error when the process may not have another thread.
using ThreadStarter = std::function<std::thread(std::function<void()> serve)>;

// Worker threads that help their callers' loops.
class WorkerPool {
 public:
  // Starts up to `workers` threads with `start`. The first thread that cannot
  // be started, whatever `start` throws, ends the starting: the pool runs
  // with the threads it has, and with none its callers do all the work.
  WorkerPool(std::size_t workers, const ThreadStarter& start);
  // Stops the workers and waits for them; no loop may still be running.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs body(i) for every i in [0, count), the caller taking a share. The
  // first exception any index throws, on any thread, stops the indices not
  // yet claimed and is rethrown here once every helper has left the loop.
  // At most `max_helpers` workers join the caller.
  void run(std::size_t count, const std::function<void(std::size_t)>& body,
           std::size_t max_helpers = static_cast<std::size_t>(-1));

  // The threads that did start.
  std::size_t workers() const { return threads_.size(); }

 private:
  struct Loop;

  void serve();
  void withdraw(Loop& loop);

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::vector<Loop*> pending_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kelvra
