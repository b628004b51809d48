// Putting songs in order: the groups, the seeds and draws, and the placement against
// the quadratic walk it replaces.

#include "order.h"
#include "placement_walk.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// A clock that reads the listed milliseconds in turn, starting over when used up.
std::vector<int> clock_values;
size_t clock_next;
int listed_clock() {
  int value = clock_values[clock_next % clock_values.size()];
  ++clock_next;
  return value;
}
void set_clock(std::vector<int> values) {
  clock_values = std::move(values);
  clock_next = 0;
}

std::vector<SongAddress> shuffled(const std::vector<SongAddress> &entries, OrderMode mode,
                                  bool walk = false) {
  std::vector<SongAddress> slots(entries.size());
  clock_next = 0;
  if (walk)
    placement_walk(entries.data(), static_cast<int>(entries.size()), mode, slots.data(),
                   listed_clock);
  else
    fill_order(entries.data(), static_cast<int>(entries.size()), mode, slots.data(), listed_clock);
  return slots;
}

} // namespace

std::ostream &operator<<(std::ostream &os, const SongAddress &a) {
  return os << a.device << '/' << a.list << '/' << a.song;
}

namespace {

// A collection of several devices and lists; list numbers restart per device, so
// adjacent lists of two devices may share a number.
std::vector<SongAddress> collection(std::mt19937 &rng, int devices) {
  std::vector<SongAddress> entries;
  for (int d = 1; d <= devices; ++d) {
    int lists = static_cast<int>(rng() % 4) + 1;
    for (int l = 1; l <= lists; ++l) {
      int songs = static_cast<int>(rng() % 9) + 1;
      for (int s = 1; s <= songs; ++s)
        entries.push_back({static_cast<int>(rng() % 3) == 0 ? d + 10 : d, l, s});
    }
  }
  return entries;
}

} // namespace

TEST(PlacementSeed, LowSixteenBitsWithSign) {
  EXPECT_EQ(placement_seed(0, 5), 0u);
  EXPECT_EQ(placement_seed(7, 0), 7u);
  EXPECT_EQ(placement_seed(999, 32), 4294934727u); // 32967 reads as -32569
  EXPECT_EQ(placement_seed(1, 32766), 32767u);
  EXPECT_EQ(placement_seed(1, 32767), 4294934528u); // 32768 reads as -32768
  EXPECT_EQ(placement_seed(1, 65535), 0u);          // 65536 cut to 16 bits
  EXPECT_EQ(placement_seed(999, 99998), 22137u);    // 99899001 is 0x5F45679
  for (int m : {1, 17, 500, 999})
    for (int q : {0, 1, 99, 4000, 99998}) {
      unsigned seed = placement_seed(m, q);
      EXPECT_TRUE(seed <= 32767u || seed >= 4294934528u);
      EXPECT_EQ(static_cast<uint16_t>(seed), static_cast<uint16_t>(m * (q + 1)));
    }
}

TEST(PlacementDraw, GlibcGeneratorAfterSeeding) {
  // Seed 0 is taken as 1 by glibc.
  EXPECT_EQ(placement_draw(0), 1804289383);
  EXPECT_EQ(placement_draw(1), 1804289383);
  srand(12345);
  int expected = rand();
  (void)rand(); // the generator's own state must not matter: every draw seeds anew
  EXPECT_EQ(placement_draw(12345), expected);
}

TEST(PlacementDraw, SameAsSrandRandForEverySeedAPlacementMakes) {
#ifdef __GLIBC__
  EXPECT_TRUE(placement_draw_shortcut());
#endif
  // Seeds are 16-bit values widened with their sign: 65,536 of them in all.
  for (int low = 0; low < 65536; ++low) {
    unsigned seed = static_cast<unsigned>(static_cast<int>(static_cast<int16_t>(low)));
    ASSERT_EQ(placement_draw(seed), placement_draw_libc(seed)) << "seed " << seed;
  }
}

TEST(PlacementPick, FloorOfScaledDraw) {
  EXPECT_EQ(placement_pick(1, 2147483647), 0);
  EXPECT_EQ(placement_pick(4, 0), 0);
  EXPECT_EQ(placement_pick(4, 1073741824), 2);
  EXPECT_EQ(placement_pick(99999, 2147483647), 99998);
  EXPECT_EQ(placement_pick(3, 1804289383), 2);
}

TEST(GroupEnd, DeviceAndListRules) {
  std::vector<SongAddress> e = {{1, 1, 1}, {1, 1, 2}, {1, 2, 1}, {2, 1, 1}, {2, 2, 1}, {1, 2, 2}};
  int n = static_cast<int>(e.size());
  EXPECT_EQ(group_end(e.data(), n, 0, OrderMode::all), n);
  EXPECT_EQ(group_end(e.data(), n, 0, OrderMode::device), 3);
  EXPECT_EQ(group_end(e.data(), n, 3, OrderMode::device), 5);
  EXPECT_EQ(group_end(e.data(), n, 5, OrderMode::device), 6); // device 1 again: its own group
  EXPECT_EQ(group_end(e.data(), n, 0, OrderMode::list), 2);
  // List 2 of device 1 and list 2 of device 2 are not adjacent, but list 1 of device 2
  // directly after list 2 of device 1 starts a new group...
  EXPECT_EQ(group_end(e.data(), n, 2, OrderMode::list), 3);
  // ...while list 2 of device 2 followed by list 2 of device 1 forms one group.
  EXPECT_EQ(group_end(e.data(), n, 4, OrderMode::list), 6);
}

TEST(FillOrder, WorkedExampleOfThePlacement) {
  // Find clock readings whose draws give k = 2, 2, 0, 0 for four entries in one group.
  std::vector<int> wanted_k = {2, 2, 0, 0};
  std::vector<int> millis;
  for (int q = 0; q < 4; ++q) {
    int m = 0;
    while (placement_pick(4 - q, placement_draw(placement_seed(m, q))) != wanted_k[q])
      ++m;
    ASSERT_LT(m, 1000);
    millis.push_back(m);
  }
  set_clock(millis);
  std::vector<SongAddress> abcd = {{1, 1, 1}, {1, 1, 2}, {1, 1, 3}, {1, 1, 4}}; // a b c d
  std::vector<SongAddress> expected = {abcd[2], abcd[3], abcd[0], abcd[1]};     // c d a b
  EXPECT_EQ(shuffled(abcd, OrderMode::all), expected);
  EXPECT_EQ(shuffled(abcd, OrderMode::all, true), expected);
}

TEST(FillOrder, FrozenClockAtZeroReversesThree) {
  set_clock({0});
  std::vector<SongAddress> abc = {{1, 1, 1}, {1, 1, 2}, {1, 1, 3}};
  EXPECT_EQ(shuffled(abc, OrderMode::all), (std::vector<SongAddress>{abc[2], abc[1], abc[0]}));
}

TEST(FillOrder, SequentialKeepsOrder) {
  std::vector<SongAddress> e = {{3, 1, 1}, {1, 1, 1}, {2, 5, 7}};
  set_clock({0});
  EXPECT_EQ(shuffled(e, OrderMode::sequential), e);
}

TEST(FillOrder, SameAsWalkInEveryMode) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::vector<SongAddress> entries = collection(rng, 1 + round % 6);
    std::vector<int> millis;
    for (int i = 0; i < 1 + round % 5; ++i)
      millis.push_back(static_cast<int>(rng() % 1000));
    set_clock(millis);
    for (OrderMode mode : {OrderMode::all, OrderMode::device, OrderMode::list}) {
      std::vector<SongAddress> ours = shuffled(entries, mode);
      ASSERT_EQ(ours, shuffled(entries, mode, true)) << "round " << round;
      // Every group keeps exactly its own positions.
      int n = static_cast<int>(entries.size());
      for (int s = 0; s < n;) {
        int e = group_end(entries.data(), n, s, mode);
        std::vector<SongAddress> want(entries.begin() + s, entries.begin() + e);
        std::vector<SongAddress> got(ours.begin() + s, ours.begin() + e);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, want);
        s = e;
      }
    }
  }
}

TEST(FillOrder, LargeGroupSameAsWalk) {
  std::vector<SongAddress> entries;
  for (int i = 0; i < 5000; ++i)
    entries.push_back({1 + i / 1000, 1 + i / 100, 1 + i % 100});
  set_clock({3, 998, 250, 17});
  EXPECT_EQ(shuffled(entries, OrderMode::all), shuffled(entries, OrderMode::all, true));
}

TEST(FillOrder, NegativeAndZeroDevicesStayAPermutation) {
  // Free slots are tracked apart from the addresses, so device -1 cannot pass for a
  // free slot: no song is lost or doubled.
  std::vector<SongAddress> entries = {{-1, 1, 1}, {-1, 1, 2}, {4, 1, 1},
                                      {-1, 2, 1}, {-7, 1, 1}, {4, 2, 2}};
  for (int m : {0, 1, 333, 999}) {
    set_clock({m});
    for (OrderMode mode : {OrderMode::all, OrderMode::device, OrderMode::list}) {
      std::vector<SongAddress> got = shuffled(entries, mode);
      std::vector<SongAddress> want = entries;
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << "millis " << m;
    }
  }
}
