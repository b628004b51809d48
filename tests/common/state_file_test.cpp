// The small state files: replaced whole, read only when they are plain files, and never
// written through a link someone put under the temporary name in a shared folder.

#include "daemon.h"

#include "sandbox_run.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

class StateFileTest : public ::testing::Test {
protected:
  Sandbox sb; // only for its scratch folder
  std::string dir = sb.scratch();
  std::string target = dir + "/VOLUME";
  std::string temporary = target + "." + std::to_string(getpid());
};

TEST_F(StateFileTest, WritesAndReadsBackAndLeavesNoTemporary) {
  ASSERT_TRUE(write_int_file(target.c_str(), -42));
  EXPECT_EQ(read_file(target), "-42");
  EXPECT_EQ(read_int(target.c_str()), -42);
  ASSERT_TRUE(write_int_file(target.c_str(), 7));
  EXPECT_EQ(read_int(target.c_str()), 7);
  EXPECT_FALSE(fs::exists(temporary));
  // A missing file reads as the empty text, and so as 0.
  EXPECT_EQ(read_int((dir + "/missing").c_str()), 0);
}

TEST_F(StateFileTest, NeverWritesThroughALinkUnderTheTemporaryName) {
  write_file(dir + "/victim", "keep\n");
  fs::create_symlink(dir + "/victim", temporary);
  ASSERT_TRUE(write_int_file(target.c_str(), 12));
  EXPECT_EQ(read_file(dir + "/victim"), "keep\n");
  EXPECT_EQ(read_file(target), "12");
  EXPECT_FALSE(fs::is_symlink(target));

  // A link as the file itself is replaced, not followed.
  fs::remove(target);
  fs::create_symlink(dir + "/victim", target);
  ASSERT_TRUE(write_int_file(target.c_str(), 13));
  EXPECT_EQ(read_file(dir + "/victim"), "keep\n");
  EXPECT_EQ(read_file(target), "13");

  // A stale temporary file left by a writer that was killed is replaced.
  write_file(temporary, "12345678901234567890 stale\n");
  ASSERT_TRUE(write_int_file(target.c_str(), 14));
  EXPECT_EQ(read_file(target), "14");
}

TEST_F(StateFileTest, ReadsOnlyPlainFiles) {
  // A FIFO nobody writes into would hold the reader forever; a folder is no value.
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  alarm(10); // a reader that waits fails the test instead of hanging it
  EXPECT_EQ(read_int(fifo.c_str()), 0);
  alarm(0);
  fs::create_directory(dir + "/folder");
  char text[256] = "x";
  read_string(text, (dir + "/folder").c_str());
  EXPECT_STREQ(text, "");
  // A long file gives its first 255 bytes.
  write_file(target, std::string(300, '7'));
  read_string(text, target.c_str());
  EXPECT_EQ(std::string(text), std::string(255, '7'));
}
