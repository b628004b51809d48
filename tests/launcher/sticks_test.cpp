// Sticks that come and go (velm -m): real ext4 file systems of real MP3s on loop
// devices, mounted below the sandbox's /mnt/media while the jukebox plays and pulled out
// as a stick is, the mount let go lazily while the player may still hold a file of it.

#include "free_port.h"
#include "installed.h"
#include "jukebox_rig.h"
#include "panel_rows.h"
#include "sandbox_run.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr int TIMEOUT_MS = 180000;

// Shell text: the jukebox's functions and
//   make_stick NAME UUID LIST...  an ext4 image /tmp/NAME.img labelled NAME, with the
//                                 given lists of three songs of 40 s each, titled by the
//                                 list and the song's number ("BL12"), artist NAME
//   plug NAME / pull NAME         mounts it at /mnt/media/NAME through a loop device /
//                                 unmounts it lazily, as a stick pulled out
//   wait_until WHAT COMMAND...    until the command succeeds (at most 10 s); "WHAT yes"
//                                 or "WHAT no" is logged to /tmp/steps
//   opl_has N                     the order list has N songs
//   generation                    the play core's count of song choices
std::string sticks_rig() {
  return jukebox_functions() + R"SH(
tonegen 40 220 330 >/tmp/tune.wav
loop_nodes() {
  [ -e /dev/loop-control ] || mknod /dev/loop-control c 10 237
  for d in /sys/block/loop*; do
    n=${d##*/}
    [ -e /dev/$n ] || mknod /dev/$n b $(tr ':' ' ' <$d/dev) 2>/dev/null || true
  done
}
make_stick() {
  name=$1 uuid=$2
  shift 2
  for list in "$@"; do
    mkdir -p /tmp/stickdata/$name/$list
    for n in 1 2 3; do
      lame --quiet -m m -b 32 --tt $list$n --ta $name /tmp/tune.wav /tmp/stickdata/$name/$list/$list$n.mp3
    done
  done
  truncate -s 8M /tmp/$name.img
  mkfs.ext4 -q -F -U $uuid -L $name -d /tmp/stickdata/$name /tmp/$name.img
}
plug() {
  mkdir -p /mnt/media/$1
  for i in 1 2 3 4 5 6 7 8 9 10; do
    loop_nodes
    mount -o loop /tmp/$1.img /mnt/media/$1 2>>/tmp/mount.err && return 0
    # A mount that reported a failure may still have taken place (a loop device another
    # test took at the same moment): one is enough.
    mountpoint -q /mnt/media/$1 && return 0
    sleep 0.2
  done
  echo "could not plug $1" >>/tmp/steps
  return 1
}
pull() {
  while mountpoint -q /mnt/media/$1; do umount -l /mnt/media/$1 || return 1; done
}
wait_until() {
  what=$1
  shift
  i=0
  while [ $i -lt 200 ] && ! "$@"; do
    sleep 0.05
    i=$((i + 1))
  done
  if "$@"; then echo "$what yes" >>/tmp/steps; else echo "$what no" >>/tmp/steps; fi
}
opl_has() {
  [ "$(grep -c . /tmp/OPL 2>/dev/null)" = "$1" ]
}
chosen_is() {
  [ "$(chosen_song)" = "$1" ]
}
generation() {
  sed -n 's/^generation //p' /tmp/PLAYSTATE
}
frames() {
  grep -c '^@F' /tmp/player.out
}
)SH";
}

bool contains_text(const std::vector<std::string> &rows, const std::string &part) {
  return std::any_of(rows.begin(), rows.end(),
                     [&](const std::string &row) { return row.find(part) != std::string::npos; });
}

} // namespace

// A stick plugged in and pulled out beside the one that plays leaves the song playing:
// nothing is sent to the player, the song keeps its address. Pulling the playing stick
// moves to a song of one still there; pulling the last shows "NO MUSIC" and the music
// stops; a stick that comes then starts it again. A stick that comes back gets its old
// number, a new one the next free number, not that of a stick that is away; the order
// list and the web catalogue follow every change.
TEST(Sticks, TheJukeboxFollowsSticksThatComeAndGo) {
  SKIP_WITHOUT_ROOT("loop devices and mounts");
  int port = free_port();
  ASSERT_GT(port, 0);
  Sandbox sb;
  std::string script = sticks_rig() + "port=" + std::to_string(port) + R"SH(
page_has() {
  grep -q "$1" /tmp/velm-www/index.html 2>/dev/null
}
page_lacks() {
  ! grep -q "$1" /tmp/velm-www/index.html 2>/dev/null
}
make_stick A 11111111-1111-4111-8111-111111111111 AL1 AL2
make_stick B 22222222-2222-4222-8222-222222222222 BL1
make_stick C 33333333-3333-4333-8333-333333333333 CL1
plug A
start_jukebox -w $port -m /mnt/media
wait_until "first song" chosen_is "1 1 1"
wait_until "first song plays" grep -q '^@F' /tmp/player.out
before=$(generation)
plug B
wait_until "B in the order" opl_has 9
wait_until "B in the catalogue" page_has BL12
sleep 0.5
echo "with B: $(chosen_song) $(($(generation) - before))" >>/tmp/steps
pull B
wait_until "B out of the order" opl_has 6
wait_until "B out of the catalogue" page_lacks BL12
sleep 0.5
echo "without B: $(chosen_song) $(($(generation) - before))" >>/tmp/steps
plug B
wait_until "B back" opl_has 9
pull A
wait_until "on to B" chosen_is "2 1 1"
wait_until "A out of the catalogue" page_lacks AL12
wait_until "B's song plays" grep -q '^@I ID3:BL11' /tmp/player.out
pull B
wait_until "no music" grep -q 'NO MUSIC' /tmp/lcd.bytes
sleep 1
f1=$(frames)
sleep 1
echo "silent: $(($(frames) - f1))" >>/tmp/steps
plug C
wait_until "C plays" chosen_is "3 1 1"
wait_until "C's song plays" grep -q '^@I ID3:CL11' /tmp/player.out
sleep 8 # past the welcome scroll: the title shows
plug A
wait_until "A back as 1" grep -q '^1 0 0 /mnt/media/A$' /tmp/MPL
wait_until "A in the order" opl_has 9
stop_jukebox
cp /tmp/MPL /tmp/MPL.first
# Again from the start, with B alone: it is device 2 as before.
pull A
pull C
plug B
start_jukebox -m /mnt/media
wait_until "B plays after the restart" chosen_is "2 1 1"
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "first song yes\n"
                                   "first song plays yes\n"
                                   "B in the order yes\n"
                                   "B in the catalogue yes\n"
                                   "with B: 1 1 1 0\n"
                                   "B out of the order yes\n"
                                   "B out of the catalogue yes\n"
                                   "without B: 1 1 1 0\n"
                                   "B back yes\n"
                                   "on to B yes\n"
                                   "A out of the catalogue yes\n"
                                   "B's song plays yes\n"
                                   "no music yes\n"
                                   "silent: 0\n"
                                   "C plays yes\n"
                                   "C's song plays yes\n"
                                   "A back as 1 yes\n"
                                   "A in the order yes\n"
                                   "B plays after the restart yes\n")
      << err << sb.read("/tmp/mount.err");
  EXPECT_EQ(sb.read("/tmp/STICKS"), "1 UUID=11111111-1111-4111-8111-111111111111\n"
                                    "2 UUID=22222222-2222-4222-8222-222222222222\n"
                                    "3 UUID=33333333-3333-4333-8333-333333333333\n");
  std::string mpl = sb.read("/tmp/MPL.first");
  EXPECT_NE(mpl.find("\n3 0 0 /mnt/media/C\n"), std::string::npos) << mpl;
  EXPECT_EQ(mpl.find(" /mnt/media/B"), std::string::npos) << mpl;

  std::string bytes = sb.read("/tmp/lcd.bytes");
  std::vector<std::string> status = drawn_rows(bytes, 0);
  std::vector<std::string> titles = drawn_rows(bytes, 1);
  EXPECT_TRUE(contains_text(status, "NO MUSIC")) << "the status line";
  // The titles are the songs' and nothing else: no error of a file that went.
  for (const std::string &row : titles) {
    EXPECT_EQ(row.find("rror"), std::string::npos) << row;
    EXPECT_EQ(row.find("/mnt/media"), std::string::npos) << row;
  }
  EXPECT_TRUE(contains_text(titles, "C - CL11"));
  EXPECT_EQ(err.find("keeps ending"), std::string::npos) << err;
  EXPECT_EQ(err.find("the play core could not"), std::string::npos) << err;
}

// A jukebox started with no stick and no folder waits with "NO MUSIC" and plays the first
// stick that comes; one with a folder of its own gives the sticks the numbers after it,
// and a stick whose file system has neither UUID nor label is known by its mount point.
TEST(Sticks, AJukeboxWithoutMusicWaitsForAStick) {
  SKIP_WITHOUT_ROOT("loop devices and mounts");
  Sandbox sb;
  std::string script = sticks_rig() + R"SH(
own_folder_plays() {
  grep -q '^1 0 0 /mnt/own$' /tmp/MPL && chosen_is "1 1 1" && grep -q '^@F' /tmp/player.out
}
make_stick D 44444444-4444-4444-8444-444444444444 DL1
start_jukebox -m /mnt/media
wait_until "no music" grep -q 'NO MUSIC' /tmp/lcd.bytes
sleep 0.5
plug D
wait_until "D plays" chosen_is "1 1 1"
wait_until "D's song plays" grep -q '^@I ID3:DL11' /tmp/player.out
stop_jukebox
pull D
grep ' /mnt/media' /proc/self/mountinfo >/tmp/mounts.after-pull
# A folder on the command line is device 1; a bare tmpfs below the media folder is a
# stick without UUID or label.
mkdir -p /mnt/own/OL1 /mnt/media/bare
cp /tmp/stickdata/D/DL1/DL11.mp3 /mnt/own/OL1/OL11.mp3
mount -t tmpfs tmpfs /mnt/media/bare
rm -f /tmp/player.out
start_jukebox -m /mnt/media /mnt/own
# The record still names 1 1 1 from the first start: wait for this start's own list and
# its first frame, so that D is plugged only once the start has taken its sticks.
wait_until "own folder plays" own_folder_plays
mkdir -p /mnt/media/bare/TL1
cp /tmp/stickdata/D/DL1/DL12.mp3 /mnt/media/bare/TL1/TL11.mp3
plug D
wait_until "D after the folder" grep -q '^3 0 0 /mnt/media/D$' /tmp/MPL
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n0\n") << err;
  EXPECT_EQ(sb.read("/tmp/steps"), "no music yes\nD plays yes\nD's song plays yes\n"
                                   "own folder plays yes\nD after the folder yes\n")
      << err << sb.read("/tmp/mount.err") << sb.read("/tmp/mounts.after-pull");
  // D was 1 while no folder was named; with one, 1 is the folder's and D gets a new one.
  EXPECT_EQ(sb.read("/tmp/STICKS"), "2 NAME=bare\n3 UUID=44444444-4444-4444-8444-444444444444\n");
  std::string mpl = sb.read("/tmp/MPL");
  EXPECT_NE(mpl.find("1 0 0 /mnt/own\n"), std::string::npos) << mpl;
  EXPECT_NE(mpl.find("\n2 0 0 /mnt/media/bare\n2 1 0 TL1\n2 1 1 /mnt/media/bare/TL1/TL11.mp3\n"),
            std::string::npos)
      << mpl;
}
