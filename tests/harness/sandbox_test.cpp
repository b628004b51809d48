// The sandbox gives each test its own /tmp, /dev and process table.

#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Lists /tmp inside the sandbox, leaving out the folders that lead to a checkout or
// build tree lying under /tmp (those stay visible at their own paths).
std::string list_tmp() {
  std::string script = "ls -A /tmp";
  for (const std::string &kept : {std::string(source_dir()), std::string(bin_dir())}) {
    if (kept.rfind("/tmp/", 0) == 0)
      script += " | grep -v -x " + shell_quote(kept.substr(5, kept.find('/', 5) - 5));
  }
  return script + ";";
}

} // namespace

TEST(Sandbox, TmpIsFreshAndPrivate) {
  Sandbox sb;
  sb.put("/tmp/given", "staged\n");
  RunResult r = sb.run(list_tmp() + " cat /tmp/given; echo made >/tmp/made");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "given\nstaged\n");
  EXPECT_EQ(sb.read("/tmp/made"), "made\n");
  // Nothing reached the host's /tmp.
  EXPECT_NE(access("/tmp/made", F_OK), 0);

  // A second run starts from an empty /tmp again.
  r = sb.run(list_tmp());
  EXPECT_EQ(r.out, "");
}

// With tmp_from, /tmp is a host folder: what is written there outlives the sandbox, and
// the next start finds it again; without, /tmp is a fresh tmpfs once more.
TEST(Sandbox, TmpFromAHostFolderKeepsItsFiles) {
  Sandbox sb;
  std::string state = sb.scratch() + "/state";
  ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
  write_file(state + "/before", "there\n");
  sb.tmp_from(state);
  RunResult r = sb.run("cat /tmp/before && echo kept >/tmp/PLAYSTATE");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "there\n");
  EXPECT_EQ(read_file(state + "/PLAYSTATE"), "kept\n");
  r = sb.run("cat /tmp/PLAYSTATE");
  EXPECT_EQ(r.out, "kept\n");
  sb.tmp_from("");
  r = sb.run(list_tmp());
  EXPECT_EQ(r.out, "");
}

TEST(Sandbox, DevHoldsOnlyHarmlessDevicesAndIsWritable) {
  Sandbox sb;
  RunResult r = sb.run("echo x >/dev/null && head -c 4 /dev/zero | od -An -tx1 && "
                       "mkfifo /dev/lcd && ls /dev | tr '\\n' ' '");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("00 00 00 00"), std::string::npos);
  EXPECT_NE(r.out.find("lcd"), std::string::npos);
  EXPECT_EQ(r.out.find("mixer"), std::string::npos);
  EXPECT_EQ(r.out.find("sda"), std::string::npos);
}

TEST(Sandbox, OwnProcessTableAndStatus) {
  Sandbox sb;
  RunResult r = sb.run("sleep 30 & ps -e -o comm= | sort | tr '\\n' ' '; exit 7");
  EXPECT_EQ(r.status, 7);
  // Only this script's processes are seen; the sleep is killed with the sandbox.
  EXPECT_EQ(r.out.find("systemd"), std::string::npos);
  EXPECT_NE(r.out.find("sleep"), std::string::npos);
}

TEST(Sandbox, ProgramsAndSourcesReachable) {
  Sandbox sb;
  RunResult r = sb.run("command -v scantree && test -f " +
                       shell_quote(std::string(source_dir()) + "/CMakeLists.txt") +
                       " && test -d \"$VELM_SCRATCH\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(bin_dir()) + "/scantree\n");
}

TEST(Sandbox, InputAndTimeout) {
  Sandbox sb;
  RunResult r = sb.run("cat", "fed in\n");
  EXPECT_EQ(r.out, "fed in\n");
  r = sb.run("sleep 20", "", 300);
  EXPECT_EQ(r.status, -1);
}

TEST(Sandbox, FilesReachableWhileRunning) {
  Sandbox sb;
  sb.start("mkfifo /tmp/go && echo waiting >/tmp/state && read line </tmp/go && echo \"$line\"");
  // The FIFO inside is reached from the test through path().
  for (int i = 0; i < 500 && !sb.exists("/tmp/state"); ++i)
    usleep(10000);
  ASSERT_TRUE(sb.exists("/tmp/state"));
  write_file(sb.path("/tmp/go"), "hello from outside\n");
  RunResult r = sb.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "hello from outside\n");
}

TEST(Sandbox, ProgramsActAsRootAndWhatTheyMakeIsTheCallers) {
  // Started by another user, the sandbox is a user namespace in which that user is root.
  Sandbox sb;
  RunResult r = sb.run("id -u; id -g; echo made >/tmp/made");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\n0\n");
  struct stat st;
  ASSERT_EQ(stat(sb.path("/tmp/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_gid, getegid());
}
