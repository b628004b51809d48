// The names under /tmp are listed once, in C++; the scripts' velm-paths.sh and the
// chooser are made from that list by the build and must say the same.

#include "paths.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

TEST(SharedNames, TheScriptsSeeEveryNameOfTheList) {
  std::string script = ". velm-paths.sh\n", expected;
  for (const SharedPath &shared : SHARED_PATHS) {
    script += std::string("printf '%s\\n' \"$") + shared.name + "\"\n";
    expected += std::string(shared.path) + "\n";
  }
  // Nothing more than the list, either.
  script += "grep -c '^[A-Z]' " + shell_quote(std::string(bin_dir()) + "/velm-paths.sh") + "\n";
  expected += std::to_string(SHARED_PATH_COUNT) + "\n";
  Sandbox sb;
  RunResult r = sb.run(script);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
}

TEST(SharedNames, EachPathOnceAndAllUnderTmp) {
  std::set<std::string> paths;
  for (const SharedPath &shared : SHARED_PATHS) {
    EXPECT_TRUE(paths.insert(shared.path).second) << shared.path;
    EXPECT_TRUE(std::string(shared.path).starts_with("/tmp/")) << shared.path;
  }
}
