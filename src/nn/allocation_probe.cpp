#include "nn/allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace kelvra::testing_support {
namespace {

std::atomic<std::size_t> largest{0};

}  // namespace

void reset_largest_allocation() { largest = 0; }
std::size_t largest_allocation() { return largest; }

}  // namespace kelvra::testing_support

// The standard library's array forms forward to these. The nothrow form is
// replaced as well: a sanitizer runtime supplies its own, whose memory the
// free() below would release with the wrong deallocator.
void* operator new(std::size_t size) {
  std::size_t seen = kelvra::testing_support::largest.load();
  while (size > seen && !kelvra::testing_support::largest.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
