// A stop request that Python threads share with the native work they run.
//
// Only the main thread runs signal handlers, so a fit running in a worker
// thread cannot notice Ctrl-C by itself. A batch makes one `StopFlag`, each
// of its threads enters it (`with flag:`) around its tasks, and the waiting
// main thread sets it when it stops: every lock-released section on those
// threads then polls the flag as the main thread polls for signals, and
// stops within the same poll interval.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

namespace kelvra::python {

using SharedStop = std::shared_ptr<const std::atomic<bool>>;

// The flags the calling thread has entered, innermost last.
inline thread_local std::vector<SharedStop> entered_stop_flags;

// The flag the calling thread's native work polls, or null.
inline SharedStop current_stop_flag() {
  return entered_stop_flags.empty() ? nullptr : entered_stop_flags.back();
}

}  // namespace kelvra::python
