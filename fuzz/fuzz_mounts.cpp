// The mount table's lines and the sticks' map: any bytes as /proc/self/mountinfo and as
// /tmp/STICKS. Every mount taken must have an absolute mount point and a type, the sticks
// below a folder must lie below it, one a point; the map must read back what it writes,
// and the numbers given must be in range, each stick's its own.

#include "memstream.h"
#include "mounts.h"

#include <set>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  // The first line names the folder the sticks are mounted below.
  size_t end = text.find('\n');
  std::string folder = "/" + std::string(text.substr(0, std::min(end, size_t{40})));
  std::vector<MountEntry> mounts = parse_mountinfo(text);
  for (const MountEntry &m : mounts)
    FUZZ_CHECK(!m.mount_point.empty() && m.mount_point[0] == '/' && !m.fs_type.empty() &&
               m.mount_point.find('\0') == std::string::npos);
  std::vector<MountEntry> below = mounts_below(mounts, folder);
  // The folder as named, with its ending slashes (all but a lone one) left off.
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  std::set<std::string> points;
  std::vector<std::string> identities;
  for (const MountEntry &m : below) {
    FUZZ_CHECK(m.mount_point.size() > base.size() && m.mount_point.starts_with(base));
    FUZZ_CHECK(points.insert(m.mount_point).second);
    identities.push_back("NAME=" + m.mount_point);
  }

  StickMap map = parse_stick_map(text);
  std::string written = format_stick_map(map);
  FUZZ_CHECK(format_stick_map(parse_stick_map(written)) == written);
  int first = size > 0 ? 1 + data[0] % 16 : 1;
  std::vector<int> numbers = assign_stick_numbers(map, identities, first);
  FUZZ_CHECK(numbers.size() == identities.size());
  std::set<int> given;
  for (int n : numbers) {
    FUZZ_CHECK(n == 0 || (n >= first && n <= STICK_NUMBER_MAX));
    FUZZ_CHECK(n == 0 || given.insert(n).second);
  }
  // The map after the assignment reads back whole, and gives the same numbers again.
  StickMap again = parse_stick_map(format_stick_map(map));
  FUZZ_CHECK(format_stick_map(again) == format_stick_map(map));
  FUZZ_CHECK(assign_stick_numbers(again, identities, first) == numbers);
  return 0;
}
