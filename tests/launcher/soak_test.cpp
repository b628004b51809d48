// Short runs of the soak and the power cuts of the whole jukebox (tools/soak.sh and
// tools/powercut.sh run the long ones): jukebox_soak does the work and the checks inside
// the sandbox and reports each failure in its report.

#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <string>

namespace {

RunResult run_soak(Sandbox &sb, const std::string &arguments, int timeout_ms) {
  return sb.run(std::string("exec ") + VELM_JUKEBOX_SOAK + " " + arguments + " >/tmp/report 2>&1",
                "", timeout_ms);
}

} // namespace

// 35 s of 100 random control lines a second: the descriptors and memory stay, every 10 s
// has its save, the panel keeps drawing, nothing dies.
TEST(JukeboxSoak, HoldsUpUnderAHundredCommandsASecond) {
  Sandbox sb;
  // The bound on the ticks is loose: the other tests share the machine.
  RunResult r = run_soak(sb, "soak 35 --tick-limit 250", 240000);
  EXPECT_EQ(r.status, 0) << sb.read("/tmp/report") << r.err;
}

// Five runs of power cuts, one at each kind of moment (start-up, a save, a song change,
// playing) and one more: the files stay whole, the mixer and the music come back.
TEST(JukeboxPowerCut, FilesStayWholeAndTheMusicComesBack) {
  Sandbox sb;
  RunResult r = run_soak(sb, "powercut 5", 240000);
  EXPECT_EQ(r.status, 0) << sb.read("/tmp/report") << r.err;
}

// Five runs of real power cuts, one at each kind of moment (and one more cut during the
// start-up): /tmp is an ext4 disk on a loop device, each cut a copy of it taken while
// everything runs, from which the jukebox boots (the journal replayed). What was synced
// before the cut comes back: the song and its place, the mixer values; every state file
// on the disk is whole; the music starts again within 5 s.
TEST(JukeboxPowerCut, RealCutsKeepWhatWasSynced) {
  SKIP_WITHOUT_ROOT("a loop device and an ext4 mount");
  Sandbox sb;
  RunResult r = run_soak(sb, "powercut 5 --real", 240000);
  EXPECT_EQ(r.status, 0) << sb.read("/tmp/report") << r.err;
}

// A mistyped option or number is refused with the usage before anything runs: it would
// otherwise give another run than the one asked for that still says PASS.
TEST(JukeboxSoak, RefusesArgumentsItDoesNotTake) {
  Sandbox sb;
  RunResult r =
      sb.run(std::string("for args in 'soak' 'soak 10s' 'soak 0' 'soak 5 --bogus 1' "
                         "'soak 5 --rate' 'soak 5 --writers 0' 'soak 5 --tick-limit x' "
                         "'powercut' 'powercut 5 --seeds 3' 'powercut 5 --seed -1' "
                         "'powercut 5 --seed 3 4' 'powercut 5 --reals' 'powercut 5 --real --real' "
                         "'powercut 5 --real 3' 'cut 5'; do\n"
                         "  ") +
                 VELM_JUKEBOX_SOAK +
                 " $args 2>/tmp/err; echo \"$args: $?\"\n"
                 "  grep -q '^usage: jukebox_soak' /tmp/err || echo \"$args: no usage\"\n"
                 "done\n",
             "", 60000);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "soak: 2\nsoak 10s: 2\nsoak 0: 2\nsoak 5 --bogus 1: 2\nsoak 5 --rate: 2\n"
                   "soak 5 --writers 0: 2\nsoak 5 --tick-limit x: 2\npowercut: 2\n"
                   "powercut 5 --seeds 3: 2\npowercut 5 --seed -1: 2\n"
                   "powercut 5 --seed 3 4: 2\npowercut 5 --reals: 2\n"
                   "powercut 5 --real --real: 2\npowercut 5 --real 3: 2\ncut 5: 2\n");
}
