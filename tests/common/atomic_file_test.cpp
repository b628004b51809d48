#include "atomic_file.h"

#include "sandbox_run.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

TEST_F(AtomicFileTest, TemporaryIsNamedForTheWritersProcess) {
  // The launcher removes "<state>.<pid>" files left by a writer that was killed; every
  // writer's temporary must be found by that rule.
  AtomicFile file;
  ASSERT_TRUE(atomic_open(&file, target.c_str()));
  EXPECT_TRUE(fs::is_regular_file(target + "." + std::to_string(getpid())));
  ASSERT_TRUE(atomic_commit(&file));
  EXPECT_EQ(files_in_scratch(), 1);
}

class ReplaceFileTest : public AtomicFileTest {
protected:
  std::string temporary = target + "." + std::to_string(getpid());

  bool replace(const std::string &text, mode_t mode = 0) {
    return write_text_file(target.c_str(), text.data(), text.size(), mode);
  }
};

TEST_F(ReplaceFileTest, GivesTheAskedModeWhateverTheUmask) {
  mode_t mask = umask(077);
  bool written = replace("#!/bin/sh\n", 0755);
  umask(mask);
  ASSERT_TRUE(written);
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(read_file(target), "#!/bin/sh\n");
}

TEST_F(ReplaceFileTest, NeverWritesIntoWhatLiesUnderTheTemporaryName) {
  write_file(target, "old\n");
  // A FIFO without a reader would hold a writer that opened it; it is taken away instead.
  ASSERT_EQ(mkfifo(temporary.c_str(), 0666), 0);
  alarm(10);
  EXPECT_TRUE(replace("new\n"));
  alarm(0);
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_FALSE(fs::exists(temporary));

  // A folder cannot be taken away: the replacement fails and the file stays as it was.
  fs::create_directories(temporary + "/inside");
  errno = 0;
  EXPECT_FALSE(replace("newer\n"));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_TRUE(fs::is_directory(temporary + "/inside"));
}

TEST_F(ReplaceFileTest, AnAbandonedReplacementLeavesTheFileAndNoTemporary) {
  write_file(target, "old\n");
  const char *name;
  int dir = open_folder_of(target.c_str(), &name);
  ASSERT_GE(dir, 0);
  EXPECT_STREQ(name, "target");
  Replacement r;
  ASSERT_TRUE(replace_begin(r, dir, name));
  ASSERT_EQ(write(r.fd, "half", 4), 4);
  replace_abandon(r);
  close(dir);
  EXPECT_EQ(read_file(target), "old\n");
  EXPECT_EQ(files_in_scratch(), 1);
}
