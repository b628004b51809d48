#pragma once

// Runs each command in a sandbox and expects a usage error: status 2, the message in
// standard error, nothing on standard output.

#include "sandbox_run.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <string>

struct UsageCase {
  const char *command;
  const char *message; // expected in standard error
};

inline void expect_usage_errors(std::initializer_list<UsageCase> cases) {
  Sandbox sb;
  for (const UsageCase &c : cases) {
    RunResult r = sb.run(std::string("timeout 5 ") + c.command);
    EXPECT_EQ(r.status, 2) << c.command << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.command << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.command;
  }
}
