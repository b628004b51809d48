#include "atomic_file.h"

#include "sandbox_run.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
protected:
  Sandbox sb; // only for its scratch folder
  std::string target = sb.scratch() + "/target";

  int files_in_scratch() {
    int n = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(sb.scratch()))
      ++n;
    return n;
  }
};

TEST_F(AtomicFileTest, ReplacesWholeOnCommit) {
  write_file(target, "old contents\n");
  AtomicFile file;
  ASSERT_TRUE(atomic_open(&file, target.c_str()));
  fputs("new\n", file.fp);
  fflush(file.fp);
  // Until the commit, readers see the old file.
  EXPECT_EQ(read_file(target), "old contents\n");
  ASSERT_TRUE(atomic_commit(&file));
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(files_in_scratch(), 1); // no temporary left behind
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(AtomicFileTest, FailedWriteKeepsOld) {
  write_file(target, "old\n");
  AtomicFile file;
  ASSERT_TRUE(atomic_open(&file, target.c_str()));
  // A rename that cannot happen: the target became a non-empty folder.
  fs::remove(target);
  fs::create_directories(target + "/inside");
  fputs("new\n", file.fp);
  EXPECT_FALSE(atomic_commit(&file));
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(files_in_scratch(), 1);
}

TEST_F(AtomicFileTest, OpenFailsInMissingFolder) {
  AtomicFile file;
  EXPECT_FALSE(atomic_open(&file, (sb.scratch() + "/no/such/target").c_str()));
}
