// evplay, the recording player of the input tests: the records it writes into a FIFO are
// those of an event device on this machine (the layout of struct input_event of this
// build, 16 bytes on 32-bit machines, 24 on 64-bit ones), at the recording's times.

#include "sandbox_run.h"

#include <cstring>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <string>
#include <vector>

namespace {

std::vector<input_event> records(const std::string &bytes) {
  std::vector<input_event> events(bytes.size() / sizeof(input_event));
  if (!events.empty())
    memcpy(events.data(), bytes.data(), events.size() * sizeof(input_event));
  return events;
}

double seconds_of(const input_event &ev) {
  return static_cast<double>(ev.input_event_sec) + static_cast<double>(ev.input_event_usec) * 1e-6;
}

} // namespace

TEST(Evplay, WritesEachEventWithAReportAtItsTime) {
  Sandbox sb;
  sb.put("/tmp/rec", "# a press, a knob, a number\n"
                     "0 EV_KEY KEY_NEXTSONG 1\n"
                     "\n"
                     "100   EV_KEY  KEY_NEXTSONG 0\n"
                     "250 EV_REL REL_DIAL -1\n"
                     "250 2 0x08 3\n"
                     "300 EV_SYN SYN_REPORT 0\n"
                     "400 EV_KEY BTN_0 2\n");
  RunResult r = sb.run("mkfifo /dev/event0\ncat /dev/event0 >/tmp/out &\nreader=$!\n"
                       "evplay /tmp/rec /dev/event0 && wait $reader");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string bytes = sb.read("/tmp/out");
  ASSERT_EQ(bytes.size() % sizeof(input_event), 0U) << bytes.size();
  std::vector<input_event> events = records(bytes);
  struct Expected {
    int type, code, value;
  };
  const std::vector<Expected> expected = {
      {EV_KEY, KEY_NEXTSONG, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_NEXTSONG, 0},
      {EV_SYN, SYN_REPORT, 0},   {EV_REL, REL_DIAL, -1},  {EV_SYN, SYN_REPORT, 0},
      {EV_REL, REL_WHEEL, 3},    {EV_SYN, SYN_REPORT, 0}, {EV_SYN, SYN_REPORT, 0},
      {EV_KEY, BTN_0, 2},        {EV_SYN, SYN_REPORT, 0}};
  ASSERT_EQ(events.size(), expected.size());
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].type, expected[i].type) << i;
    EXPECT_EQ(events[i].code, expected[i].code) << i;
    EXPECT_EQ(events[i].value, expected[i].value) << i;
    EXPECT_LT(events[i].input_event_usec, 1000000U) << i;
  }
  // The times of the writes, as the records carry them: the recording's gaps, give or take
  // a busy machine's delay; an event and its report in the same write.
  double start = seconds_of(events[0]);
  EXPECT_GT(start, 1.6e9); // the real-time clock, as the kernel's records have by default
  // Compared field by field: on i386 a double in an x87 register is not the one in memory.
  EXPECT_EQ(events[1].input_event_sec, events[0].input_event_sec);
  EXPECT_EQ(events[1].input_event_usec, events[0].input_event_usec);
  EXPECT_NEAR(seconds_of(events[2]) - start, 0.100, 0.08);
  EXPECT_NEAR(seconds_of(events[4]) - start, 0.250, 0.08);
  EXPECT_NEAR(seconds_of(events[9]) - start, 0.400, 0.08);
  for (size_t i = 1; i < events.size(); ++i)
    EXPECT_GE(seconds_of(events[i]), seconds_of(events[i - 1])) << i;
}

// A recording it cannot play is refused before the device is opened, with its file and
// line; a device it cannot open is an error of its own.
TEST(Evplay, RefusesABadRecordingWithItsLine) {
  Sandbox sb;
  struct Case {
    const char *recording;
    const char *message;
  };
  for (const Case &c : {
           Case{"0 EV_KEY KEY_NOSUCHKEY 1\n", "/tmp/rec:1: unknown event code\n"},
           Case{"0 EV_NOPE KEY_A 1\n", "/tmp/rec:1: unknown event type\n"},
           Case{"# fine\n0 EV_KEY KEY_A 1\n0 EV_KEY KEY_A\n", "/tmp/rec:3: not \"TIME_MS TYPE "
                                                              "CODE VALUE\"\n"},
           Case{"100 EV_KEY KEY_A 1\n50 EV_KEY KEY_A 0\n", "/tmp/rec:2: the time goes back\n"},
           Case{"-5 EV_KEY KEY_A 1\n", "/tmp/rec:1: the time is not a number of milliseconds\n"},
           // A day at most; the 100 s before it stand (a 32-bit long once cut them off).
           Case{"100000 EV_KEY KEY_A 1\n86400001 EV_KEY KEY_A 0\n",
                "/tmp/rec:2: the time is not a number of milliseconds\n"},
           Case{"0 EV_KEY KEY_A one\n", "/tmp/rec:1: the value is not a number\n"},
           Case{"0 EV_KEY 70000 1\n", "/tmp/rec:1: unknown event code\n"},
       }) {
    sb.put("/tmp/rec", c.recording);
    // No reader: a recording that passed would block on the FIFO (and time out).
    RunResult r = sb.run("mkfifo /dev/event0\nevplay /tmp/rec /dev/event0", "", 10000);
    EXPECT_EQ(r.status, 2) << c.recording;
    EXPECT_EQ(r.err, std::string("evplay: ") + c.message) << c.recording;
  }
  sb.put("/tmp/rec", "0 EV_KEY KEY_A 1\n");
  RunResult r = sb.run("evplay /tmp/rec /dev/missing");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "evplay: /dev/missing: No such file or directory\n");
  r = sb.run("evplay /tmp/rec");
  EXPECT_EQ(r.status, 2);
}
