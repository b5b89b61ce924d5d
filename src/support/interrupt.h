// Stopping long numerical work early at its caller's request. The core does
// not know who asks (the Python layer checks for pending signals); it only
// polls at points where stopping loses nothing but the work itself.
//
// A stop unwinds as the exception Interrupted: a fit that is stopped has no
// result to report, and every layer between the poll point and the caller
// (solver callbacks, pool loops) only has to release what it owns, which its
// destructors already do. It is the core's one exception on purpose, in the
// way an allocation failure is, never a failure of the computation.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace kelvra {

// Thrown by poll_interrupt() once the work must stop.
struct Interrupted {};

// A caller's stop request, shared by every thread that works for it.
class Interrupt {
 public:
  // `should_stop` is asked on the constructing thread only (the host may need
  // that thread's own state to answer), and at most once per kPollInterval.
  explicit Interrupt(std::function<bool()> should_stop);
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // Throws Interrupted once a stop was requested. On the owning thread asks
  // `should_stop` when the interval has passed; other threads read the flag.
  void poll();

 private:
  std::function<bool()> should_stop_;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point next_poll_;
  std::atomic<bool> stopped_{false};
};

// Responsive enough that Ctrl-C feels immediate, rare enough that asking the
// host costs nothing measurable.
inline constexpr std::chrono::milliseconds kPollInterval{5};

// Makes `interrupt` (or none, with nullptr) the one the calling thread's work
// polls, for the scope's lifetime.
class InterruptScope {
 public:
  explicit InterruptScope(Interrupt* interrupt);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  Interrupt* previous_;
};

// The calling thread's current interrupt, or nullptr.
Interrupt* current_interrupt();

// Polls the calling thread's current interrupt, if any. Long loops call it
// once per unit of work (an evaluation, a chunk of a sweep).
inline void poll_interrupt() {
  if (Interrupt* interrupt = current_interrupt()) interrupt->poll();
}

}  // namespace kelvra
