// The skip of a test whose program is missing, and the failure in its place when the
// environment requires every test to run.

#include "installed.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets VELM_REQUIRE_ALL (or removes it) for one test; check.sh runs the tests with it set.
class RequireAll {
public:
  explicit RequireAll(const char *value) {
    if (const char *old = getenv("VELM_REQUIRE_ALL"))
      saved_ = old;
    if (value != nullptr)
      setenv("VELM_REQUIRE_ALL", value, 1);
    else
      unsetenv("VELM_REQUIRE_ALL");
  }
  ~RequireAll() {
    if (saved_)
      setenv("VELM_REQUIRE_ALL", saved_->c_str(), 1);
    else
      unsetenv("VELM_REQUIRE_ALL");
  }
  RequireAll(const RequireAll &) = delete;
  RequireAll &operator=(const RequireAll &) = delete;

private:
  std::optional<std::string> saved_;
};

const char missing[] = "velm-no-such-program";

bool reached;
void needs(const char *program) {
  reached = false;
  SKIP_WITHOUT(program);
  reached = true;
}

// What `needs(program)` reported to the running test, kept from it.
struct Outcome {
  int results = 0;
  bool skipped = false;
  bool failed = false;
  std::string message;
};
Outcome outcome_of(const char *program) {
  testing::TestPartResultArray results;
  {
    testing::ScopedFakeTestPartResultReporter reporter(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    needs(program);
  }
  Outcome outcome;
  outcome.results = results.size();
  if (outcome.results > 0) {
    const testing::TestPartResult &first = results.GetTestPartResult(0);
    outcome.skipped = first.skipped();
    outcome.failed = first.fatally_failed();
    outcome.message = first.message();
  }
  return outcome;
}

} // namespace

TEST(Installed, FindsOnlyExecutableFilesOnThePath) {
  EXPECT_TRUE(installed("sh"));
  EXPECT_FALSE(installed(missing));
  EXPECT_FALSE(installed(""));       // the folder itself
  EXPECT_FALSE(installed("../etc")); // a folder
  EXPECT_FALSE(installed("../etc/passwd"));
}

TEST(Installed, MissingProgramSkipsUnlessEveryTestIsRequired) {
  {
    RequireAll unset(nullptr);
    EXPECT_EQ(when_absent(missing), Absent::skip);
    EXPECT_EQ(when_absent("sh"), Absent::no);
  }
  {
    RequireAll other("0");
    EXPECT_EQ(when_absent(missing), Absent::skip);
  }
  {
    RequireAll required("1");
    EXPECT_EQ(when_absent(missing), Absent::fail);
    EXPECT_EQ(when_absent("sh"), Absent::no);
  }
}

TEST(Installed, TheMacroSkipsFailsOrGoesOn) {
  {
    RequireAll unset(nullptr);
    const Outcome skipped = outcome_of(missing);
    EXPECT_EQ(skipped.results, 1);
    EXPECT_TRUE(skipped.skipped);
    EXPECT_EQ(skipped.message,
              "velm-no-such-program is not installed (sh tools/install-deps.sh installs it)");
    EXPECT_FALSE(reached);
  }
  {
    RequireAll required("1");
    const Outcome failed = outcome_of(missing);
    EXPECT_EQ(failed.results, 1);
    EXPECT_TRUE(failed.failed);
    EXPECT_NE(failed.message.find("VELM_REQUIRE_ALL=1 allows no skip"), std::string::npos)
        << failed.message;
    EXPECT_FALSE(reached);

    EXPECT_EQ(outcome_of("sh").results, 0);
    EXPECT_TRUE(reached);
  }
}
