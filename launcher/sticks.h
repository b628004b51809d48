#pragma once

// Sticks that come and go (velm -m FOLDER): every file system mounted below FOLDER (where
// an automounter puts USB sticks) is a device beside those named on the command line.
// The launcher watches the mount table in its loop; when a stick comes or goes, the
// lists are made again and the play core moves on from a song whose stick went. A stick
// keeps its device number when it comes back, known by its file system's UUID or label
// (or, where neither can be read, the name of its mount point), through the map in
// /tmp/STICKS.

#include "mounts.h"

#include <string>
#include <vector>

struct Stick {
  int number;
  std::string root; // its mount point
  std::string identity;
  bool operator==(const Stick &) const = default;
};

struct StickWatch {
  std::string folder;         // empty: no sticks
  int first_number = 1;       // after the numbers of the command line's folders
  int mountinfo = -1;         // /proc/self/mountinfo, which reports changes as POLLPRI
  std::vector<Stick> present; // in the order of their numbers
};

// The identity of a mounted file system: "UUID=..." or "LABEL=..." as libblkid reads them
// from its device, else as the udev database has them, else "NAME=" and the mount
// point's last name.
std::string stick_identity(const MountEntry &mount);

// Starts the watch of `folder` (nothing for an empty one) and reads the sticks there are
// now; the numbers from `device_count` + 1 on are theirs.
void watch_sticks(StickWatch &watch, const std::string &folder, int device_count);

// Reads the mount table again (after it reported a change); true when the sticks, their
// numbers or their roots, changed. The map of numbers is written when it grew.
bool update_sticks(StickWatch &watch);

struct Jukebox;

// The mount table reported a change: when the sticks changed, the master and order lists
// are made again (the play core's moves wait meanwhile), the web catalogue's page is
// written again, and the play core goes on from a song that went with its stick (or
// shows that no music is left, and starts again when some comes).
void take_mount_change(Jukebox &jukebox);

// Has the play core look at the lists just made: a song that is not in them is followed
// by the next that is; none at all shows "NO MUSIC".
void follow_lists(const Jukebox &jukebox);

// At the start: shows "NO MUSIC" when the sticks and folders hold no song. (A song that
// went while the jukebox was off is passed over by the start's own moves.)
void show_when_no_music(const Jukebox &jukebox);
