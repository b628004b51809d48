#include "order.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

int read_song_entries(FILE *mpl, SongAddress *entries, int capacity) {
  int count = 0;
  MplEntry entry;
  while (count < capacity && mpl_read_entry(mpl, &entry)) {
    if (mpl_is_song(entry))
      entries[count++] = {entry.device, entry.list, entry.song};
  }
  return count;
}

int clock_millis() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int>(now.tv_nsec / 1000000);
}

int group_end(const SongAddress *entries, int count, int start, OrderMode mode) {
  int end = start + 1;
  switch (mode) {
  case OrderMode::device:
    while (end < count && entries[end].device == entries[start].device)
      ++end;
    return end;
  case OrderMode::list:
    while (end < count && entries[end].list == entries[start].list)
      ++end;
    return end;
  default:
    return count;
  }
}

unsigned placement_seed(int millis, int q) {
  auto low16 = static_cast<uint16_t>(static_cast<unsigned>(millis) * static_cast<unsigned>(q + 1));
  return static_cast<unsigned>(static_cast<int>(static_cast<int16_t>(low16)));
}

int placement_draw(unsigned seed) {
  srand(seed);
  return rand();
}

namespace {

// Free slots of one group, counted in a Fenwick tree so the k-th free slot is found in
// O(log n) steps instead of walking the group from its start.
struct FreeSlots {
  std::vector<int> tree; // tree[i] counts the free slots in (i - lowbit(i), i]
  int size = 0;
  int top_step = 0; // largest power of two not above size

  void reset(int n) {
    size = n;
    tree.resize(static_cast<size_t>(n) + 1);
    for (int i = 1; i <= n; ++i)
      tree[static_cast<size_t>(i)] = i & -i; // every slot free
    top_step = 1;
    while (top_step * 2 <= n)
      top_step *= 2;
  }

  // Takes the free slot that has exactly k free slots before it; returns its offset.
  int take(int k) {
    int pos = 0;
    for (int step = top_step; step > 0; step /= 2) {
      int next = pos + step;
      if (next <= size && tree[static_cast<size_t>(next)] <= k) {
        pos = next;
        k -= tree[static_cast<size_t>(next)];
      }
    }
    for (int i = pos + 1; i <= size; i += i & -i)
      tree[static_cast<size_t>(i)]--;
    return pos;
  }
};

void fill_shuffled(const SongAddress *entries, int count, OrderMode mode, SongAddress *slots,
                   int (*clock)()) {
  FreeSlots free_slots;
  free_slots.tree.reserve(static_cast<size_t>(count) + 1);
  for (int start = 0; start < count;) {
    int end = group_end(entries, count, start, mode);
    free_slots.reset(end - start);
    for (int q = start; q < end; ++q) {
      int r = placement_draw(placement_seed(clock(), q));
      int k = placement_pick(end - q, r);
      slots[start + free_slots.take(k)] = entries[q];
    }
    start = end;
  }
}

} // namespace

void fill_order(const SongAddress *entries, int count, OrderMode mode, SongAddress *slots,
                int (*clock)()) {
  if (mode == OrderMode::sequential) {
    for (int i = 0; i < count; ++i)
      slots[i] = entries[i];
    return;
  }
  fill_shuffled(entries, count, mode, slots, clock);
}

void print_buffered(FILE *out, OrderMode mode, int count) {
  const char *name = mode == OrderMode::all ? "all" : mode == OrderMode::device ? "device" : "list";
  if (mode == OrderMode::sequential)
    fprintf(out, "[orderbuild]buffered %i entries in SEQUENTIAL order.\n", count);
  else
    fprintf(out, "[orderbuild]buffered %i entries in RANDOMIZED order (%s).\n", count, name);
}
