#pragma once

// A test that needs a program the machine may lack (chromium, busybox's web server) skips
// itself without it, so the other tests still run on a machine set up by hand. With
// VELM_REQUIRE_ALL=1 in the environment it fails instead: check.sh sets it after
// tools/install-deps.sh has installed those programs, so there a missing one means a
// broken set-up, and a skip would let a test pass the check without ever running.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

enum class Absent { no, skip, fail };

// Whether `program` is an executable in a folder of the sandbox's PATH after the build's.
inline bool installed(const std::string &program) {
  for (const char *dir :
       {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    const std::string path = std::string(dir) + "/" + program;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0)
      return true;
  }
  return false;
}

inline bool require_all() {
  const char *value = getenv("VELM_REQUIRE_ALL");
  return value != nullptr && strcmp(value, "1") == 0;
}

inline Absent when_absent(const std::string &program) {
  if (installed(program))
    return Absent::no;
  return require_all() ? Absent::fail : Absent::skip;
}

#define SKIP_WITHOUT(program)                                                                      \
  do {                                                                                             \
    const Absent velm_absent = when_absent(program);                                               \
    if (velm_absent == Absent::fail)                                                               \
      FAIL() << (program) << " is not installed, and VELM_REQUIRE_ALL=1 allows no skip (sh "       \
             << "tools/install-deps.sh installs it)";                                              \
    if (velm_absent == Absent::skip)                                                               \
      GTEST_SKIP() << (program) << " is not installed (sh tools/install-deps.sh installs it)";     \
  } while (false)
