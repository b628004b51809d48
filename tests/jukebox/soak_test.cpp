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
