// The mount table's lines and the sticks' device numbers, in process.

#include "mounts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(MountTable, LinesWithAndWithoutOptionalFieldsAndEscapedPaths) {
  MountEntry m;
  ASSERT_TRUE(parse_mountinfo_line("36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 "
                                   "/dev/root rw,errors=continue",
                                   m));
  EXPECT_EQ(m.id, 36);
  EXPECT_EQ(m.parent, 35);
  EXPECT_EQ(m.major, 98U);
  EXPECT_EQ(m.minor, 0U);
  EXPECT_EQ(m.root, "/mnt1");
  EXPECT_EQ(m.mount_point, "/mnt/parent");
  EXPECT_EQ(m.fs_type, "ext3");
  EXPECT_EQ(m.source, "/dev/root");

  // No optional field; several.
  ASSERT_TRUE(parse_mountinfo_line("21 26 0:20 / /proc rw,relatime - proc proc rw", m));
  EXPECT_EQ(m.mount_point, "/proc");
  EXPECT_EQ(m.fs_type, "proc");
  ASSERT_TRUE(parse_mountinfo_line(
      "300 29 7:3 / /media/velm/STICK rw shared:7 master:2 propagate_from:1 - vfat /dev/loop3 rw",
      m));
  EXPECT_EQ(m.mount_point, "/media/velm/STICK");
  EXPECT_EQ(m.minor, 3U);
  // The largest device numbers the kernel gives, on 32-bit machines as on 64-bit ones.
  ASSERT_TRUE(parse_mountinfo_line("303 29 4095:1048575 / /media/velm/x rw - ext4 /dev/sdz rw", m));
  EXPECT_EQ(m.major, 4095U);
  EXPECT_EQ(m.minor, 1048575U);

  // Blanks, tabs, newlines and backslashes come as octal escapes.
  ASSERT_TRUE(parse_mountinfo_line(
      "301 29 7:4 / /media/velm/My\\040Music\\011Tab\\012Line\\134x rw - ext4 /dev/loop4 rw", m));
  EXPECT_EQ(m.mount_point, "/media/velm/My Music\tTab\nLine\\x");
  ASSERT_TRUE(
      parse_mountinfo_line("302 29 0:50 /sub\\040dir /media/velm/b rw - fuse.x a\\040b rw", m));
  EXPECT_EQ(m.root, "/sub dir");
  EXPECT_EQ(m.source, "a b");
}

TEST(MountTable, BadLinesAreRefusedAndPassedOver) {
  const char *const bad[] = {
      "",
      "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 ext3 /dev/root rw", // no "-"
      "36 35 98:0 /mnt1 /mnt/parent rw - ext3 /dev/root",                   // too few after it
      "36 35 98:0 /mnt1 /mnt/parent rw - ext3 /dev/root rw extra",          // too many
      "x 35 98:0 / /mnt rw - ext3 /dev/root rw",                            // not a number
      "36 35 980 / /mnt rw - ext3 /dev/root rw",                            // no major:minor
      "36 35 98: / /mnt rw - ext3 /dev/root rw",
      "36 35 4096:0 / /mnt rw - ext3 /dev/root rw",    // beyond the kernel's major
      "36 35 8:1048576 / /mnt rw - ext3 /dev/root rw", // beyond its minor
      "-1 35 98:0 / /mnt rw - ext3 /dev/root rw",
      "99999999999 35 98:0 / /mnt rw - ext3 /dev/root rw",
      "36  35 98:0 / /mnt rw - ext3 /dev/root rw",   // two blanks
      "36 35 98:0 / /mnt rw - ext3 /dev/root rw ",   // a blank at the end
      "36 35 98:0 / /m\\04 rw - ext3 /dev/root rw",  // a short escape
      "36 35 98:0 / /m\\048 rw - ext3 /dev/root rw", // not octal
      "36 35 98:0 / /m\\000 rw - ext3 /dev/root rw", // a NUL
      "36 35 98:0 / /m\\777 rw - ext3 /dev/root rw", // beyond a byte
      "36 35 98:0 / /mnt\\ rw - ext3 /dev/root rw",
      "36 35 98:0 / mnt rw - ext3 /dev/root rw", // not an absolute mount point
  };
  for (const char *line : bad) {
    MountEntry m;
    m.id = 7;
    EXPECT_FALSE(parse_mountinfo_line(line, m)) << line;
    EXPECT_EQ(m.id, 7) << "a refused line leaves the entry as it was: " << line;
  }
  MountEntry m;
  EXPECT_FALSE(
      parse_mountinfo_line(std::string("36 35 98:0 / /m\0x rw - ext3 /dev/root rw", 40), m))
      << "a NUL byte, which the kernel never writes";
  std::string text = "21 26 0:20 / /proc rw - proc proc rw\n";
  for (const char *line : bad)
    text += std::string(line) + "\n";
  text += "22 26 0:21 / /sys rw - sysfs sysfs rw"; // the last line needs no newline
  std::vector<MountEntry> mounts = parse_mountinfo(text);
  ASSERT_EQ(mounts.size(), 2U);
  EXPECT_EQ(mounts[0].mount_point, "/proc");
  EXPECT_EQ(mounts[1].mount_point, "/sys");
}

TEST(MountTable, TheMountsBelowAFolderOneAPointTheLastThere) {
  std::vector<MountEntry> mounts = parse_mountinfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "2 1 0:30 / /media/velm rw - tmpfs tmpfs rw\n" // the folder itself is no stick
      "3 2 7:1 / /media/velm/B rw - ext4 /dev/loop1 rw\n"
      "4 2 7:2 / /media/velm/A rw - ext4 /dev/loop2 rw\n"
      "5 3 7:3 / /media/velm/B rw - vfat /dev/loop3 rw\n" // covers the first B
      "6 1 7:4 / /media/velmx rw - ext4 /dev/loop4 rw\n"  // beside the folder, not below
      "7 4 7:5 / /media/velm/A/inner rw - ext4 /dev/loop5 rw\n");
  for (const std::string folder : {"/media/velm", "/media/velm/", "/media/velm//"}) {
    std::vector<MountEntry> below = mounts_below(mounts, folder);
    ASSERT_EQ(below.size(), 3U) << folder;
    EXPECT_EQ(below[0].mount_point, "/media/velm/A");
    EXPECT_EQ(below[1].mount_point, "/media/velm/A/inner");
    EXPECT_EQ(below[2].mount_point, "/media/velm/B");
    EXPECT_EQ(below[2].source, "/dev/loop3");
  }
  EXPECT_EQ(mounts_below(mounts, "/").size(), 5U); // all but / itself, B once
}

TEST(StickNumbers, TheMapReadsWhatItWritesAndPassesOverWhatIsNotWellFormed) {
  StickMap map = parse_stick_map("3 UUID=aaaa\n"
                                 "5 LABEL=My Music\n"
                                 "x UUID=bad\n"
                                 "0 UUID=zero\n"
                                 "10000 UUID=too-high\n"
                                 "4\n"
                                 "4 \n"
                                 "3 UUID=same-number\n"
                                 "6 UUID=aaaa\n"
                                 "7 NAME=\x01"
                                 "ctl\n"
                                 "8 NAME=stick");
  ASSERT_EQ(map.size(), 3U);
  EXPECT_EQ(map[0].number, 3);
  EXPECT_EQ(map[0].identity, "UUID=aaaa");
  EXPECT_EQ(map[1].identity, "LABEL=My Music");
  EXPECT_EQ(map[2].number, 8);
  EXPECT_EQ(format_stick_map(map), "3 UUID=aaaa\n5 LABEL=My Music\n8 NAME=stick\n");
  EXPECT_EQ(format_stick_map(parse_stick_map(format_stick_map(map))), format_stick_map(map));
  EXPECT_TRUE(parse_stick_map("").empty());
  EXPECT_EQ(clean_identity("LABEL=a\nb\tc"), "LABEL=a?b?c");
  EXPECT_EQ(clean_identity(std::string(500, 'x')).size(), 200U);
}

TEST(StickNumbers, AStickKeepsItsNumberAndAnAbsentOnesNumberStaysReserved) {
  StickMap map;
  // Two folders on the command line: the sticks count from 3.
  EXPECT_EQ(assign_stick_numbers(map, {"UUID=a", "UUID=b"}, 3), (std::vector<int>{3, 4}));
  // a is pulled out; a new stick does not take its number, and b keeps its own.
  EXPECT_EQ(assign_stick_numbers(map, {"UUID=b", "UUID=c"}, 3), (std::vector<int>{4, 5}));
  // a comes back, in any order of the table.
  EXPECT_EQ(assign_stick_numbers(map, {"UUID=c", "UUID=a"}, 3), (std::vector<int>{5, 3}));
  EXPECT_EQ(format_stick_map(map), "3 UUID=a\n4 UUID=b\n5 UUID=c\n");
  // Across a restart: the map as read back gives the same numbers.
  StickMap again = parse_stick_map(format_stick_map(map));
  EXPECT_EQ(assign_stick_numbers(again, {"UUID=b"}, 3), std::vector<int>{4});

  // A third folder on the command line now holds number 3: a gets a new one.
  EXPECT_EQ(assign_stick_numbers(map, {"UUID=a", "UUID=d"}, 4), (std::vector<int>{6, 7}));
  EXPECT_EQ(format_stick_map(map), "4 UUID=b\n5 UUID=c\n6 UUID=a\n7 UUID=d\n");

  // Two sticks of one identity (one image copied onto both) are two devices, each keeping
  // its number.
  StickMap copies;
  EXPECT_EQ(assign_stick_numbers(copies, {"UUID=x", "UUID=x", "UUID=x"}, 1),
            (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(format_stick_map(copies), "1 UUID=x\n2 UUID=x #2\n3 UUID=x #3\n");
  EXPECT_EQ(assign_stick_numbers(copies, {"UUID=x", "UUID=x"}, 1), (std::vector<int>{1, 2}));

  // When every number is taken, a new stick gets none (0) and the known ones theirs.
  StickMap full;
  for (int n = 1; n <= STICK_NUMBER_MAX; ++n)
    full.push_back({n, "UUID=" + std::to_string(n)});
  EXPECT_EQ(assign_stick_numbers(full, {"UUID=new", "UUID=42"}, 1), (std::vector<int>{0, 42}));
  EXPECT_EQ(full.size(), static_cast<size_t>(STICK_NUMBER_MAX));
}
