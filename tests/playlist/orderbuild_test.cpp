// orderbuild run for real in a private sandbox: the exact shuffle under a frozen clock
// against the placement walk, the limit of the entry table, and a replaced order list
// that is never torn. The messages and exit statuses of each mode are golden cases
// (tests/golden/orderbuild).

#include "order.h"
#include "placement_walk.h"
#include "sandbox_run.h"
#include "worked_example.h"

#include <gtest/gtest.h>
#include <sstream>
#include <vector>

namespace {

std::string found(int n) {
  return "[orderbuild]found " + std::to_string(n) + " entries in MasterPlayList </tmp/MPL>.\n";
}
const char cannot_write[] =
    "[orderbuild]Could not open OrderPlayList file </tmp/OPL> for writing.\n";
const char please_wait[] =
    "[orderbuild]filling up playlist positions in randomized order... please wait...\n";

// Runs orderbuild with its clock frozen at the listed milliseconds.
std::string frozen(const std::string &millis, const std::string &args) {
  return "LD_PRELOAD=" + shell_quote(VELM_FAKECLOCK) + " VELM_FAKE_MILLIS=" + millis +
         " orderbuild " + args;
}

std::string master_list(const std::vector<SongAddress> &songs) {
  std::string text;
  for (const SongAddress &s : songs)
    text += std::to_string(s.device) + " " + std::to_string(s.list) + " " + std::to_string(s.song) +
            " /mnt/x/" + std::to_string(s.song) + ".mp3\n";
  return text;
}

std::string order_list(const std::vector<SongAddress> &slots) {
  std::string text;
  for (size_t i = 0; i < slots.size(); ++i)
    text += std::to_string(i + 1) + " " + std::to_string(slots[i].device) + " " +
            std::to_string(slots[i].list) + " " + std::to_string(slots[i].song) + "\n";
  return text;
}

std::vector<int> millis_list;
size_t millis_next;
int listed_clock() {
  return millis_list[millis_next++ % millis_list.size()];
}

std::string expected_walk(const std::vector<SongAddress> &entries, OrderMode mode,
                          std::vector<int> millis) {
  millis_list = std::move(millis);
  millis_next = 0;
  std::vector<SongAddress> slots(entries.size());
  placement_walk(entries.data(), static_cast<int>(entries.size()), mode, slots.data(),
                 listed_clock);
  return order_list(slots);
}

} // namespace

TEST(Orderbuild, FailedWriteLeavesOldOrderListWhole) {
  Sandbox sb;
  // A master list of 20,000 songs fits in /tmp; the order list does not, after it.
  RunResult r = sb.run(R"(
    seq 1 20000 | awk '{ print 1, 1 + int($1 / 100), $1, "/mnt/a/" $1 ".mp3" }' >/tmp/MPL
    echo '1 1 1 1' >/tmp/OPL
    used=$(du -skx /tmp | cut -f1)
    mount --options-source=disable -o remount,nosuid,nodev,size=$(( used + 40 ))k /tmp || exit 98
    orderbuild -a; echo "status $?"; ls /tmp | grep -e MPL -e OPL
  )");
  EXPECT_EQ(r.out, "status 2\nMPL\nOPL\n");
  EXPECT_EQ(r.err, found(20000) + please_wait +
                       "[orderbuild]buffered 20000 entries in RANDOMIZED order (all).\n" +
                       cannot_write);
  EXPECT_EQ(sb.read("/tmp/OPL"), "1 1 1 1\n");
}

TEST(Orderbuild, FailedRenameLeavesOldOrderListWhole) {
  SKIP_WITHOUT_ROOT("an immutable file (chattr +i)");
  // The new list is written whole, but the old one may not be replaced.
  Sandbox sb;
  sb.put("/tmp/MPL", worked_example_mpl);
  sb.put("/tmp/OPL", "1 9 9 9\n");
  RunResult r = sb.run(R"(
    chattr +i /tmp/OPL || exit 98
    orderbuild -l; echo "status $?"
    chattr -i /tmp/OPL; ls -p /tmp | grep -v /
  )");
  EXPECT_EQ(r.out, "status 2\nMPL\nOPL\n");
  EXPECT_EQ(r.err, found(3) + please_wait +
                       "[orderbuild]buffered 3 entries in RANDOMIZED order (list).\n" +
                       cannot_write);
  EXPECT_EQ(sb.read("/tmp/OPL"), "1 9 9 9\n");
}

TEST(Orderbuild, TakesAtMost99999Songs) {
  Sandbox sb;
  RunResult r = sb.run(R"(
    seq 1 100003 | awk '{ print 1, 1 + int($1 / 1000), $1, "/mnt/a/" $1 ".mp3" }' >/tmp/MPL
    orderbuild && wc -l </tmp/OPL && tail -n 1 /tmp/OPL
  )");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "99999\n99999 1 100 99999\n");
  EXPECT_EQ(r.err.substr(0, found(99999).size()), found(99999));
}

TEST(Orderbuild, ShuffleIsExactlyTheWalk) {
  // Several devices and lists; device 1 occurs in two separate runs, and list 1 of
  // device 2 follows list 1 of device 1 directly (one list group across devices).
  std::vector<SongAddress> songs;
  auto add = [&](int d, int l, int n) {
    for (int s = 1; s <= n; ++s)
      songs.push_back({d, l, s});
  };
  add(1, 1, 7);
  add(2, 1, 5);
  add(2, 2, 9);
  add(3, 1, 1);
  add(1, 1, 4);
  add(1, 2, 30);
  Sandbox sb;
  for (std::string millis : {"0", "999", "517", "3,998,250,17,640"}) {
    std::vector<int> values;
    std::stringstream list(millis);
    for (std::string item; std::getline(list, item, ',');)
      values.push_back(std::stoi(item));
    for (auto [flag, mode] :
         {std::pair{"-a", OrderMode::all}, {"-d", OrderMode::device}, {"-l", OrderMode::list}}) {
      sb.put("/tmp/MPL", master_list(songs));
      RunResult r = sb.run(frozen(millis, flag));
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(sb.read("/tmp/OPL"), expected_walk(songs, mode, values))
          << flag << " millis " << millis;
    }
  }
}

TEST(Orderbuild, NegativeDeviceNumbersLoseNoSong) {
  Sandbox sb;
  for (const char *millis : {"0", "1", "500", "999"}) {
    sb.put("/tmp/MPL", "-1 0 0 /r\n-1 1 0 L\n-1 1 1 /r/L/a.mp3\n-1 1 2 /r/L/b.mp3\n"
                       "-1 1 3 /r/L/c.mp3\n4 1 1 /s/L/d.mp3\n");
    RunResult r = sb.run(frozen(millis, "-a") + " && cut -d' ' -f2- /tmp/OPL | sort");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-1 1 1\n-1 1 2\n-1 1 3\n4 1 1\n") << millis;
  }
}

TEST(Orderbuild, ReadersNeverSeeAHalfWrittenOrderList) {
  Sandbox sb;
  RunResult r = sb.run(R"(
    seq 1 99999 | awk '{ print 1, 1 + int($1 / 1000), $1, "/mnt/a/" $1 ".mp3" }' >/tmp/MPL
    printf '1 1 1 1\n2 1 1 2\n' >/tmp/OPL
    orderbuild -a 2>/dev/null &
    seen=""
    while :; do
      running=no; kill -0 $! 2>/dev/null && running=yes
      lines=$(wc -l </tmp/OPL); last=$(tail -c 1 /tmp/OPL | od -An -c | tr -d ' ')
      case "$lines$last" in
        '2\n'|'99999\n') seen="$seen $lines" ;;
        *) echo "torn: $lines lines, last byte $last"; exit 1 ;;
      esac
      [ $running = no ] && break
    done
    wait $! || exit 2
    case "$seen" in *' 2'*) echo old-seen ;; esac
    wc -l </tmp/OPL
  )");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // The old list was seen while the new one was being made, and then the whole new one.
  EXPECT_TRUE(r.out == "old-seen\n99999\n" || r.out == "99999\n") << r.out;
}
