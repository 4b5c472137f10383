// sort.cpp — stable record sort: sorts an index array with a merge sort, then gathers the records once.
#include "sort.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <numeric>
#include <vector>

namespace qarn {

int sort_array(int32_t* array, int32_t count, int32_t n, int32_t pos, int32_t kind) {
  assert(pos < n);
  assert(kind == sort_descending_unsigned);
  (void)kind;
  if (count < 2) return 0;
  std::vector<int32_t> order(static_cast<size_t>(count));
  std::iota(order.begin(), order.end(), 0);
  auto key = [&](int32_t r) { return static_cast<uint32_t>(array[static_cast<int64_t>(r) * n + pos]); };
  std::stable_sort(order.begin(), order.end(), [&](int32_t x, int32_t y) { return key(x) > key(y); });
  std::vector<int32_t> gathered(static_cast<size_t>(count) * static_cast<size_t>(n));
  for (int32_t i = 0; i < count; i++)
    std::memcpy(&gathered[static_cast<size_t>(i) * n], array + static_cast<int64_t>(order[i]) * n, sizeof(int32_t) * n);
  std::memcpy(array, gathered.data(), gathered.size() * sizeof(int32_t));
  return 0;
}

void order_by_count(const int32_t* counts, int32_t n, int32_t* order) {
  // Counts of 2^16 and more are few (their occurrences alone exceed 2^16 each): they are sorted apart and go first.
  constexpr int32_t small = 1 << 16;
  std::vector<int32_t> large;
  int32_t top = 0;
  for (int32_t i = 0; i < n; i++) {
    assert(counts[i] >= 0);
    if (counts[i] >= small) large.push_back(i);
    else top = std::max(top, counts[i]);
  }
  std::stable_sort(large.begin(), large.end(), [&](int32_t x, int32_t y) { return counts[x] > counts[y]; });
  std::copy(large.begin(), large.end(), order);
  // The others by count, from the highest: first[c] is where the next index of count c goes.
  std::vector<int32_t> first(static_cast<size_t>(top) + 2, 0);
  for (int32_t i = 0; i < n; i++)
    if (counts[i] < small) first[static_cast<size_t>(top - counts[i]) + 1]++;
  first[0] = static_cast<int32_t>(large.size());
  for (size_t c = 1; c < first.size(); c++) first[c] += first[c - 1];
  for (int32_t i = 0; i < n; i++)
    if (counts[i] < small) order[first[static_cast<size_t>(top - counts[i])]++] = i;
}

}  // namespace qarn
