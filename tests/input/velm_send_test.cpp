// velm_send refuses a waiting time it cannot read whole.

#include "tool_options.h"

#include <gtest/gtest.h>

TEST(VelmSend, RefusesMalformedWaits) {
  expect_usage_errors({
      {"velm_send -w soon /tmp/fifo.none line", "usage: velm_send"},
      {"velm_send -w -5 /tmp/fifo.none line", "usage: velm_send"},
  });
}
