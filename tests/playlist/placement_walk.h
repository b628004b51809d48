#pragma once

// The placement walk, as straightforward as it can be written: every slot starts with
// the free mark -1 in its device column, and each entry's slot is found by walking its
// group from the start, counting filled slots. Quadratic in the group size. It serves as
// the oracle of the tests and the reference of the benchmark: for positive device
// numbers, orderbuild's placement must give exactly the same order.

#include "order.h"

inline void placement_walk(const SongAddress *entries, int count, OrderMode mode,
                           SongAddress *slots, int (*clock)()) {
  if (mode == OrderMode::sequential) {
    for (int i = 0; i < count; ++i)
      slots[i] = entries[i];
    return;
  }
  for (int i = 0; i < count; ++i)
    slots[i] = {-1, -1, -1};
  for (int s = 0; s < count;) {
    int e = group_end(entries, count, s, mode);
    for (int q = s; q < e; ++q) {
      int r = placement_draw_libc(placement_seed(clock(), q));
      int k = placement_pick(e - q, r);
      int t = s + k;
      for (int w = s; w <= t; ++w) {
        if (slots[w].device != -1)
          ++t;
      }
      slots[t] = entries[q];
    }
    s = e;
  }
}
