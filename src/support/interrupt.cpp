#include "support/interrupt.h"

#include <utility>

namespace kelvra {
namespace {

thread_local Interrupt* current = nullptr;

}  // namespace

Interrupt::Interrupt(std::function<bool()> should_stop)
    : should_stop_(std::move(should_stop)),
      owner_(std::this_thread::get_id()),
      next_poll_(std::chrono::steady_clock::now() + kPollInterval) {}

void Interrupt::poll() {
  if (!stopped_.load(std::memory_order_relaxed) && std::this_thread::get_id() == owner_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_poll_) {
      next_poll_ = now + kPollInterval;
      if (should_stop_()) stopped_.store(true, std::memory_order_relaxed);
    }
  }
  if (stopped_.load(std::memory_order_relaxed)) throw Interrupted{};
}

InterruptScope::InterruptScope(Interrupt* interrupt) : previous_(std::exchange(current, interrupt)) {}

InterruptScope::~InterruptScope() { current = previous_; }

Interrupt* current_interrupt() { return current; }

}  // namespace kelvra
