// velm_control run for real in a sandbox, fed through its FIFO.

#include "control_rig.h"

#include <gtest/gtest.h>

TEST(ControlRig, JumpAndScriptLinesReachTheirReaders) {
  Sandbox sb;
  RunResult r = sb.run(control_rig_run("player_jumpfw\n  player_stop\nplayer_jumpto 500\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sb.read("/tmp/control.status"), "0\n");
  EXPECT_EQ(sb.read("/tmp/player.out"), "JUMP +200\nJUMP 500\n");
  EXPECT_EQ(sb.read("/tmp/scripts.log"), "stop.sh\n");
  EXPECT_EQ(sb.read("/tmp/control.out"), "1");
  EXPECT_EQ(sb.read("/tmp/display.out"), "display_setbalance 0\ndisplay_setvolume 0\n"
                                         "display_setvolume 0\ndisplay_setbass 0\n"
                                         "display_settreble 0\n");
}
