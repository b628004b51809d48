#pragma once

// The sticks' side of the launcher that needs no system: reading the kernel's mount table
// (/proc/self/mountinfo) and the map that gives every stick, known by its file system's
// identity, the same device number each time it comes.

#include <string>
#include <string_view>
#include <vector>

// One line of the mount table:
//   36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue
// mount id, parent id, major:minor, root, mount point, mount options, optional fields up
// to "-", file system type, source, super options. Paths come with " ", tab, newline and
// "\" written as octal escapes ("\040"); they are taken back here.
struct MountEntry {
  int id = 0;
  int parent = 0;
  unsigned major = 0;
  unsigned minor = 0;
  std::string root;
  std::string mount_point;
  std::string fs_type;
  std::string source;
};

// One line, without its newline. False for a line not so formed (too few fields, a
// number that is none, no "-" before the type, a NUL byte, an escape that is not three
// octal digits or gives a NUL).
bool parse_mountinfo_line(std::string_view line, MountEntry &entry);

// Every well-formed line of the table's text; the others are passed over.
std::vector<MountEntry> parse_mountinfo(std::string_view text);

// The file systems mounted below `folder` (not on it): one a mount point, the last one
// mounted there (the one that is seen), in the order of their mount points.
std::vector<MountEntry> mounts_below(const std::vector<MountEntry> &mounts,
                                     const std::string &folder);

// The map of device numbers to stick identities ("UUID=...", "LABEL=...", "NAME=..."),
// kept in /tmp/STICKS, one "NUMBER IDENTITY" a line. A number stays the stick's while it
// is away.
struct StickNumber {
  int number;
  std::string identity;
};
using StickMap = std::vector<StickNumber>;

// The highest device number a stick gets: the catalogue's codes have four digits for it.
inline constexpr int STICK_NUMBER_MAX = 9999;

// Lines not of the form, numbers out of 1..STICK_NUMBER_MAX, and a number or identity
// already named by an earlier line are passed over.
StickMap parse_stick_map(std::string_view text);
std::string format_stick_map(const StickMap &map);

// An identity as the map keeps it: control characters become "?", at most 200 bytes.
std::string clean_identity(std::string_view identity);

// The device numbers of the sticks present, given by their identities in a fixed order:
// the map's number for a known identity, a new one (the lowest that no entry holds) for
// another, entered into the map. Numbers below `first` belong to the folders named on the
// command line; an entry there is given a new number. Two sticks of one identity (a
// copied image) are told apart by " #2", " #3", ... after the second's. 0 for a stick
// that finds no number left.
std::vector<int> assign_stick_numbers(StickMap &map, const std::vector<std::string> &identities,
                                      int first);
