// The one process-wide worker pool behind every parallel loop (Jacobian
// columns, large impedance sweeps). Started on first use, never torn down.
#pragma once

#include <cstddef>
#include <functional>

namespace kelvra {

// Runs body(i) for every i in [0, count) and returns when all are done.
// The caller takes part in the work, so a loop started from inside a pool
// task (a Jacobian inside a parallel fit) cannot deadlock. Each index writes
// its own result slot, which keeps results in index order and identical for
// any number of threads.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

// Threads that work on a loop: the pool's workers plus the caller.
std::size_t worker_count();

}  // namespace kelvra
