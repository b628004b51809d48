// velm_input run for real in a sandbox: FIFOs at the device paths carry the bytes of
// struct input_event records (written by evpush), a stand-in lircd serves its socket, and
// the test's readers keep what reaches /tmp/fifo.control and /tmp/fifo.display.

#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The FIFOs and their readers (held open by the shell as well, so they never see an end
// of file), and helpers:
//   settle FILE PATTERN [N]  waits (at most 10 s) until FILE has N lines (1) matching
//   finish                   ends velm_input ($input) and prints its exit status
// $E is evpush, $L the stand-in lircd.
std::string rig() {
  return std::string("E=") + VELM_EVPUSH + "\nL=" + VELM_LIRCD_STUB + R"SH(
mkfifo /tmp/fifo.control /tmp/fifo.display
exec 7<>/tmp/fifo.control 8<>/tmp/fifo.display
cat /tmp/fifo.control >/tmp/control.out &
cat /tmp/fifo.display >/tmp/display.out &
settle() {
  i=0
  while [ $i -lt 500 ] && [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -lt "${3:-1}" ]; do
    sleep 0.02; i=$((i + 1))
  done
}
finish() {
  kill -TERM $input
  wait $input
  echo "status $?"
}
)SH";
}

// The lines of text that hold `part`.
int count_lines(const std::string &text, const std::string &part) {
  int n = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    if (text.substr(start, end - start).find(part) != std::string::npos)
      ++n;
    start = end + 1;
  }
  return n;
}

} // namespace

TEST(VelmInput, KeysOfADeviceBecomeLines) {
  Sandbox sb;
  RunResult r = sb.run(rig() + R"SH(
mkdir -p /dev/input
mkfifo /dev/input/event3
velm_input /dev/input/event3 2>/tmp/input.err &
input=$!
$E /dev/input/event3 <<'STEPS'
KEY_PLAYPAUSE 1
KEY_PLAYPAUSE 0
KEY_VOLUMEUP 1
wait 100
KEY_VOLUMEUP 2
KEY_VOLUMEUP 2
KEY_VOLUMEUP 0
KEY_STOP 1, KEY_STOP 0, KEY_STOP 1
KEY_STOP 0
REL_DIAL 3
REL_DIAL -1
KEY_A 1
KEY_A 0
KEY_1 1
KEY_1 0
wait 100
KEY_2 1
KEY_2 0
KEY_OK 1
KEY_OK 0
KEY_MODE 1
KEY_MODE 0
KEY_NEXTSONG 1
wait 1100
KEY_NEXTSONG 0
wait 100
KEY_NEXTSONG 1
KEY_NEXTSONG 0
wait 100
STEPS
settle /tmp/control.out player_nextsong
settle /tmp/display.out 'display_setmode 2'
finish
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(sb.read("/tmp/control.out"), "player_pause\n"
                                         "mixer_volumeup\nmixer_volumeup\nmixer_volumeup\n"
                                         "player_stop\n"
                                         "mixer_volumeup\nmixer_volumeup\nmixer_volumeup\n"
                                         "mixer_volumedown\n"
                                         "player_gotosong 12\n"
                                         "player_jumpfw\n"
                                         "player_nextsong\n");
  EXPECT_EQ(sb.read("/tmp/display.out"),
            "display_setmode 1\ndisplay_setmode 0\ndisplay_setmode 2\n");
  // A FIFO cannot be grabbed: said once. Its end of file drops it.
  std::string err = sb.read("/tmp/input.err");
  EXPECT_EQ(count_lines(err, "velm_input: /dev/input/event3: cannot grab it ("), 1) << err;
  EXPECT_EQ(count_lines(err, "velm_input: /dev/input/event3: end of file; dropped"), 1) << err;
  EXPECT_EQ(count_lines(err, ""), 2) << err;
}

TEST(VelmInput, DevicesThatComeGoAndReturn) {
  Sandbox sb;
  // No /dev/input at the start; a device under a pattern and its by-id name, which is the
  // same device and read once; a record cut short; a device gone and back; another one.
  RunResult r = sb.run(rig() + R"SH(
velm_input '/dev/input/event*' '/dev/input/by-id/*-event-kbd' 2>/tmp/input.err &
input=$!
sleep 0.3
mkdir -p /dev/input/by-id
mkfifo /dev/input/event5
ln -s ../event5 /dev/input/by-id/usb-remote-event-kbd
printf 'KEY_PLAYPAUSE 1\nKEY_PLAYPAUSE 0\n' | $E /dev/input/event5
settle /tmp/control.out player_pause
settle /tmp/input.err 'event5: end of file'
rm /dev/input/event5
mkfifo /dev/input/event5
printf 'KEY_STOP 1\nKEY_STOP 0\nwait 100\ncut\nwait 300\n' | $E /dev/input/event5
settle /tmp/input.err 'cut short'
rm /dev/input/event5
mkfifo /dev/input/event5
printf 'KEY_NEXTSONG 1\nKEY_NEXTSONG 0\nwait 200\n' | $E /dev/input/event5
settle /tmp/control.out player_nextsong
mkfifo /dev/input/event7
printf 'KEY_CHANNELUP 1\nKEY_CHANNELUP 0\nwait 200\n' | $E /dev/input/event7
settle /tmp/control.out player_nextlist
finish
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(sb.read("/tmp/control.out"),
            "player_pause\nplayer_stop\nplayer_nextsong\nplayer_nextlist\n");
  std::string err = sb.read("/tmp/input.err");
  EXPECT_EQ(count_lines(err, "/dev/input/event5: cannot grab it"), 1) << err;
  EXPECT_EQ(count_lines(err, "/dev/input/event7: cannot grab it"), 1) << err;
  EXPECT_EQ(count_lines(err, "/dev/input/event5: end of file; dropped"), 2) << err;
  EXPECT_EQ(count_lines(err, "/dev/input/event5: a record cut short; dropped"), 1) << err;
  EXPECT_EQ(count_lines(err, "by-id"), 0) << err;
}

TEST(VelmInput, DevicesNotThereAreRetried) {
  Sandbox sb;
  RunResult r = sb.run(rig() + R"SH(
mkdir -p /dev/input
touch /dev/input/event1
velm_input /dev/input/event2 /dev/input/event1 2>/tmp/input.err &
input=$!
sleep 0.3
mkfifo /dev/input/event2
printf 'KEY_PLAYPAUSE 1\nKEY_PLAYPAUSE 0\n' | $E /dev/input/event2
settle /tmp/control.out player_pause
finish
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(sb.read("/tmp/control.out"), "player_pause\n");
  std::string err = sb.read("/tmp/input.err");
  EXPECT_EQ(count_lines(err, "velm_input: /dev/input/event2: No such file or directory; tried "
                             "again when it changes"),
            1)
      << err;
  EXPECT_EQ(count_lines(err, "velm_input: /dev/input/event1: not an input device"), 1) << err;
}

TEST(VelmInput, KeyMapsAndOptions) {
  Sandbox sb;
  sb.put("/tmp/bad.map", "# mine\nKEY_PLAY press player_pause\n\nKEY_FOO press player_stop\n");
  sb.put("/tmp/good.map", "KEY_PLAY press player_pause\nset steps REL_DIAL 2\n");
  RunResult r = sb.run(R"SH(
velm_input -k /tmp/bad.map /dev/input/event3; echo "bad $?"
velm_input -c -k /tmp/bad.map; echo "check bad $?"
velm_input -c -k /tmp/good.map; echo "check good $?"
velm_input -c; echo "check built-in $?"
velm_input -k /tmp/none.map /dev/input/event3; echo "missing $?"
velm_input 2>/dev/null; echo "no device $?"
velm_input -x /dev/input/event3 2>/dev/null; echo "unknown option $?"
velm_input -h | head -n 1
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "bad 1\ncheck bad 1\ncheck good 0\ncheck built-in 0\nmissing 1\n"
                   "no device 2\nunknown option 2\n"
                   "usage: velm_input [-d] [-h] [-c] [-k KEYMAP] [-L SOCKET] [DEVICE ...]\n");
  EXPECT_EQ(r.err, "velm_input: /tmp/bad.map:4: unknown key name KEY_FOO\n"
                   "velm_input: /tmp/bad.map:4: unknown key name KEY_FOO\n"
                   "velm_input: /tmp/none.map: No such file or directory\n");
}

TEST(VelmInput, LircdButtonsAndItsReturn) {
  Sandbox sb;
  sb.put("/tmp/lirc.map",
         "KEY_PLAY press player_pause\nlirc:power press player_stop\n"
         "KEY_VOLUMEUP press mixer_volumeup\nKEY_VOLUMEUP repeat mixer_volumeup\n");
  RunResult r = sb.run(rig() + R"SH(
velm_input -k /tmp/lirc.map -L /tmp/lircd 2>/tmp/input.err &
input=$!
sleep 0.3
$L /tmp/lircd <<'STEPS'
accept
0000000000f40bf0 00 KEY_PLAY mceusb
0000000000f40bf0 01 KEY_PLAY mceusb
0000000000000001 00 KEY_STOP mceusb
00000000000000a1 00 power mceusb
wait 300
close
accept
0000000000000002 00 KEY_VOLUMEUP mceusb
0000000000000002 01 KEY_VOLUMEUP mceusb
wait 300
STEPS
settle /tmp/control.out mixer_volumeup 2
finish
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(sb.read("/tmp/control.out"),
            "player_pause\nplayer_stop\nmixer_volumeup\nmixer_volumeup\n");
  std::string err = sb.read("/tmp/input.err");
  EXPECT_EQ(count_lines(err, "velm_input: /tmp/lircd: No such file or directory; tried again "
                             "every second"),
            1)
      << err;
  // Closed by the stand-in twice: after its first client, and when it ends.
  EXPECT_EQ(count_lines(err, "velm_input: /tmp/lircd: lircd closed the connection"), 2) << err;
}

TEST(VelmInput, LinesWithoutAReaderAreDropped) {
  Sandbox sb;
  // No /tmp/fifo.control at first, then one with no reader, then its reader.
  RunResult r = sb.run(std::string("E=") + VELM_EVPUSH + R"SH(
mkdir -p /dev/input
mkfifo /dev/input/event3
velm_input -d /dev/input/event3 2>/tmp/input.err &
input=$!
exec 9>/dev/input/event3
$E /proc/self/fd/9 <<'STEPS'
KEY_PLAYPAUSE 1
KEY_PLAYPAUSE 0
KEY_STOP 1
KEY_STOP 0
wait 300
STEPS
mkfifo /tmp/fifo.control
$E /proc/self/fd/9 <<'STEPS'
KEY_INFO 1
KEY_INFO 0
wait 300
STEPS
cat /tmp/fifo.control >/tmp/control.out &
reader=$!
sleep 0.3
$E /proc/self/fd/9 <<'STEPS'
KEY_NEXTSONG 1
KEY_NEXTSONG 0
STEPS
wait_for() {
  i=0
  while [ $i -lt 500 ] && ! grep -q "$1" /tmp/control.out; do sleep 0.02; i=$((i + 1)); done
}
wait_for player_nextsong
# The reader goes (the control daemon started again, say), and a new one comes.
kill $reader
wait $reader
$E /proc/self/fd/9 <<'STEPS'
KEY_STOP 1
KEY_STOP 0
wait 300
STEPS
cat /tmp/fifo.control >>/tmp/control.out &
sleep 0.3
$E /proc/self/fd/9 <<'STEPS'
KEY_PREVIOUSSONG 1
KEY_PREVIOUSSONG 0
STEPS
wait_for player_prevsong
kill -TERM $input
wait $input
echo "status $?"
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(sb.read("/tmp/control.out"), "player_nextsong\nplayer_prevsong\n");
  std::string err = sb.read("/tmp/input.err");
  // One message each time lines start being dropped, however many.
  EXPECT_EQ(count_lines(err, "velm_input: /tmp/fifo.control: No such file or directory; lines "
                             "are dropped until it takes them"),
            1)
      << err;
  EXPECT_EQ(count_lines(err, "velm_input: /tmp/fifo.control: no reader; lines are dropped"), 1)
      << err;
  EXPECT_EQ(count_lines(err, "lines are dropped"), 2) << err;
  EXPECT_EQ(count_lines(err, "[velm_input] /tmp/fifo.control: dropped (no reader): player_stop"), 1)
      << err;
  // The trace: the events and the lines.
  EXPECT_EQ(count_lines(err, "[velm_input] /dev/input/event3: type 1 code 164 (KEY_PLAYPAUSE) "
                             "value 1"),
            1)
      << err;
  EXPECT_EQ(count_lines(err, "[velm_input] /tmp/fifo.control: dropped (no reader): player_sayinfo"),
            1)
      << err;
  EXPECT_EQ(count_lines(err, "[velm_input] /tmp/fifo.control: player_nextsong"), 1) << err;
}

TEST(VelmInput, IdleWithDevicesOpenItSleeps) {
  Sandbox sb;
  // Three devices open, a key held that has no hold rule, nothing else pending: poll
  // waits without a timeout, so the daemon is not woken at all.
  RunResult r = sb.run(rig() + R"SH(
mkdir -p /dev/input
mkfifo /dev/input/event1 /dev/input/event2 /dev/input/event3
velm_input '/dev/input/event*' 2>/tmp/input.err &
input=$!
exec 5>/dev/input/event1 6>/dev/input/event2 9>/dev/input/event3
printf 'KEY_VOLUMEUP 1\n' | $E /proc/self/fd/5
settle /tmp/control.out mixer_volumeup
sleep 0.2
woken() { sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' /proc/$input/status; }
before=$(woken)
sleep 2
after=$(woken)
echo "woken $((after - before))"
finish
)SH");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "woken 0\nstatus 0\n");
  EXPECT_EQ(sb.read("/tmp/control.out"), "mixer_volumeup\n");
}
