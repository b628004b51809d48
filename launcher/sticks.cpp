#include "sticks.h"

#include "launcher.h"

#include "atomic_file.h"
#include "paths.h"

#include <algorithm>
#include <blkid/blkid.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The whole text behind a descriptor, read from its start.
bool read_all(int fd, std::string &text) {
  text.clear();
  char buffer[16384];
  off_t at = 0;
  for (;;) {
    ssize_t got = pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return false;
    if (got == 0)
      return true;
    text.append(buffer, static_cast<size_t>(got));
    at += got;
  }
}

// A small plain file's text (never through a link, never a FIFO).
bool read_plain_file(const char *path, std::string &text) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20) && read_all(fd, text);
  close(fd);
  return ok;
}

// UUID or label of the file system on a block device, as libblkid reads them. The source
// named in the mount table is probed only when it is the device mounted (a /dev of
// another namespace may give the name to another device).
std::string probe_identity(const MountEntry &mount) {
  struct stat st;
  if (!mount.source.starts_with("/dev/") || stat(mount.source.c_str(), &st) != 0 ||
      !S_ISBLK(st.st_mode) || st.st_rdev != makedev(mount.major, mount.minor))
    return "";
  blkid_probe probe = blkid_new_probe_from_filename(mount.source.c_str());
  if (probe == nullptr)
    return "";
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID | BLKID_SUBLKS_LABEL);
  std::string identity;
  if (blkid_do_safeprobe(probe) == 0) {
    for (const char *name : {"UUID", "LABEL"}) {
      const char *value = nullptr;
      size_t length = 0;
      if (blkid_probe_lookup_value(probe, name, &value, &length) == 0 && value != nullptr &&
          value[0] != '\0') {
        identity = std::string(name) + "=" + value;
        break;
      }
    }
  }
  blkid_free_probe(probe);
  return identity;
}

// The same from the udev database, where the device cannot be read (no permission).
std::string udev_identity(const MountEntry &mount) {
  std::string path =
      "/run/udev/data/b" + std::to_string(mount.major) + ":" + std::to_string(mount.minor);
  std::string text;
  if (mount.major == 0 || !read_plain_file(path.c_str(), text))
    return "";
  std::string label;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.starts_with("E:ID_FS_UUID=") && line.size() > 13)
      return "UUID=" + line.substr(13);
    if (line.starts_with("E:ID_FS_LABEL=") && line.size() > 14)
      label = "LABEL=" + line.substr(14);
  }
  return label;
}

void write_stick_map(const StickMap &map) {
  std::string text = format_stick_map(map);
  if (!write_text_file(STICKS_PATH, text.data(), text.size()))
    message("could not write %s: %s", STICKS_PATH, strerror(errno));
}

// The sticks in the mount table now, numbered through the map.
std::vector<Stick> read_sticks(const StickWatch &watch) {
  std::string table;
  if (watch.mountinfo < 0 || !read_all(watch.mountinfo, table)) {
    message("could not read the mount table: %s", strerror(errno));
    return watch.present;
  }
  std::vector<MountEntry> mounts = mounts_below(parse_mountinfo(table), watch.folder);
  std::vector<std::string> identities;
  identities.reserve(mounts.size());
  for (const MountEntry &mount : mounts)
    identities.push_back(stick_identity(mount));
  std::string text;
  StickMap map = read_plain_file(STICKS_PATH, text) ? parse_stick_map(text) : StickMap{};
  StickMap before = map;
  std::vector<int> numbers = assign_stick_numbers(map, identities, watch.first_number);
  if (map.size() != before.size() ||
      !std::equal(map.begin(), map.end(), before.begin(), [](const auto &a, const auto &b) {
        return a.number == b.number && a.identity == b.identity;
      }))
    write_stick_map(map);
  std::vector<Stick> sticks;
  for (size_t i = 0; i < mounts.size(); ++i) {
    if (numbers[i] == 0) {
      message("no device number is left for the stick at %s", mounts[i].mount_point.c_str());
      continue;
    }
    sticks.push_back({numbers[i], mounts[i].mount_point, identities[i]});
  }
  std::sort(sticks.begin(), sticks.end(),
            [](const Stick &a, const Stick &b) { return a.number < b.number; });
  return sticks;
}

} // namespace

std::string stick_identity(const MountEntry &mount) {
  std::string identity = probe_identity(mount);
  if (identity.empty())
    identity = udev_identity(mount);
  if (identity.empty())
    identity = "NAME=" + mount.mount_point.substr(mount.mount_point.rfind('/') + 1);
  return clean_identity(identity);
}

void watch_sticks(StickWatch &watch, const std::string &folder, int device_count) {
  watch.first_number = device_count + 1;
  if (folder.empty())
    return;
  char *real = realpath(folder.c_str(), nullptr);
  watch.folder = real != nullptr ? real : folder;
  free(real);
  watch.mountinfo = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (watch.mountinfo < 0) {
    message("cannot watch the mount table: %s", strerror(errno));
    return;
  }
  watch.present = read_sticks(watch);
  for (const Stick &stick : watch.present)
    message("stick %d (%s) at %s", stick.number, stick.identity.c_str(), stick.root.c_str());
}

bool update_sticks(StickWatch &watch) {
  std::vector<Stick> now = read_sticks(watch);
  if (now == watch.present)
    return false;
  for (const Stick &stick : watch.present) {
    if (std::find(now.begin(), now.end(), stick) == now.end())
      message("stick %d (%s) went from %s", stick.number, stick.identity.c_str(),
              stick.root.c_str());
  }
  for (const Stick &stick : now) {
    if (std::find(watch.present.begin(), watch.present.end(), stick) == watch.present.end())
      message("stick %d (%s) came at %s", stick.number, stick.identity.c_str(), stick.root.c_str());
  }
  watch.present = std::move(now);
  return true;
}

void take_mount_change(Jukebox &jukebox) {
  if (!update_sticks(jukebox.sticks))
    return;
  // The play core's lock: no move reads the lists while they are made.
  int lock = open(LOCK_PATH, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  while (lock >= 0 && flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  Options options = jukebox.options;
  options.random_mode = 0; // the order in force
  if (!build_lists(options, jukebox.sticks))
    message("could not build the order list");
  if (lock >= 0)
    close(lock);
  refresh_web_page(jukebox);
  follow_lists(jukebox);
}

void follow_lists(const Jukebox & /*jukebox*/) {
  if (!run_program({"velm_play", "rescan"}))
    message("the play core could not follow the new lists");
}

void show_when_no_music(const Jukebox &jukebox) {
  struct stat st;
  if (stat(OPL_PATH, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
    follow_lists(jukebox);
}
