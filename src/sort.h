// sort.h — stable sort of fixed-width records of 32-bit integers by one key integer.
#pragma once

#include <cstdint>
#include <vector>

namespace qarn {

// The one comparison kind: descending key, keys read as unsigned 32-bit values.
constexpr int sort_descending_unsigned = 1;

// Sorts `count` records of n integers in place by the integer at position pos; records with equal keys keep their
// order.
int sort_array(int32_t* array, int32_t count, int32_t n, int32_t pos, int32_t kind);

// The indices 0 to n - 1 by descending count, equal counts in ascending index order: the order sort_array gives
// records (count, index). Counts are not negative. A counting sort: linear in n and in the counts below 2^16.
void order_by_count(const int32_t* counts, int32_t n, int32_t* order);

}  // namespace qarn
