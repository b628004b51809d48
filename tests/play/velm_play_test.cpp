// velm_play as the daemons run it: through the player scripts, with the real FIFOs, the
// lock and the shared /tmp.

#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A collection of two lists, the order list in sequence, and readers of both FIFOs that
// keep what they get in /tmp/player.lines and /tmp/display.lines.
const char RIG[] = R"SH(
cat >/tmp/MPL <<'EOF'
1 0 0 /mnt/dev1
1 1 0 /mnt/dev1/A
1 1 1 /mnt/dev1/A/01_one.mp3
1 1 2 /mnt/dev1/A/02_two.mp3
1 2 0 /mnt/dev1/B
1 2 1 /mnt/dev1/B/01_three.mp3
EOF
printf '1 1 1 1\n2 1 1 2\n3 1 2 1\n' >/tmp/OPL
mkfifo /tmp/fifo.player /tmp/fifo.display
while :; do cat /tmp/fifo.player; done >>/tmp/player.lines &
while :; do cat /tmp/fifo.display; done >>/tmp/display.lines &
# Until the display's reader has taken a line with the text.
settle() {
  i=0
  while [ $i -lt 100 ] && ! grep -q "$1" /tmp/display.lines 2>/dev/null; do
    sleep 0.02; i=$((i + 1))
  done
}
)SH";

} // namespace

TEST(VelmPlay, ThePlayerScriptsRunItsMoves) {
  Sandbox sb;
  RunResult r = sb.run(std::string(RIG) + R"SH(
nextsong.sh; echo "next $?"; settle 'PLAY 1 1 2'
gotosong.sh 1; settle 'PLAY 1 1 1'
nextlist.sh; settle 'PLAY 1 2 1'
pause.sh; settle 'PAUS 1 2 1'
stop.sh; settle 'STOP 1 2 1'
nextsong.sh STOPCAUGHT >/tmp/stopcaught.out; echo "after a stop $?"
pause.sh; settle 'PLAY 1 2 1'
nextsong.sh STOPCAUGHT >/tmp/ended.out; echo "after an end $?"; settle 'PLAY 1 1 1'
gotolist.sh 0; echo "list 0 $?"
sleep 0.2
cat /tmp/STATUS
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "next 0\nafter a stop 0\nafter an end 0\nlist 0 0\nplay\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(sb.read("/tmp/player.lines"), "LOAD /mnt/dev1/A/02_two.mp3\n"
                                          "LOAD /mnt/dev1/A/01_one.mp3\n"
                                          "LOAD /mnt/dev1/B/01_three.mp3\n"
                                          "PAUSE\n"
                                          "STOP\n"
                                          "LOAD /mnt/dev1/B/01_three.mp3\n");
  // After a song's end the next one goes to the caller's output, which is the player's.
  EXPECT_EQ(sb.read("/tmp/stopcaught.out"), "");
  EXPECT_EQ(sb.read("/tmp/ended.out"), "LOAD /mnt/dev1/A/01_one.mp3\n");
  std::string display = sb.read("/tmp/display.lines");
  EXPECT_NE(display.find("display_settitle Two\ndisplay_setstatus PLAY 1 1 2\n"
                         "display_settime +00:00 -00:00\n"),
            std::string::npos)
      << display;
  EXPECT_EQ(sb.read("/tmp/PLAYSTATE"), "song 1 1 1\nstatus play\nframe kept\ngeneration 6\n");
}

TEST(VelmPlay, MovesWaitForEachOther) {
  Sandbox sb;
  RunResult r = sb.run(std::string(RIG) + R"SH(
( flock 9; touch /tmp/held; sleep 0.5; echo released >>/tmp/order ) 9>>/tmp/velm.lock &
while ! [ -e /tmp/held ]; do sleep 0.01; done
velm_play next; echo "moved $?" >>/tmp/order
cat /tmp/order
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "released\nmoved 0\n");
}

TEST(VelmPlay, RefusesWhatItDoesNotKnowAndReportsWhatItCouldNotDo) {
  Sandbox sb;
  RunResult r = sb.run(R"SH(
velm_play; echo "none $?"
velm_play nextsong; echo "unknown $?"
velm_play gotolist; echo "no number $?"
velm_play gotosong 1x; echo "not a number $?"
velm_play address 1 2; echo "two numbers $?"
printf '1 1 1 /mnt/a.mp3\n1 1 2 /mnt/b.mp3\n' >/tmp/MPL
printf '1 1 1 1\n2 1 1 2\n' >/tmp/OPL
# No player, no display: the move goes on without them, and says so.
velm_play next; echo "no readers $?"
cat /tmp/PLAYSTATE
)SH",
                       "", 20000);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "none 2\nunknown 2\nno number 2\nnot a number 2\ntwo numbers 2\n"
                   "no readers 1\nsong 1 1 2\nstatus play\nframe kept\ngeneration 2\n");
  EXPECT_NE(r.err.find("usage: velm_play next|prev"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("velm_play: the player did not take \"LOAD /mnt/b.mp3\"\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("velm_play: the display did not take its lines\n"), std::string::npos)
      << r.err;
}

// Another user of the shared /tmp may have put anything under the jukebox's names.
TEST(VelmPlay, ForeignFilesUnderItsNamesAreNeitherFollowedNorWaitedFor) {
  Sandbox sb;
  RunResult r = sb.run(std::string(RIG) + R"SH(
echo keep >/tmp/victim
mkfifo /tmp/PLAYSTATE
ln -s /tmp/victim /tmp/FRAMEPOS
velm_play next; echo "fifo record $?"; settle 'PLAY 1 1 2'
stat -c '%F' /tmp/PLAYSTATE
ln -sf /tmp/victim /tmp/STATUS
velm_play stop; echo "linked status $?"; settle 'STOP'
stat -c '%F' /tmp/STATUS
rm /tmp/velm.lock; ln -s /tmp/victim /tmp/velm.lock
velm_play next; echo "linked lock $?"
cat /tmp/victim
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  // The FIFO is no record (the order's first song stands in) and is replaced by one; the
  // links are replaced, never followed.
  EXPECT_EQ(r.out, "fifo record 0\nregular file\nlinked status 0\nregular file\n"
                   "linked lock 1\nkeep\n");
  EXPECT_NE(r.err.find("velm_play: /tmp/velm.lock: Too many levels of symbolic links"),
            std::string::npos)
      << r.err;
}
