// The one process-wide worker pool behind every parallel loop (Jacobian
// columns, large impedance sweeps). Started on first use, never torn down.
#pragma once

#include <cstddef>
#include <functional>

namespace kelvra {

// Runs body(i) for every i in [0, count) and returns when all are done.
// The caller takes part in the work. A loop started while another is on the
// pool (from another thread, or from inside a pool task) runs on its caller
// alone, so nested loops cannot deadlock and concurrent fits do not queue
// for the workers. Each index writes its own result slot, which keeps
// results in index order and identical for any number of threads.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

// Threads that work on a loop: the pool's workers plus the caller.
std::size_t worker_count();

}  // namespace kelvra
