// The command-line writers under injected I/O faults: orderbuild, scantree, orderquery,
// htmlcatalog and titleform. Each case checks that the file the program
// would have replaced is as it was, that the failure is said on standard error, that
// the program ends as documented, and that nothing crashed.

#include "fault_rig.h"

#include <gtest/gtest.h>

namespace {

// Shell text making a device of two lists and its master list.
std::string small_collection() {
  return "mkdir -p /mnt/stick/One /mnt/stick/Two\n"
         "for s in 01_a 02_b 03_c; do : >/mnt/stick/One/$s.mp3; : >/mnt/stick/Two/$s.mp3; done\n"
         "scantree /mnt/stick 1 >/dev/null 2>&1 || exit 98\n";
}

} // namespace

// ---------------------------------------------------------------------------------------
// orderbuild: exit 2 and its one message; the old order list stays.
TEST(OrderbuildFaults, OldOrderListStaysAndTheFailureIsSaid) {
  SKIP_WITHOUT_FIU();
  std::vector<Fault> faults = runnable(
      {fault_point("posix/io/oc/openat", ENOSPC), fault_point("posix/stdio/rw/fwrite", EIO),
       fault_point("posix/stdio/fflush", ENOSPC), fault_point("posix/io/sync/fsync", EIO),
       fault_point("posix/io/dir/renameat", EIO), FULL_TMP});
  const std::string old_list = "1 9 9 9\n";
  for (const Fault &fault : faults) {
    for (const char *option : {"", "-a"}) {
      SCOPED_TRACE(fault.name + " orderbuild " + option);
      Sandbox sb;
      prepare(sb, fault);
      sb.put("/tmp/OPL", old_list);
      RunResult r = sb.run(fault_prelude() + small_collection() +
                           under(fault, std::string("orderbuild ") + option));
      expect_no_crash(r);
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find("[orderbuild]Could not open OrderPlayList file </tmp/OPL> for "
                           "writing.\n"),
                std::string::npos)
          << r.err;
      EXPECT_EQ(r.err.find("[orderbuild]wrote"), std::string::npos) << r.err;
      EXPECT_EQ(sb.read("/tmp/OPL"), old_list);
      EXPECT_EQ(left_beside(sb, "OPL"), "");
    }
  }
}

// ---------------------------------------------------------------------------------------
// scantree: exit 1 and a message; what the master list held before stays whole, with
// nothing of the failed scan behind it.
TEST(ScantreeFaults, MasterListKeepsItsOldLinesAndTheFailureIsSaid) {
  SKIP_WITHOUT_FIU();
  struct Case {
    Fault fault;
    std::string message;
  };
  const std::vector<Case> cases = {
      {fault_point("posix/stdio/oc/fopen", ENOSPC),
       "[scantree]Could not open MPL file </tmp/MPL>.\n"},
      {FULL_TMP, "[scantree]Could not write MPL file </tmp/MPL>.\n"},
  };
  for (const Case &c : cases) {
    if (left_out(c.fault))
      continue;
    SCOPED_TRACE(c.fault.name);
    Sandbox sb;
    prepare(sb, c.fault);
    // A second device whose lines (about 12 KiB) do not fit in what the first left free.
    std::string second = "mkdir -p /mnt/big/List\n"
                         "for i in $(seq 100); do : >/mnt/big/List/${i}_a_song_with_a_long_name_"
                         "to_take_room_in_the_master_list_$i.mp3; done\n";
    RunResult r = sb.run(fault_prelude() + small_collection() + second +
                         "cp /tmp/MPL \"$VELM_SCRATCH/MPL.before\"\n" +
                         under(c.fault, "scantree /mnt/big 2 >/dev/null"));
    expect_no_crash(r);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(sb.read("/tmp/MPL"), read_file(sb.scratch() + "/MPL.before"));
  }
}

// ---------------------------------------------------------------------------------------
// orderquery writes its three result files with plain opens (their old text is not
// kept); a failure is said, with exit 2, and a file is never left holding part of a line.
TEST(OrderqueryFaults, FailureToWriteTheResultFilesIsSaid) {
  SKIP_WITHOUT_FIU();
  struct Case {
    Fault fault;
    bool old_files;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      // Every fopen fails: the order list cannot be read, and nothing is written.
      {fault_point("posix/stdio/oc/fopen", EIO), true, 2, "Could not open OPL file </tmp/OPL>.\n"},
      // Full: new files cannot take their line.
      {FULL_TMP, false, 2,
       "Could not write output files: </tmp/DEVICE>, </tmp/LIST>, </tmp/SONG>.\n"},
      // Full, but the old files give back their room as they are emptied: all is written.
      {FULL_TMP, true, 0, ""},
  };
  for (const Case &c : cases) {
    if (left_out(c.fault))
      continue;
    SCOPED_TRACE(c.fault.name + (c.old_files ? " over old files" : " without old files"));
    Sandbox sb;
    prepare(sb, c.fault);
    sb.put("/tmp/OPL", "1 1 1 1\n2 1 1 2\n3 1 2 1\n");
    if (c.old_files) {
      sb.put("/tmp/DEVICE", "7\n");
      sb.put("/tmp/LIST", "7\n");
      sb.put("/tmp/SONG", "7\n");
    }
    RunResult r = sb.run(fault_prelude() + under(c.fault, "orderquery 3"));
    expect_no_crash(r);
    EXPECT_EQ(r.status, c.status);
    if (c.message.empty())
      EXPECT_EQ(r.err, "");
    else
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    for (const char *file : {"/tmp/DEVICE", "/tmp/LIST", "/tmp/SONG"}) {
      std::string text = sb.exists(file) ? sb.read(file) : "";
      if (c.status == 0)
        EXPECT_EQ(text, std::string(file) == "/tmp/LIST" ? "2\n" : "1\n") << file;
      else if (c.old_files)
        EXPECT_EQ(text, "7\n") << file;
      else
        EXPECT_EQ(text, "") << file;
    }
  }
}

// ---------------------------------------------------------------------------------------
// htmlcatalog and titleform write to standard output: a file of a full /tmp there makes
// them say so and end with a failure.
TEST(StandardOutputFaults, FullTmpUnderStandardOutputIsSaid) {
  SKIP_WITHOUT_FIU();
  struct Case {
    std::string name;
    std::string command;
  };
  const std::vector<Case> cases = {
      {"htmlcatalog", "htmlcatalog >/tmp/page.html"},
      {"titleform", "titleform /mnt/stick/One/05_-_first_song.mp3 >/tmp/title"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sb;
    prepare(sb, FULL_TMP);
    RunResult r = sb.run(fault_prelude() + small_collection() + under(FULL_TMP, c.command));
    expect_no_crash(r);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("standard output: No space left on device"), std::string::npos) << r.err;
  }
}
