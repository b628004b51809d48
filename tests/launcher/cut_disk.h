#pragma once

// The jukebox's /tmp as a disk that a power cut takes back: a small ext4 file system in
// an image file, attached to a loop device with direct I/O and mounted at /tmp (in the
// sandbox's own mount namespace, as root).
//
// The loop device writes what the file system hands it straight into the image file, so
// the image holds what the kernel has written to the "disk" and nothing of what still
// waits in the mounted file system's page cache. A power cut is a copy of the image taken
// while everything runs; the machine then boots from the copy: it is attached afresh and
// mounted, and ext4 replays its journal as at a real boot.
//
// The loop devices are found with "losetup -f --show" (parallel runs each get their own)
// and marked to detach themselves when their file system is unmounted, so that none stays
// attached when the run ends, also when it is killed: the mount goes with the sandbox's
// namespace, and the device with the mount.

#include <string>

struct Disk {
  std::string folder; // where the images lie, off the jukebox's /tmp
  std::string image;  // the image attached and mounted at /tmp; empty when none is
  std::string device; // its loop device ("/dev/loop3")
  int images = 0;     // images made so far, for their names
  // The last copy: how long it took, and how many readings of the image it took to get
  // two alike (writes landed in between the others).
  double copy_seconds = 0;
  int copy_readings = 0;
};

// Each returns "" or what went wrong.

// Makes a fresh file system of `mib` MiB in a new image in `folder` and mounts it at
// /tmp. Needs real root (mknod of the loop devices' nodes, mount).
std::string disk_create(Disk &disk, const std::string &folder, int mib);

// The power cut: a copy of the image as it lies now, into a new image whose path is left
// in `copy`. The image is read until two readings in a row are alike, so that the copy is
// the disk at one moment even while writes come in, as a power cut would leave it, not a
// mix of several moments.
std::string disk_cut(Disk &disk, std::string &copy);

// Unmounts /tmp (every process that used it must be gone), sees the loop device detached
// and removes the image.
std::string disk_eject(Disk &disk);

// Attaches `image` to a free loop device and mounts it at /tmp, which replays the
// journal.
std::string disk_boot(Disk &disk, const std::string &image);

// At the end, also after a failure: /tmp unmounted, the devices detached, every image
// of the folder removed. Safe to call more than once.
void disk_release(Disk &disk);
