// How a program finds the jukebox's other programs: PATH with the helpers' folder and its
// own in front, and, in the build tree (no libexec/velm beside bin/), its own folder.

#include "install_dirs.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

TEST(InstallDirs, PathGetsTheHelpersThenTheProgramsFolderFirstEachOnce) {
  EXPECT_EQ(path_with_first("/usr/bin:/bin", "/usr/libexec/velm", "/usr/bin"),
            "/usr/libexec/velm:/usr/bin:/bin");
  // Already there further on: moved to the front, not repeated (a daemon started by the
  // launcher does the same again).
  std::string once =
      path_with_first("/usr/local/bin:/usr/bin", "/opt/v/libexec/velm", "/opt/v/bin");
  EXPECT_EQ(path_with_first(once, "/opt/v/libexec/velm", "/opt/v/bin"), once);
  EXPECT_EQ(path_with_first("/a:/h:/b:/p", "/h", "/p"), "/h:/p:/a:/b");
  // In the build tree both are the program's folder.
  EXPECT_EQ(path_with_first("/usr/bin", "/b/bin", "/b/bin"), "/b/bin:/usr/bin");
  // Empty entries (the current folder) stay as they were; an unknown folder is left out.
  EXPECT_EQ(path_with_first(":/usr/bin::", "", "/x"), "/x::/usr/bin::");
  EXPECT_EQ(path_with_first("", "/h", "/p"), "/h:/p:");
}

TEST(InstallDirs, InTheBuildTreeTheHelpersAndWebFilesAreTheProgramsOwnFolder) {
  // This test program lies in the build tree, beside no libexec/velm or share/velm.
  std::string own = program_folder();
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(own.rfind(std::filesystem::canonical(VELM_BUILD_DIR).string(), 0), 0U) << own;
  EXPECT_EQ(helper_folder(), own);
  EXPECT_EQ(data_folder(), own);
}

TEST(InstallDirs, WithoutInstalledHelpersTheirFolderComesOnlyAfterTheCallersPath) {
  // The caller's order stays: a stand-in before the helpers still wins; missing ones come
  // last; nothing is added twice.
  std::string own = program_folder();
  setenv("PATH", "/stand-ins:/usr/bin", 1);
  add_helpers_to_path();
  EXPECT_EQ(std::string(getenv("PATH")), "/stand-ins:/usr/bin:" + own);
  setenv("PATH", ("/stand-ins:" + own + ":/usr/bin").c_str(), 1);
  add_helpers_to_path();
  EXPECT_EQ(std::string(getenv("PATH")), "/stand-ins:" + own + ":/usr/bin");
  // The launcher in the build tree, where there are no installed helpers, does the same.
  setenv("PATH", "/stand-ins:/usr/bin", 1);
  put_helpers_on_path();
  EXPECT_EQ(std::string(getenv("PATH")), "/stand-ins:/usr/bin:" + own);
  EXPECT_TRUE(on_path("/a::/b", ""));
  EXPECT_TRUE(on_path("/a:/b", "/b"));
  EXPECT_FALSE(on_path("/a:/bb", "/b"));
}
