// Test support: the size of the largest single allocation since the last
// reset, so that a test can show that a hostile count in a weight file never
// becomes a large request. Linking this file replaces the global operator
// new of the test program; it only records the size and calls malloc.
#pragma once

#include <cstddef>

namespace kelvra::testing_support {

void reset_largest_allocation();
std::size_t largest_allocation();

}  // namespace kelvra::testing_support
