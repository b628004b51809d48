#include "order.h"

#include "format.h"

#include <algorithm>
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
  // Past 2038 a 32-bit time_t (i386) cannot hold the time: the call fails, and the
  // milliseconds count as 0 rather than whatever the stack held.
  if (clock_gettime(CLOCK_REALTIME, &now) != 0)
    return 0;
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

int placement_draw_libc(unsigned seed) {
  srand(seed);
  return rand(); // NOLINT(cert-msc50-cpp): the order must be the one the C library's gives
}

namespace {

// The first number of the GNU C library's generator after srand is a fixed linear
// function of the seed's state. srand fills 31 words from the seed with the
// multiplicative generator x -> 16807 x mod (2^31 - 1), then runs the additive feedback
// generator (word[f] += word[r], f and r three apart, cycling over the 31 words) 310
// times to stir them; rand then takes one more sum and drops its lowest bit. Every sum
// is mod 2^32, so the word rand reads is a weighted sum of the 31 seeded words with
// weights that do not depend on the seed. Working them out once turns each draw into
// 30 steps of the multiplicative generator and 31 products, instead of 311 rounds.
constexpr int kStateWords = 31;
constexpr int kFeedbackGap = 3;
constexpr int kStirRounds = 310;

struct FirstDraw {
  uint32_t weight[kStateWords];
  bool verified;
};

void seeded_words(unsigned seed, uint32_t *words) {
  // The first step works on the seed as a signed word, the way srand computes it
  // (Schrage's method, which also takes negative words).
  int32_t word = static_cast<int32_t>(seed == 0 ? 1 : seed);
  words[0] = static_cast<uint32_t>(word);
  int64_t hi = word / 127773;
  int64_t lo = word % 127773;
  int64_t next = 16807 * lo - 2836 * hi;
  if (next < 0)
    next += 2147483647;
  // From then on every word lies in 0 .. 2^31 - 2, where the product mod 2^31 - 1
  // is a fold of its high bits onto its low ones.
  auto x = static_cast<uint64_t>(next);
  words[1] = static_cast<uint32_t>(x);
  for (int i = 2; i < kStateWords; ++i) {
    x *= 16807;
    x = (x & 0x7fffffff) + (x >> 31);
    if (x >= 0x7fffffff)
      x -= 0x7fffffff;
    words[i] = static_cast<uint32_t>(x);
  }
}

int first_draw(const FirstDraw &table, unsigned seed) {
  uint32_t words[kStateWords];
  seeded_words(seed, words);
  uint32_t sum = 0;
  for (int i = 0; i < kStateWords; ++i)
    sum += table.weight[i] * words[i];
  return static_cast<int>(sum >> 1);
}

FirstDraw make_first_draw() {
  // Run the stirring on weight vectors instead of numbers: word i starts as "1 x word i".
  static uint32_t weights[kStateWords][kStateWords];
  for (int i = 0; i < kStateWords; ++i)
    for (int j = 0; j < kStateWords; ++j)
      weights[i][j] = i == j ? 1 : 0;
  int front = kFeedbackGap, rear = 0;
  FirstDraw table{};
  for (int round = 0; round <= kStirRounds; ++round) {
    for (int j = 0; j < kStateWords; ++j)
      weights[front][j] += weights[rear][j];
    if (round == kStirRounds)
      std::copy(weights[front], weights[front] + kStateWords, table.weight);
    front = (front + 1) % kStateWords;
    rear = (rear + 1) % kStateWords;
  }
  // Use the shortcut only where it gives what the C library gives.
  table.verified = true;
  for (unsigned seed : {0u, 1u, 2u, 12345u, 32767u, 4294934528u, 4294967295u})
    table.verified = table.verified && first_draw(table, seed) == placement_draw_libc(seed);
  return table;
}

const FirstDraw &first_draw_table() {
  static const FirstDraw table = make_first_draw();
  return table;
}

} // namespace

int placement_draw(unsigned seed) {
  const FirstDraw &table = first_draw_table();
  return table.verified ? first_draw(table, seed) : placement_draw_libc(seed);
}

bool placement_draw_shortcut() {
  return first_draw_table().verified;
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

char *put_order_line(char *p, int order, const SongAddress &song) {
  p = put_decimal(p, order);
  *p++ = ' ';
  p = put_decimal(p, song.device);
  *p++ = ' ';
  p = put_decimal(p, song.list);
  *p++ = ' ';
  p = put_decimal(p, song.song);
  *p++ = '\n';
  return p;
}

const char *order_mode_text(char mode) {
  switch (mode) {
  case 'a':
    return "ALL";
  case 'd':
    return "DEV";
  case 'l':
    return "LST";
  default:
    return "SEQ";
  }
}
