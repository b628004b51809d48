// scantree run for real in a private sandbox at its limits: the songs of one list and the
// lists of one scan. The exact lines, messages and exit statuses are golden cases
// (tests/golden/scantree).

#include "sandbox_run.h"

#include <gtest/gtest.h>

TEST(Scantree, SongLimitPerList) {
  Sandbox sb;
  RunResult r = sb.run(R"(
    mkdir -p /mnt/d/big /mnt/d/next && cd /mnt/d/big && seq -f '%05g.mp3' 1 32005 | xargs touch
    touch /mnt/d/next/n.mp3
    scantree /mnt/d 1 >/dev/null && wc -l </tmp/MPL
  )");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string mpl = sb.read("/tmp/MPL");
  // Songs 1 to 32000 of the big list, then the next list continues normally.
  EXPECT_NE(mpl.find(" 32000 /mnt/d/big/32000.mp3\n"), std::string::npos);
  EXPECT_EQ(mpl.find("32001.mp3"), std::string::npos);
  EXPECT_NE(mpl.find("/mnt/d/next/n.mp3\n"), std::string::npos);
  // The device line, two list lines and 32001 songs.
  EXPECT_EQ(r.out, "32004\n");
}

TEST(Scantree, ListLimitEndsTheScan) {
  Sandbox sb;
  RunResult r = sb.run(R"(
    mkdir -p /mnt/d && cd /mnt/d && seq 1 32003 | xargs mkdir && seq -f '%g/s.mp3' 1 32003 | xargs touch
    scantree /mnt/d 1 >/dev/null; echo $?
    grep -c ' 0 [0-9]*$' /tmp/MPL; grep -c '/s.mp3$' /tmp/MPL; tail -n 2 /tmp/MPL | cut -d' ' -f1-3
  )");
  EXPECT_EQ(r.status, 0) << r.err;
  // 32000 lists with their one song each; the rest is passed over.
  EXPECT_EQ(r.out, "0\n32000\n32000\n1 32000 0\n1 32000 1\n");
}
