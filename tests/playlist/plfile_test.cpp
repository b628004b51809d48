// The shared readers of the master and order lists, on in-memory streams.

#include "plfile.h"

#include "worked_example.h"
#include <cstdio>

#include <algorithm>
#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Stream {
  std::string data;
  FILE *fp;
  explicit Stream(std::string text) : data(std::move(text)) {
    fp = fmemopen(data.data(), data.size(), "r");
  }
  ~Stream() { fclose(fp); }
};

struct Mpl {
  int device, list, song;
  std::string text;
  bool operator==(const Mpl &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Mpl &e) {
  return os << e.device << ' ' << e.list << ' ' << e.song << " [" << e.text << ']';
}

// The reading loop every tool uses.
std::vector<Mpl> read_mpl(const std::string &text) {
  Stream in(text);
  std::vector<Mpl> entries;
  MplEntry entry;
  while (mpl_read_entry(in.fp, &entry))
    entries.push_back({entry.device, entry.list, entry.song, entry.text});
  return entries;
}

// "%d" as the jukebox's 32-bit box converts it, on every machine: "%lld" (long long is 64
// bits everywhere) clamped to the int range.
int box_int(long long n) {
  return static_cast<int>(std::clamp<long long>(n, INT_MIN, INT_MAX));
}

// The same loop with the scanf pattern the reader stands for.
std::vector<Mpl> scan_mpl(const std::string &text) {
  Stream in(text);
  std::vector<Mpl> entries;
  long long d, l, s;
  char buffer[256];
  while (fscanf(in.fp, "%lld%lld%lld %255[^\n]%*[^\n]", &d, &l, &s, buffer) == 4)
    entries.push_back({box_int(d), box_int(l), box_int(s), buffer});
  return entries;
}

std::vector<std::vector<int>> read_opl(const std::string &text) {
  Stream in(text);
  std::vector<std::vector<int>> entries;
  OplEntry e;
  while (opl_read_entry(in.fp, &e))
    entries.push_back({e.order, e.device, e.list, e.song});
  return entries;
}

std::vector<std::vector<int>> scan_opl(const std::string &text) {
  Stream in(text);
  std::vector<std::vector<int>> entries;
  long long o, d, l, s;
  while (fscanf(in.fp, "%lld %lld %lld %lld\n", &o, &d, &l, &s) == 4)
    entries.push_back({box_int(o), box_int(d), box_int(l), box_int(s)});
  return entries;
}

} // namespace

TEST(MplReadEntry, WorkedExampleLineForLine) {
  std::vector<Mpl> expected = {{2, 0, 0, "/mnt/music"},
                               {2, 1, 0, "Rock"},
                               {2, 1, 1, "/mnt/music/Rock/a.Mp3"},
                               {2, 1, 2, "/mnt/music/Rock/b.mp3"},
                               {2, 2, 0, "Jazz"},
                               {2, 2, 1, "/mnt/music/Jazz/x.MP3"}};
  EXPECT_EQ(read_mpl(worked_example_mpl), expected);
}

TEST(MplReadEntry, LeavesNewlineForNextCall) {
  Stream in("1 2 3 text\n");
  MplEntry entry;
  ASSERT_TRUE(mpl_read_entry(in.fp, &entry));
  EXPECT_EQ(getc(in.fp), '\n');
  EXPECT_FALSE(mpl_read_entry(in.fp, &entry));
}

TEST(MplReadEntry, BlankLinesLeadingBlanksAndEnd) {
  // Blank lines are passed over, blanks before the text are lost, the last entry comes
  // once whether or not the file ends with a newline.
  EXPECT_EQ(read_mpl("\n\n1 0 0 /r\n\n   \n1 1 0    spaced name\n1 1 1 /r/x.mp3"),
            (std::vector<Mpl>{{1, 0, 0, "/r"}, {1, 1, 0, "spaced name"}, {1, 1, 1, "/r/x.mp3"}}));
  EXPECT_TRUE(read_mpl("").empty());
  EXPECT_TRUE(read_mpl("\n \n").empty());
  // A line without text takes the next line as its text, as the pattern does.
  EXPECT_EQ(read_mpl("1 0 0\n1 1 0 x\n"), (std::vector<Mpl>{{1, 0, 0, "1 1 0 x"}}));
  // Numbers without text at the end of the file are no entry.
  EXPECT_TRUE(read_mpl("1 0 0 \n").empty());
}

TEST(MplReadEntry, LineNotStartingWithNumberEndsReading) {
  EXPECT_EQ(read_mpl("1 1 1 /r/a\nrest of a name\n1 1 2 /r/b\n"),
            (std::vector<Mpl>{{1, 1, 1, "/r/a"}}));
  EXPECT_EQ(read_mpl("1 1 x /r/a\n"), std::vector<Mpl>{});
  EXPECT_EQ(read_mpl("- 1 1 /r/a\n"), std::vector<Mpl>{});
}

TEST(MplReadEntry, OverlongTextKeeps255AndLosesNoEntry) {
  std::string long_text = "/r/" + std::string(400, 'x') + ".mp3";
  std::string text = "1 1 1 " + long_text + "\n1 1 2 /r/after.mp3\n";
  std::vector<Mpl> entries = read_mpl(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].text, long_text.substr(0, 255));
  EXPECT_EQ(entries[1], (Mpl{1, 1, 2, "/r/after.mp3"}));
  // Exactly 255 characters fit whole.
  std::string fits(255, 'y');
  EXPECT_EQ(read_mpl("3 3 3 " + fits + "\n")[0].text, fits);
}

TEST(MplReadEntry, AgreesWithScanfPattern) {
  const char *cases[] = {
      worked_example_mpl,
      "+1 -2 +0 signs\n",
      "2147483647 -2147483648 4294967297 wrap\n",
      "99999999999999999999 -99999999999999999999 5 clamp\n",
      "1\t2\v3\f tabs and \r carriage\r\n4 5 6 next\n",
      "1 2 3 a\n\n\n7 8 9 b",
      "1 2 3",
      "1 2 3 \n\n",
      "-",
      "1 2 +x",
      "12abc 1 1 x\n",
  };
  for (const char *text : cases)
    EXPECT_EQ(read_mpl(text), scan_mpl(text)) << "input: " << text;
  std::string long_line = "1 1 1 " + std::string(1000, 'z') + "\n2 2 2 q\n";
  EXPECT_EQ(read_mpl(long_line), scan_mpl(long_line));
}

// The numbers of both lists are 32-bit, as on the jukebox's box: beyond the int range
// they are clamped, never wrapped, on 64-bit machines as on 32-bit ones.
TEST(ListNumbers, BeyondTheIntRangeClampLikeA32BitBox) {
  EXPECT_EQ(read_mpl("2147483647 -2147483648 +0 edges\n"),
            (std::vector<Mpl>{{INT_MAX, INT_MIN, 0, "edges"}}));
  EXPECT_EQ(read_mpl("2147483648 -2147483649 4294967297 past\n"),
            (std::vector<Mpl>{{INT_MAX, INT_MIN, INT_MAX, "past"}}));
  EXPECT_EQ(read_mpl("4294967296 -4294967296 18446744073709551617 far\n"),
            (std::vector<Mpl>{{INT_MAX, INT_MIN, INT_MAX, "far"}}));
  EXPECT_EQ(read_mpl("000000000000000000002147483647 -0000000000000000000002147483648 1 x\n"),
            (std::vector<Mpl>{{INT_MAX, INT_MIN, 1, "x"}}));
  EXPECT_EQ(read_opl("2147483648 -2147483649 4294967295 -4294967295\n"),
            (std::vector<std::vector<int>>{{INT_MAX, INT_MIN, INT_MAX, INT_MIN}}));
  EXPECT_EQ(read_opl(std::string(40, '9') + " 1 1 1\n"),
            (std::vector<std::vector<int>>{{INT_MAX, 1, 1, 1}}));
}

TEST(OplReadEntry, ReadsLinesAndConsumesNewlines) {
  std::string text = "1 2 1 1\n2 2 1 2\n\n3 2 2 1\n";
  EXPECT_EQ(read_opl(text),
            (std::vector<std::vector<int>>{{1, 2, 1, 1}, {2, 2, 1, 2}, {3, 2, 2, 1}}));
  Stream in("1 2 3 4\n\n  \n");
  OplEntry e;
  ASSERT_TRUE(opl_read_entry(in.fp, &e));
  EXPECT_EQ(getc(in.fp), EOF); // the end of the file is already met
}

TEST(OplReadEntry, AgreesWithScanfPattern) {
  const char *cases[] = {
      "1 2 1 1\n2 2 1 2\n",
      "1 2 1\n2 2 1 2\n",
      "1 2 1 1 extra\n2 2 2 2\n",
      "-1 -2 -3 -4\n",
      "1 2 3 x\n",
      "5000000000 1 1 1\n",
      "-2147483649 2147483648 -99999999999999999999 1\n",
      "1\n2\n3\n4\n5 6 7 8\n",
      "",
      "\n\n",
  };
  for (const char *text : cases)
    EXPECT_EQ(read_opl(text), scan_opl(text)) << "input: " << text;
}
