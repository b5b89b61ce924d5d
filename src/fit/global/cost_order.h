// The ordering the simplex and the swarm use for their members.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kelvra {

// Stable ascending sort whose only comparison is "cost greater than": an item
// moves left only past items whose cost is greater than its own. Equal costs
// keep their order, and a NaN cost, neither greater nor smaller than any
// other, is never moved past another item nor passed by one. Insertion sort
// gives exactly that without the strict weak order std::stable_sort needs.
template <class T, class CostOf>
void sort_by_cost(std::vector<T>& items, CostOf cost_of) {
  for (std::size_t i = 1; i < items.size(); ++i) {
    for (std::size_t j = i; j > 0 && cost_of(items[j - 1]) > cost_of(items[j]); --j) {
      std::swap(items[j - 1], items[j]);
    }
  }
}

}  // namespace kelvra
