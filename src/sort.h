// sort.h — stable sort of fixed-width records of 32-bit integers by one key integer.
#pragma once

#include <cstdint>

// The one comparison kind: descending key, keys read as unsigned 32-bit values.
constexpr int sort_descending_unsigned = 1;

// Sorts `count` records of n integers in place by the integer at position pos; records with equal keys keep their
// order.
int sort_array(int32_t* array, int32_t count, int32_t n, int32_t pos, int32_t kind);
