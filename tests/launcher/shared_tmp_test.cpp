// /tmp is shared with every user of the box: the jukebox must neither read from nor
// write through what someone else has put under its names there.

#include "jukebox_rig.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr int TIMEOUT_MS = 120000;

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

} // namespace

TEST(SharedTmp, ForeignFilesUnderTheJukeboxsNamesAreNeitherReadNorWrittenThrough) {
  SKIP_WITHOUT_ROOT("files of another user (chown 65534)");
  Sandbox sb;
  // Saves every 200 ms instead of every 10 s.
  std::string script = jukebox_collection(30, "dev1/A") + jukebox_functions() +
                       fast_saving_control(VELM_FASTTIMER) + R"SH(
# Someone else's command FIFO, open to all; links from state files and from the
# temporary file names the savers use ("<file>.<pid>") to files they must not change; a
# FIFO where the scripts read the player's state; a web folder anyone may write into.
mkfifo -m 0666 /tmp/fifo.control && chown 65534:65534 /tmp/fifo.control
for f in volume volume.temporary frame log random; do echo keep >/tmp/victim.$f; done
ln -s /tmp/victim.volume /tmp/VOLUME
ln -s /tmp/victim.log /tmp/velm.log
ln -s /tmp/victim.random /tmp/RANDOM
mkfifo -m 0666 /tmp/STATUS && chown 65534:65534 /tmp/STATUS
mkdir -m 0777 /tmp/velm-www && chown 65534:65534 /tmp/velm-www
umask 022
start_jukebox -w 127.0.0.1:18080 /mnt/music/dev1
pid_of() {
  for p in /proc/[0-9]*; do
    [ "$(cat $p/comm 2>/dev/null)" = "$1" ] && echo ${p#/proc/} && return
  done
}
i=0
while [ $i -lt 100 ] && ! { watcher=$(pid_of playwatch) && [ -n "$watcher" ]; }; do
  sleep 0.05; i=$((i + 1))
done
# Before the first checkpoint (ten seconds into the song) and the first mixer save.
ln -s /tmp/victim.frame /tmp/FRAMEPOS.$watcher
ln -s /tmp/victim.volume.temporary /tmp/VOLUME.$(pid_of velm_control)
i=0
while [ $i -lt 100 ] && [ "$(chosen_song)" != "1 1 1" ]; do
  sleep 0.05; i=$((i + 1))
done
stat -c '%n %F %u %a' /tmp/fifo.control /tmp/fifo.display /tmp/fifo.player >/tmp/fifo.stat
printf '%s\n' m + + | velm_keys
i=0
while [ $i -lt 100 ] && ! [ -f /tmp/VOLUME -a ! -L /tmp/VOLUME ]; do
  sleep 0.05; i=$((i + 1))
done
# Playback reaches a checkpoint (every ten seconds of music).
i=0
while [ $i -lt 200 ]; do
  frame=$(tr -d ' \n' 2>/dev/null </tmp/FRAMEPOS)
  [ -n "$frame" ] && [ "$frame" != 0 ] && break
  sleep 0.1; i=$((i + 1))
done
stop_jukebox
{ chosen_song; cat /tmp/STATUS; } >/tmp/state 2>&1
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err << sb.read("/tmp/velm.err") << sb.read("/tmp/velm.log");
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  for (const char *victim : {"volume", "volume.temporary", "frame", "log", "random"})
    EXPECT_EQ(sb.read(std::string("/tmp/victim.") + victim), "keep\n") << victim;
  // The launcher made its own FIFO, and played as usual.
  // Only root may write into the command FIFOs (the player makes its own, 0666 less the
  // umask).
  EXPECT_EQ(sb.read("/tmp/fifo.stat"), "/tmp/fifo.control fifo 0 600\n"
                                       "/tmp/fifo.display fifo 0 600\n"
                                       "/tmp/fifo.player fifo 0 644\n");
  EXPECT_EQ(sb.read("/tmp/state"), "1 1 1\nplay\n") << err;
  EXPECT_NE(sb.read("/tmp/VOLUME"), "");
  EXPECT_NE(sb.read("/tmp/FRAMEPOS"), "");
  EXPECT_EQ(sb.read("/tmp/RANDOM"), "s\n");
  for (const char *name : {"/tmp/VOLUME", "/tmp/velm.log", "/tmp/RANDOM", "/tmp/STATUS"})
    EXPECT_TRUE(contains(err, std::string("removed ") + name)) << name << "\n" << err;
  EXPECT_TRUE(contains(err, "/tmp/velm-www is not a folder of the launcher's own")) << err;
}

// Writers killed between creating their temporary file and renaming it (a power cut, a
// kill) leave it behind; the next start removes those that are the jukebox's own (and
// those of earlier versions: "<state>.new", "OPL.XXXXXX"), and nothing else.
TEST(SharedTmp, TemporariesLeftByKilledWritersAreRemovedAtStart) {
  SKIP_WITHOUT_ROOT("files of another user (chown 65534)");
  Sandbox sb;
  std::string script = jukebox_collection(30, "dev1/A") + jukebox_functions() + R"SH(
planted="OPL.4243 STATUS.4242 PLAYSTATE.77 OPL.4244 OPL.backup2 STATUS.old
  STATUS.new OPL.x7Ab9Q notes.123 MPL.new.1"
for name in $planted; do
  echo left >/tmp/$name
done
chown 65534:65534 /tmp/OPL.4244
start_jukebox /mnt/music/dev1
i=0
while [ $i -lt 100 ] && [ "$(chosen_song)" != "1 1 1" ]; do
  sleep 0.05; i=$((i + 1))
done
stop_jukebox
for name in $planted; do
  if [ -e /tmp/$name ]; then echo $name; fi
done >/tmp/left
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << sb.read("/tmp/velm.err");
  // A foreign file stays, and so do names no writer of the jukebox makes.
  EXPECT_EQ(sb.read("/tmp/left"), "OPL.4244\nOPL.backup2\nSTATUS.old\nnotes.123\nMPL.new.1\n");
}

// The launcher, as root, writes its state into the shared /tmp: links planted at the
// temporary names a writer could use must not make it write into, or truncate, a file of
// someone else's choice.
TEST(SharedTmp, TheStateIsNotWrittenThroughALink) {
  Sandbox sb;
  std::string script = jukebox_collection(30, "dev1/A") + jukebox_functions() + R"SH(
echo keep >/tmp/victim.random.temporary
# The launcher's temporaries are named for its pid: the shell's, once velm is exec'd.
sh -c 'ln -s /tmp/victim.random.temporary /tmp/RANDOM.$$
  exec velm -l -t -p /tmp/player.out -w 127.0.0.1:18081 /mnt/music/dev1' 2>>/tmp/velm.err &
jukebox=$!
i=0
while [ $i -lt 100 ] && [ "$(chosen_song)" != "1 1 1" ]; do
  sleep 0.05; i=$((i + 1))
done
stat -c '%n %F %u %a' /tmp/RANDOM >/tmp/conf.stat
stop_jukebox
)SH";
  RunResult r = sb.run(script, "", TIMEOUT_MS);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string err = sb.read("/tmp/velm.err");
  EXPECT_EQ(sb.read("/tmp/velm.status"), "0\n") << err;
  EXPECT_EQ(sb.read("/tmp/victim.random.temporary"), "keep\n");
  EXPECT_EQ(sb.read("/tmp/conf.stat"), "/tmp/RANDOM regular file 0 644\n") << err;
}
