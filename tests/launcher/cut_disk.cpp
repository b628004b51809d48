#include "cut_disk.h"

#include "soak_rig.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

std::string error_text(const std::string &what) {
  return what + ": " + strerror(errno);
}

// The sandbox's /dev holds no loop devices: their nodes are made there, for every loop
// device the kernel has (they come and go as other runs ask for them).
std::string make_loop_nodes() {
  if (mknod("/dev/loop-control", S_IFCHR | 0600, makedev(10, 237)) != 0 && errno != EEXIST)
    return error_text("mknod /dev/loop-control (needs root)");
  // A free device, made now if there is none, so that its node is among those made.
  int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0)
    return error_text("/dev/loop-control");
  int free_device = ioctl(control, LOOP_CTL_GET_FREE);
  close(control);
  if (free_device < 0)
    return error_text("LOOP_CTL_GET_FREE");
  DIR *block = opendir("/sys/block");
  if (block == nullptr)
    return error_text("/sys/block");
  while (const dirent *entry = readdir(block)) {
    std::string name = entry->d_name;
    unsigned major_number = 0, minor_number = 0;
    if (!name.starts_with("loop") || sscanf(read_text("/sys/block/" + name + "/dev").c_str(),
                                            "%u:%u", &major_number, &minor_number) != 2)
      continue;
    std::string node = "/dev/" + name;
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(major_number, minor_number)) != 0 &&
        errno != EEXIST) {
      closedir(block);
      return error_text("mknod " + node);
    }
  }
  closedir(block);
  return "";
}

// What the loop device `fd` is attached to: false when it is attached to nothing.
bool loop_backing(int fd, dev_t &device, ino_t &inode) {
  loop_info64 info = {};
  if (ioctl(fd, LOOP_GET_STATUS64, &info) != 0)
    return false;
  device = static_cast<dev_t>(info.lo_device);
  inode = static_cast<ino_t>(info.lo_inode);
  return true;
}

bool attached_to(const std::string &device, const struct stat &image) {
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  dev_t backing_device = 0;
  ino_t backing_inode = 0;
  bool ours = loop_backing(fd, backing_device, backing_inode) && backing_device == image.st_dev &&
              backing_inode == image.st_ino;
  close(fd);
  return ours;
}

// "losetup -f --show" with direct I/O; the device it prints, or "" with `error` set.
std::string losetup(const std::string &image, std::string &error) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    error = make_loop_nodes();
    if (!error.empty())
      return "";
    FILE *out = popen(("losetup -f --show --direct-io=on '" + image + "' 2>&1").c_str(), "re");
    if (out == nullptr) {
      error = error_text("popen losetup");
      return "";
    }
    char line[512] = "";
    std::string said;
    while (fgets(line, sizeof line, out) != nullptr)
      said += line;
    int status = pclose(out);
    if (status == 0 && said.starts_with("/dev/loop") && said.ends_with("\n") &&
        said.find('\n') == said.size() - 1)
      return said.substr(0, said.size() - 1);
    // Another run took the free device first, and the one losetup went on to has no
    // node here yet: once more.
    error = "losetup: " + said;
  }
  return "";
}

struct Extent {
  off_t at;
  std::string bytes;
  bool operator==(const Extent &) const = default;
};

// The image's data, extent by extent (the holes are zeros).
bool read_image(int fd, std::vector<Extent> &extents) {
  extents.clear();
  off_t at = 0;
  for (;;) {
    off_t data = lseek(fd, at, SEEK_DATA);
    if (data < 0)
      return errno == ENXIO; // no data after `at`
    off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole < 0)
      return false;
    Extent extent{data, std::string(static_cast<size_t>(hole - data), '\0')};
    size_t done = 0;
    while (done < extent.bytes.size()) {
      ssize_t got = pread(fd, extent.bytes.data() + done, extent.bytes.size() - done,
                          data + static_cast<off_t>(done));
      if (got <= 0)
        break; // shorter than it was a moment ago: the rest stays zeros
      done += static_cast<size_t>(got);
    }
    extents.push_back(std::move(extent));
    at = hole;
  }
}

std::string mount_tmp(Disk &disk, const std::string &image) {
  std::string error;
  std::string device = losetup(image, error);
  if (device.empty())
    return error;
  struct stat st;
  if (stat(image.c_str(), &st) != 0)
    return error_text(image);
  if (!attached_to(device, st))
    return device + " is not attached to " + image;
  disk.image = image;
  disk.device = device;
  if (mount(device.c_str(), "/tmp", "ext4", 0, nullptr) != 0)
    return error_text("mount " + device + " /tmp");
  // The blocks the file system no longer uses become holes of the image again (the loop
  // device punches them), which keeps the copies at a cut small and quick. Done at the
  // boot, before the jukebox starts; while it runs nothing is discarded.
  int root = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  fstrim_range range = {0, ULLONG_MAX, 0};
  if (root < 0 || ioctl(root, FITRIM, &range) != 0)
    error = error_text("FITRIM /tmp");
  if (root >= 0)
    close(root);
  if (!error.empty())
    return error;
  // Now that the file system holds it open, the device may detach itself at the unmount.
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  loop_info64 info = {};
  if (fd < 0 || ioctl(fd, LOOP_GET_STATUS64, &info) != 0)
    error = error_text("LOOP_GET_STATUS64 " + device);
  info.lo_flags |= LO_FLAGS_AUTOCLEAR;
  if (error.empty() && ioctl(fd, LOOP_SET_STATUS64, &info) != 0)
    error = error_text("LOOP_SET_STATUS64 " + device);
  if (fd >= 0)
    close(fd);
  return error;
}

// /tmp unmounted (with `lazily`, also while something still uses it) and the device seen
// detached.
std::string unmount_tmp(Disk &disk, bool lazily) {
  if (disk.image.empty())
    return "";
  std::string error;
  struct stat st = {};
  bool known = stat(disk.image.c_str(), &st) == 0;
  bool unmounted = false;
  for (int attempt = 0; attempt < 500 && !unmounted; ++attempt) {
    unmounted = umount2("/tmp", 0) == 0;
    if (!unmounted && errno != EBUSY)
      break;
    if (!unmounted)
      sleep_seconds(0.01);
  }
  if (!unmounted) {
    error = error_text("umount /tmp");
    if (!lazily)
      return error;
    umount2("/tmp", MNT_DETACH);
  }
  // The device detaches itself once the file system has let go of it.
  bool detached = !known;
  for (int attempt = 0; attempt < 500 && !detached; ++attempt) {
    detached = !attached_to(disk.device, st);
    if (!detached)
      sleep_seconds(0.01);
  }
  if (!detached) {
    int fd = open(disk.device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, LOOP_CLR_FD, 0) != 0)
      error += (error.empty() ? "" : "; ") + error_text("LOOP_CLR_FD " + disk.device);
    if (fd >= 0)
      close(fd);
  }
  unlink(disk.image.c_str());
  disk.image.clear();
  disk.device.clear();
  return error;
}

std::string new_image_name(Disk &disk) {
  return disk.folder + "/disk" + std::to_string(++disk.images) + ".img";
}

} // namespace

std::string disk_create(Disk &disk, const std::string &folder, int mib) {
  disk.folder = folder;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return error_text("mkdir " + folder);
  std::string image = new_image_name(disk);
  int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    return error_text(image);
  bool sized = ftruncate(fd, static_cast<off_t>(mib) * 1024 * 1024) == 0;
  close(fd);
  if (!sized)
    return error_text("ftruncate " + image);
  // Inode tables and journal written now: no lazy initialisation writing behind the
  // jukebox's back.
  std::string command =
      "mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 '" + image + "' 2>&1";
  if (system(command.c_str()) != 0)
    return "failed: " + command;
  std::string error = mount_tmp(disk, image);
  if (error.empty() && chmod("/tmp", 01777) != 0)
    error = error_text("chmod /tmp");
  return error;
}

std::string disk_cut(Disk &disk, std::string &copy) {
  double start = now_seconds();
  int fd = open(disk.image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return error_text(disk.image);
  struct stat st;
  std::vector<Extent> before, now;
  bool read = fstat(fd, &st) == 0 && read_image(fd, before);
  disk.copy_readings = 1;
  bool alike = false;
  while (read && !alike && disk.copy_readings < 200) {
    read = read_image(fd, now);
    ++disk.copy_readings;
    alike = now == before;
    before.swap(now);
  }
  close(fd);
  if (!read)
    return error_text("reading " + disk.image);
  if (!alike)
    return "the image kept changing over " + std::to_string(disk.copy_readings) + " readings";
  copy = new_image_name(disk);
  int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0)
    return error_text(copy);
  bool written = ftruncate(out, st.st_size) == 0;
  for (const Extent &extent : before) {
    written = written && pwrite(out, extent.bytes.data(), extent.bytes.size(), extent.at) ==
                             static_cast<ssize_t>(extent.bytes.size());
  }
  close(out);
  disk.copy_seconds = now_seconds() - start;
  return written ? "" : error_text("writing " + copy);
}

std::string disk_eject(Disk &disk) {
  return unmount_tmp(disk, false);
}

std::string disk_boot(Disk &disk, const std::string &image) {
  if (!disk.image.empty())
    return "a disk is still mounted: " + disk.image;
  return mount_tmp(disk, image);
}

void disk_release(Disk &disk) {
  if (disk.folder.empty())
    return;
  unmount_tmp(disk, true);
  DIR *folder = opendir(disk.folder.c_str());
  if (folder == nullptr)
    return;
  while (const dirent *entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.starts_with("disk") && name.ends_with(".img"))
      unlink((disk.folder + "/" + name).c_str());
  }
  closedir(folder);
}
