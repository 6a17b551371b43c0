// Whether some items occur in a list in a given order, others allowed between.
#pragma once

#include <algorithm>
#include <type_traits>
#include <vector>

namespace vorntest {

template <class T>
bool InOrder(const std::vector<T>& items, const std::vector<std::type_identity_t<T>>& expected) {
  auto it = items.begin();
  for (const T& want : expected) {
    it = std::find(it, items.end(), want);
    if (it == items.end()) return false;
    ++it;
  }
  return true;
}

}  // namespace vorntest
