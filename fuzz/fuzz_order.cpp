// Fuzzer of the order placement. The input is
//
//   byte 0        how the clock runs (low two bits, see ClockKind)
//   byte 1        n, the number of clock readings that follow
//   4 * n bytes   the clock readings (little endian; fewer if the input ends)
//   the rest      a master list
//
// The song entries of the master list are put in order in every mode. The result must be
// a permutation of the entries that keeps every group on its own positions, and, when no
// entry carries the device number -1 (the free mark of the reference), it must equal the
// order of the straightforward quadratic placement walk under the same clock.

#include "memstream.h"
#include "order.h"
#include "placement_walk.h"

#include <algorithm>
#include <tuple>
#include <vector>

namespace {

// Enough for any input of sensible length, small enough for the quadratic reference.
constexpr int kMaxEntries = 2000;

enum class ClockKind {
  fixed,   // always the first reading (0 without readings), as milliseconds 0 to 999
  millis,  // the readings in turn, as milliseconds 0 to 999
  raw,     // the readings in turn, any int
  counting // starts at the first reading and advances by one millisecond per call
};

struct Clock {
  ClockKind kind = ClockKind::fixed;
  std::vector<uint32_t> readings;
  size_t next = 0;
  uint32_t ticks = 0;

  void restart() {
    next = 0;
    ticks = readings.empty() ? 0 : readings[0];
  }

  int read() {
    switch (kind) {
    case ClockKind::fixed:
      return readings.empty() ? 0 : static_cast<int>(readings[0] % 1000);
    case ClockKind::millis:
    case ClockKind::raw: {
      if (readings.empty())
        return 0;
      uint32_t value = readings[next];
      next = (next + 1) % readings.size();
      return kind == ClockKind::raw ? static_cast<int>(value) : static_cast<int>(value % 1000);
    }
    case ClockKind::counting:
      return static_cast<int>(ticks++ % 1000);
    }
    return 0;
  }
};

Clock g_clock;

int fuzz_clock() {
  return g_clock.read();
}

bool same(const SongAddress &a, const SongAddress &b) {
  return a.device == b.device && a.list == b.list && a.song == b.song;
}

bool before(const SongAddress &a, const SongAddress &b) {
  return std::tie(a.device, a.list, a.song) < std::tie(b.device, b.list, b.song);
}

bool same_multiset(std::vector<SongAddress> a, std::vector<SongAddress> b) {
  std::sort(a.begin(), a.end(), before);
  std::sort(b.begin(), b.end(), before);
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
}

void check_mode(const std::vector<SongAddress> &entries, OrderMode mode, bool walk_applies) {
  int count = static_cast<int>(entries.size());
  std::vector<SongAddress> slots(entries.size(), SongAddress{-7, -7, -7});
  g_clock.restart();
  fill_order(entries.data(), count, mode, slots.data(), fuzz_clock);

  if (mode == OrderMode::sequential) {
    FUZZ_CHECK(std::equal(entries.begin(), entries.end(), slots.begin(), slots.end(), same));
    return;
  }

  for (int start = 0; start < count;) {
    int end = group_end(entries.data(), count, start, mode);
    FUZZ_CHECK(end > start && end <= count);
    if (mode == OrderMode::all)
      FUZZ_CHECK(end == count);
    for (int i = start; i < end; ++i) {
      if (mode == OrderMode::device)
        FUZZ_CHECK(entries[static_cast<size_t>(i)].device ==
                   entries[static_cast<size_t>(start)].device);
      if (mode == OrderMode::list)
        FUZZ_CHECK(entries[static_cast<size_t>(i)].list ==
                   entries[static_cast<size_t>(start)].list);
    }
    std::vector<SongAddress> group_in(entries.begin() + start, entries.begin() + end);
    std::vector<SongAddress> group_out(slots.begin() + start, slots.begin() + end);
    FUZZ_CHECK(same_multiset(group_in, group_out));
    start = end;
  }

  if (walk_applies) {
    std::vector<SongAddress> reference(entries.size());
    g_clock.restart();
    placement_walk(entries.data(), count, mode, reference.data(), fuzz_clock);
    FUZZ_CHECK(std::equal(reference.begin(), reference.end(), slots.begin(), slots.end(), same));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  g_clock.kind = static_cast<ClockKind>(data[0] & 3);
  size_t wanted = data[1];
  data += 2;
  size -= 2;
  g_clock.readings.clear();
  while (g_clock.readings.size() < wanted && size >= 4) {
    g_clock.readings.push_back(
        static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
        static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
    data += 4;
    size -= 4;
  }

  MemStream mpl(data, size);
  if (mpl.get() == nullptr)
    return 0;
  // The reader's buffer: one for the whole run, at its exact size on the heap so the
  // address sanitizer sees a write past it; filling a fresh one for every input cost
  // more than the placement itself.
  static SongAddress *const read_buffer = new SongAddress[kMaxEntries];
  int count = read_song_entries(mpl.get(), read_buffer, kMaxEntries);
  FUZZ_CHECK(count >= 0 && count <= kMaxEntries);
  std::vector<SongAddress> entries(read_buffer, read_buffer + count);
  for (const SongAddress &entry : entries)
    FUZZ_CHECK(entry.device != 0 && entry.list != 0 && entry.song != 0);

  bool walk_applies = std::none_of(entries.begin(), entries.end(),
                                   [](const SongAddress &entry) { return entry.device == -1; });
  for (OrderMode mode : {OrderMode::sequential, OrderMode::all, OrderMode::device, OrderMode::list})
    check_mode(entries, mode, walk_applies);
  return 0;
}
