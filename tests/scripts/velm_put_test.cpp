// velm_put, the player scripts' way of replacing a state file: whole or not at all, and
// never through a link or into a FIFO someone put in the shared /tmp.

#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <string>

// The listings of /tmp below take files only: the checkout may lie under /tmp.
TEST(VelmPut, ReplacesTheFileWholeAndLeavesNoTemporary) {
  Sandbox sb;
  RunResult r = sb.run(R"SH(
echo 'an old and longer line' >/tmp/POSITION
velm_put /tmp/POSITION '1 2 3'; echo "status $?"
ls -p /tmp | grep -v /
)SH");
  EXPECT_EQ(r.out, "status 0\nPOSITION\n") << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(sb.read("/tmp/POSITION"), "1 2 3\n");
}

TEST(VelmPut, FollowsNoLinkAtTheFileOrAtItsTemporary) {
  Sandbox sb;
  // The temporary is "<file>.<pid>"; the shell's pid is velm_put's once it is exec'd.
  RunResult r = sb.run(R"SH(
echo keep >/tmp/victim.file
echo keep >/tmp/victim.temporary
ln -s /tmp/victim.file /tmp/STATUS
sh -c 'ln -s /tmp/victim.temporary /tmp/STATUS.$$ && exec velm_put /tmp/STATUS play'
echo "status $?"
[ -L /tmp/STATUS ] && echo "still a link"
ls -p /tmp | grep -v /
)SH");
  EXPECT_EQ(r.out, "status 0\nSTATUS\nvictim.file\nvictim.temporary\n") << r.err;
  EXPECT_EQ(sb.read("/tmp/STATUS"), "play\n");
  EXPECT_EQ(sb.read("/tmp/victim.file"), "keep\n");
  EXPECT_EQ(sb.read("/tmp/victim.temporary"), "keep\n");
}

TEST(VelmPut, RefusesWhatItCannotClearFromTheTemporaryName) {
  SKIP_WITHOUT_ROOT("files of another user (chown 65534)");
  Sandbox sb;
  // A folder under the temporary name, and, for a user who may not remove it from the
  // sticky /tmp, someone else's link. A FIFO there is taken away, never written into.
  RunResult r = sb.run(R"SH(
echo old >/tmp/FRAMEPOS
sh -c 'mkdir /tmp/FRAMEPOS.$$ && exec velm_put /tmp/FRAMEPOS 12'; echo "folder $?"
echo keep >/tmp/victim && chmod 666 /tmp/victim
echo old >/tmp/RANDOM && chown 65534 /tmp/RANDOM
setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '
  echo $$ >/tmp/pid; while [ ! -e /tmp/go ]; do sleep 0.01; done; exec velm_put /tmp/RANDOM a' &
while [ ! -s /tmp/pid ]; do sleep 0.01; done
ln -s /tmp/victim /tmp/RANDOM.$(cat /tmp/pid) && touch /tmp/go
wait $!; echo "foreign link $?"
sh -c 'mkfifo /tmp/STATUS.$$ && exec velm_put /tmp/STATUS stop'; echo "fifo $?"
)SH",
                       "", 30000);
  EXPECT_EQ(r.out, "folder 1\nforeign link 1\nfifo 0\n");
  EXPECT_NE(r.err.find("velm_put: /tmp/FRAMEPOS: File exists\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("velm_put: /tmp/RANDOM: File exists\n"), std::string::npos) << r.err;
  EXPECT_EQ(sb.read("/tmp/FRAMEPOS"), "old\n");
  EXPECT_EQ(sb.read("/tmp/RANDOM"), "old\n");
  EXPECT_EQ(sb.read("/tmp/victim"), "keep\n");
  EXPECT_EQ(sb.read("/tmp/STATUS"), "stop\n");
}

TEST(VelmPut, SaysWhyItFailedAndHowItIsCalled) {
  Sandbox sb;
  RunResult r = sb.run(R"SH(
velm_put /tmp/no/such/POSITION '1 1 1'; echo "missing folder $?"
velm_put /tmp/POSITION; echo "one argument $?"
velm_put /tmp/POSITION 1 2; echo "three arguments $?"
)SH");
  EXPECT_EQ(r.out, "missing folder 1\none argument 2\nthree arguments 2\n");
  EXPECT_EQ(r.err, "velm_put: /tmp/no/such/POSITION: No such file or directory\n"
                   "usage: velm_put FILE LINE\n"
                   "usage: velm_put FILE LINE\n");
}
