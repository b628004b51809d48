// scantree run for real in a private sandbox: the lines it appends to /tmp/MPL, its
// messages and exit statuses.

#include "sandbox_run.h"
#include "worked_example.h"

#include <gtest/gtest.h>

namespace {

// Shell helper: makes the named folders under the current one so that the directory
// reader delivers them in the order given (tmpfs hands out newest entries first, other
// file systems may not), or fails the script with status 99.
const char make_ordered[] = R"(
make_ordered() {
  want=$(printf '%s\n' "$@")
  for try in reversed forward; do
    if [ $try = reversed ]; then
      for d in "$@"; do set -- "$d" "$@"; done
      n=$(( $# / 2 )); i=0; for d in "$@"; do i=$((i+1)); [ $i -le $n ] && mkdir "$d"; done
    else
      rm -rf -- "$@"; for d in "$@"; do mkdir "$d"; done
    fi
    got=$(ls -U | grep -v -e '^\.$' -e '^\.\.$')
    [ "$got" = "$want" ] && return 0
  done
  echo "cannot order folders: $got" >&2; exit 99
}
)";

} // namespace

TEST(Scantree, WorkedExampleLineForLine) {
  Sandbox sb;
  RunResult r = sb.run(std::string(make_ordered) + R"(
    mkdir -p /mnt/music && cd /mnt/music && make_ordered Rock Empty Jazz
    touch Rock/b.mp3 Rock/a.Mp3 Rock/cover.jpg Empty/notes.txt Jazz/x.MP3
    scantree /mnt/music 2
  )");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[scantree]Creating MasterPlayList for device 2, path /mnt/music...\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(sb.read("/tmp/MPL"), worked_example_mpl);
}

TEST(Scantree, SongNamesSortingAndDepth) {
  Sandbox sb;
  RunResult r = sb.run(R"(
    mkdir -p /mnt/d/L/deeper /mnt/d/L/dir.mp3
    cd /mnt/d/L
    touch .mp3 a.mp3 a.mP3 a.mp3.txt B.MP3 b.Mp3 .hidden.mp3 '~x.mp3' deeper/deep.mp3 ../top.mp3
    scantree /mnt/d 1
  )");
  ASSERT_EQ(r.status, 0) << r.err;
  // Byte order: '.' < 'B' < 'a' < 'b' < 'd' < '~'; a folder named like a song is a song;
  // files in the root and below a list folder are not.
  EXPECT_EQ(sb.read("/tmp/MPL"), "1 0 0 /mnt/d\n"
                                 "1 1 0 L\n"
                                 "1 1 1 /mnt/d/L/.hidden.mp3\n"
                                 "1 1 2 /mnt/d/L/B.MP3\n"
                                 "1 1 3 /mnt/d/L/a.mp3\n"
                                 "1 1 4 /mnt/d/L/b.Mp3\n"
                                 "1 1 5 /mnt/d/L/dir.mp3\n"
                                 "1 1 6 /mnt/d/L/~x.mp3\n");
}

TEST(Scantree, RootVariantsAndDeviceNumbers) {
  Sandbox sb;
  RunResult r = sb.run(R"(
    mkdir -p /mnt/r/L /mnt/empty/nosongs && touch /mnt/r/L/s.mp3 /mnt/empty/nosongs/a.wav
    ln -s /nowhere /mnt/r/dangling && touch /mnt/r/plainfile
    scantree /mnt/r/ 3 && scantree /mnt/r abc && scantree /mnt/empty ' -12x' && scantree /mnt/r 3
  )");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[scantree]Creating MasterPlayList for device 3, path /mnt/r/...\n"
                   "[scantree]Creating MasterPlayList for device 0, path /mnt/r...\n"
                   "[scantree]Creating MasterPlayList for device -12, path /mnt/empty...\n"
                   "[scantree]Creating MasterPlayList for device 3, path /mnt/r...\n");
  // A trailing "/" doubles the slash in song paths only; runs append, the same device
  // scanned twice is listed twice.
  EXPECT_EQ(sb.read("/tmp/MPL"), "3 0 0 /mnt/r/\n"
                                 "3 1 0 L\n"
                                 "3 1 1 /mnt/r//L/s.mp3\n"
                                 "0 0 0 /mnt/r\n"
                                 "0 1 0 L\n"
                                 "0 1 1 /mnt/r/L/s.mp3\n"
                                 "-12 0 0 /mnt/empty\n"
                                 "3 0 0 /mnt/r\n"
                                 "3 1 0 L\n"
                                 "3 1 1 /mnt/r/L/s.mp3\n");
}

TEST(Scantree, FailuresAndTheirMessages) {
  Sandbox sb;
  RunResult r = sb.run("scantree; echo $?; scantree /mnt; echo $?; scantree /mnt 1 2; echo $?");
  EXPECT_EQ(r.out, "1\n1\n1\n");
  std::string usage = "[scantree]Usage: scantree <path> <deviceno>\n";
  EXPECT_EQ(r.err, usage + usage + usage);
  EXPECT_FALSE(sb.exists("/tmp/MPL"));

  // A missing root: the master list is created, but nothing is written to it.
  r = sb.run("scantree /mnt/missing 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "[scantree]Error: Could not change to /mnt/missing.\n");
  EXPECT_EQ(sb.read("/tmp/MPL"), "");

  // The master list cannot be opened for appending.
  r = sb.run("mkdir /tmp/MPL && scantree /mnt 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[scantree]Could not open MPL file </tmp/MPL>.\n");

  // A full disk is not reported as success.
  r = sb.run("mkdir -p /mnt/d/L && touch /mnt/d/L/a.mp3 && ln -s /dev/full /tmp/MPL && "
             "scantree /mnt/d 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[scantree]Could not write MPL file </tmp/MPL>.\n");
}

TEST(Scantree, SkipsWhatOneLineCannotHold) {
  Sandbox sb;
  // /mnt/d/L/ is 9 characters: a file name of 246 characters makes a 255-character
  // path, which fits; one more does not.
  std::string fits = std::string(242, 'f') + ".mp3";
  std::string too_long = std::string(243, 'g') + ".mp3";
  RunResult r = sb.run("mkdir -p /mnt/d/L /mnt/d/M \"$(printf '/mnt/d/N\\nL')\" && cd /mnt/d && "
                       "touch L/" +
                       fits + " L/" + too_long +
                       " \"$(printf 'L/new\\nline.mp3')\" \"$(printf 'L/cr\\r.mp3')\" L/ok.mp3"
                       " \"$(printf 'N\\nL/in-bad-list.mp3')\" M/m.mp3 && scantree /mnt/d 1");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string mpl = sb.read("/tmp/MPL");
  EXPECT_NE(mpl.find(" 1 /mnt/d/L/" + fits + "\n"), std::string::npos) << mpl;
  EXPECT_NE(mpl.find("/mnt/d/L/ok.mp3\n"), std::string::npos);
  EXPECT_EQ(mpl.find(too_long), std::string::npos);
  EXPECT_EQ(mpl.find("line.mp3"), std::string::npos);
  EXPECT_EQ(mpl.find("cr"), std::string::npos);
  EXPECT_EQ(mpl.find("in-bad-list"), std::string::npos);
  EXPECT_NE(mpl.find(" M\n"), std::string::npos);
  // One line per skipped entry, line breaks shown escaped.
  EXPECT_NE(r.err.find("[scantree]Skipped </mnt/d/L/" + too_long +
                       ">: path longer than 255 characters.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("[scantree]Skipped </mnt/d/L/new\\nline.mp3>: name holds a line break.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("[scantree]Skipped </mnt/d/L/cr\\r.mp3>: name holds a line break.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("[scantree]Skipped </mnt/d/N\\nL>: name holds a line break.\n"),
            std::string::npos);
  int lines = 0;
  for (char c : r.err)
    lines += c == '\n';
  EXPECT_EQ(lines, 4);

  // Every reader sees all of it: the list after the skipped ones is there.
  sb.put("/tmp/MPL", mpl);
  r = sb.run("for l in 1 2; do entryquery 1 $l 0; done | sort | tr '\\n' ' '; "
             "orderbuild 2>/dev/null; wc -l </tmp/OPL");
  EXPECT_EQ(r.out, "L M 3\n");
}

TEST(Scantree, RootHoldingLineBreakIsRefused) {
  Sandbox sb;
  RunResult r = sb.run("d=$(printf '/mnt/a\\nb'); mkdir -p \"$d/L\" && touch \"$d/L/s.mp3\" && "
                       "scantree \"$d\" 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[scantree]Error: root path </mnt/a\\nb> holds a line break.\n");
  EXPECT_EQ(sb.read("/tmp/MPL"), "");
}

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
