// The control daemon's core in this process: the command table, the player operations
// and the mixer, linked with recorders of the test's own in place of the FIFOs, the
// shell, the mixer device and the resume point. Every seam call lands in one log, so
// a test sees what a line did and in which order.

#include "commands.h"
#include "control.h"
#include "daemon.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;

Log events;
int unsent = 0; // lines written but not yet flushed
int frame = 0;  // what /tmp/FRAMEPOS holds

// The mixer device: the channels it has, or that it cannot be opened at all.
constexpr int MASK_VOLUME = 0x01, MASK_BASS = 0x02, MASK_TREBLE = 0x04, MASK_PCM = 0x10;
constexpr int ALL_CHANNELS = MASK_VOLUME | MASK_BASS | MASK_TREBLE | MASK_PCM;
int channels = ALL_CHANNELS;
bool mixer_missing = false;
bool mask_fails = false;
int open_now = 0;
constexpr int MIXER_FD = 1000;

std::string levels(int word) {
  return std::to_string(word & 0xFF) + "/" + std::to_string(word >> 8);
}

class ControlCore : public ::testing::Test {
protected:
  void SetUp() override {
    channels = ALL_CHANNELS;
    mixer_missing = mask_fails = false;
    frame = 0;
    debug_enabled = false;
    // The settings as at the first start without state files.
    mixer_setbalance(0);
    mixer_setvolume(0);
    mixer_settone(0, 0);
    events.clear();
    unsent = 0;
  }
  void TearDown() override {
    EXPECT_EQ(open_now, 0) << "the mixer device is closed after each use";
    debug_enabled = false;
  }

  // The events of one line.
  static Log line(const char *text) {
    events.clear();
    dispatch(text);
    return events;
  }
};

} // namespace

void ipc_write_player(const char *line) {
  events.push_back(std::string("player ") + line);
  ++unsent;
}

void ipc_write_display(const char *line) {
  events.push_back(std::string("display ") + line);
  ++unsent;
}

void ipc_flush() {
  unsent = 0;
}

void ipc_reopen_player() {
  ipc_flush();
  events.emplace_back("reopen");
}

int shell_run(const char *command) {
  // A script may write to the player itself: the lines before it must be out already.
  EXPECT_EQ(unsent, 0) << command;
  events.push_back(std::string("sh ") + command);
  return 0;
}

int mixer_device_open() {
  if (mixer_missing) {
    errno = ENOENT;
    return -1;
  }
  EXPECT_EQ(open_now, 0);
  ++open_now;
  events.emplace_back("open");
  return MIXER_FD;
}

int mixer_device_request(int fd, unsigned long request, int *argument) {
  EXPECT_EQ(fd, MIXER_FD);
  EXPECT_EQ(open_now, 1);
  switch (request) {
  case 0x80044DFE: // the device mask
    if (mask_fails) {
      errno = EINVAL;
      return -1;
    }
    *argument = channels;
    return 0;
  case 0xC0044D00:
    events.push_back("master " + levels(*argument));
    return 0;
  case 0xC0044D01:
    events.push_back("bass " + levels(*argument));
    return 0;
  case 0xC0044D02:
    events.push_back("treble " + levels(*argument));
    return 0;
  case 0xC0044D04:
    events.push_back("pcm " + levels(*argument));
    return 0;
  default:
    ADD_FAILURE() << "request " << std::hex << request;
    return -1;
  }
}

void mixer_device_close(int fd) {
  EXPECT_EQ(fd, MIXER_FD);
  --open_now;
  events.emplace_back("close");
}

int saved_frame() {
  return frame;
}

TEST_F(ControlCore, ScriptWordsRunTheirCommandLines) {
  for (auto [word, script] : {std::pair{"player_stop", "stop.sh"},
                              {"player_pause", "pause.sh"},
                              {"player_changernd", "changernd.sh"},
                              {"player_changedev", "changedev.sh"},
                              {"player_nextlist", "nextlist.sh"},
                              {"player_nextsong", "nextsong.sh"},
                              {"player_prevlist", "prevlist.sh"},
                              {"player_prevsong", "prevsong.sh"},
                              {"player_sayinfo", "sayinfo.sh"},
                              {"player_gotolist 12", "gotolist.sh 12"},
                              {"player_gotolist 12345", "gotolist.sh 1234"},
                              {"player_gotolist0", "gotolist.sh 0"},
                              {"player_gotosong 7x", "gotosong.sh 7"},
                              {"player_gotosong \t 0042", "gotosong.sh 42"}})
    EXPECT_EQ(line(word), Log{std::string("sh ") + script}) << word;
}

TEST_F(ControlCore, JumpWordsWriteTheirPlayerLines) {
  struct Case {
    const char *line;
    Log events;
  } const cases[] = {
      {"player_jumpfw", {"player JUMP +200"}},
      {"player_jumpbw", {"player JUMP -200"}},
      {"player_jump 150", {"player JUMP +150"}},
      {"player_jump42", {"player JUMP +42"}},
      {"player_jump 0", {}},
      {"player_jump 9999999999999999", {"player JUMP +2147483647"}},
      // Sixteen digits are taken, the seventeenth is not.
      {"player_jump 00000000000000123", {"player JUMP +12"}},
      {"player_jumpto 500", {"player JUMP 500"}},
      {"player_jumpto 500 frames", {"player JUMP 500"}},
      {"player_jumpto 0", {}},
  };
  for (const Case &c : cases)
    EXPECT_EQ(line(c.line), c.events) << c.line;
}

TEST_F(ControlCore, LinesThatFireNoRowDoNothing) {
  for (const char *text :
       {"", "player_jump", "player_jump -5", "player_jump +5", "player_jumpto", "player_gotolist",
        "player_gotosong x1", "player_stop ", "player_stop\r", "player_stopx", "Player_stop",
        "mixer_volumeup ", "mixer_volume", "player_jumpfwd", "display_setvolume 4", "stop.sh"})
    EXPECT_EQ(line(text), Log{}) << '"' << text << '"';
}

// The table the input handlers send from: every word of it is acted on here, in the
// form they send, and the lines this daemon passes over are not in it.
TEST_F(ControlCore, SendersTableMatchesTheDispatch) {
  for (int i = 0; i < CONTROL_WORD_COUNT; ++i) {
    EXPECT_TRUE(is_control_line(CONTROL_WORDS[i])) << CONTROL_WORDS[i];
    EXPECT_NE(line(CONTROL_WORDS[i]), Log{}) << CONTROL_WORDS[i];
  }
  for (int i = 0; i < CONTROL_NUMERIC_WORD_COUNT; ++i) {
    const NumericWord &w = CONTROL_NUMERIC_WORDS[i];
    std::string longest = std::string(w.word) + " " + std::string(w.max_digits - 1, '0') + "7";
    for (const std::string &text : {std::string(w.word) + " 7", longest}) {
      EXPECT_TRUE(is_control_line(text.c_str())) << text;
      EXPECT_NE(line(text.c_str()), Log{}) << text;
    }
    // One digit more would be cut off by the daemon: the 7 would be lost.
    std::string too_long = std::string(w.word) + " " + std::string(w.max_digits, '0') + "7";
    EXPECT_FALSE(is_control_line(too_long.c_str())) << too_long;
    EXPECT_EQ(line(too_long.c_str()), line((std::string(w.word) + " 0").c_str())) << too_long;
  }
  for (const char *text :
       {"", "player_jump", "player_jump -5", "player_jump +5", "player_jumpto", "player_gotolist",
        "player_gotosong x1", "player_stop ", "player_stop\r", "player_stopx", "Player_stop",
        "mixer_volumeup ", "mixer_volume", "player_jumpfwd", "display_setvolume 4", "stop.sh"}) {
    EXPECT_FALSE(is_control_line(text)) << text;
    EXPECT_EQ(line(text), Log{}) << text;
  }
  // Forms the daemon takes but the senders do not write.
  for (const char *text : {"player_jump42", "player_gotosong  12", "player_gotosong 12x",
                           "player_gotosong\t12", "player_jumpto 5 frames"})
    EXPECT_FALSE(is_control_line(text)) << text;
  EXPECT_TRUE(is_display_mode_line("display_setmode 1"));
  EXPECT_TRUE(is_display_mode_line("display_setmode 0"));
  for (const char *text : {"display_setmode", "display_setmode 12", "display_setmode x",
                           "display_setmode  1", "display_setmode 1 "})
    EXPECT_FALSE(is_display_mode_line(text)) << text;
}

TEST_F(ControlCore, StartupResumesAtTheSavedFrame) {
  frame = 900;
  EXPECT_EQ(line("player_startup"),
            (Log{"sh echo startup >/tmp/STATUS", "sh stop.sh", "player JUMP 900"}));
  frame = 0;
  EXPECT_EQ(line("player_startup"), (Log{"sh echo startup >/tmp/STATUS", "sh stop.sh"}));
}

TEST_F(ControlCore, RestartReopensThePlayerFifoFirst) {
  EXPECT_EQ(line("player_restart"),
            (Log{"reopen", "sh echo startup >/tmp/STATUS", "sh nextsong.sh", "sh stop.sh"}));
}

TEST_F(ControlCore, LinesGoOutBeforeAScriptRuns) {
  // A mixer line waits for the next flush; running a script is one (shell_run checks).
  line("mixer_volumeup");
  EXPECT_EQ(unsent, 1);
  EXPECT_EQ(line("player_nextsong"), Log{"sh nextsong.sh"});
  EXPECT_EQ(unsent, 0);
}

TEST_F(ControlCore, VolumeStepsStayInRange) {
  EXPECT_EQ(line("mixer_volumeup"),
            (Log{"display display_setvolume 4", "open", "pcm 4/4", "close"}));
  EXPECT_EQ(line("mixer_volumedown"),
            (Log{"display display_setvolume 0", "open", "pcm 0/0", "close"}));
  // Below 0 and above 100 the value stays, and is still sent and applied.
  EXPECT_EQ(line("mixer_volumedown"),
            (Log{"display display_setvolume 0", "open", "pcm 0/0", "close"}));
  mixer_setvolume(100);
  EXPECT_EQ(line("mixer_volumeup"),
            (Log{"display display_setvolume 100", "open", "pcm 100/100", "close"}));
  // 98 (from a state file) is not raised to 100.
  mixer_setvolume(98);
  line("mixer_volumeup");
  EXPECT_EQ(mixer_settings().volume, 98);
  mixer_setvolume(101);
  EXPECT_EQ(mixer_settings().volume, 98);
}

TEST_F(ControlCore, BalanceLowersOneSide) {
  struct Case {
    int volume, balance;
    const char *pcm;
  } const cases[] = {{90, -4, "pcm 90/86"},  {90, 4, "pcm 86/90"},   {52, -24, "pcm 52/39"},
                     {52, 0, "pcm 52/52"},   {60, -100, "pcm 60/0"}, {60, 100, "pcm 0/60"},
                     {100, -1, "pcm 100/99"}};
  for (const Case &c : cases) {
    mixer_setbalance(c.balance);
    events.clear();
    mixer_setvolume(c.volume);
    EXPECT_EQ(events, (Log{"display display_setvolume " + std::to_string(c.volume), "open", c.pcm,
                           "close"}))
        << c.volume << " " << c.balance;
  }
}

TEST_F(ControlCore, BalanceStepsResendTheVolume) {
  mixer_setvolume(40);
  EXPECT_EQ(line("mixer_balanceright"),
            (Log{"display display_setbalance 4", "display display_setvolume 40", "open",
                 "pcm 38/40", "close"}));
  line("mixer_balanceleft");
  EXPECT_EQ(line("mixer_balanceleft"),
            (Log{"display display_setbalance -4", "display display_setvolume 40", "open",
                 "pcm 40/38", "close"}));
  mixer_setbalance(-100);
  line("mixer_balanceleft");
  EXPECT_EQ(mixer_settings().balance, -100);
  mixer_setbalance(100);
  line("mixer_balanceright");
  EXPECT_EQ(mixer_settings().balance, 100);
}

TEST_F(ControlCore, ToneStepsSendBothValues) {
  EXPECT_EQ(line("mixer_bassup"), (Log{"display display_setbass 4", "display display_settreble 0",
                                       "open", "bass 4/4", "treble 0/0", "close"}));
  EXPECT_EQ(line("mixer_trebleup"), (Log{"display display_setbass 4", "display display_settreble 4",
                                         "open", "bass 4/4", "treble 4/4", "close"}));
  line("mixer_bassdown");
  line("mixer_bassdown");
  line("mixer_trebledown");
  EXPECT_EQ(mixer_settings().bass, 0);
  EXPECT_EQ(mixer_settings().treble, 0);
  // Each value is checked on its own: one out of range leaves the other to change.
  mixer_settone(100, 100);
  EXPECT_EQ(line("mixer_trebleup"),
            (Log{"display display_setbass 100", "display display_settreble 100", "open",
                 "bass 100/100", "treble 100/100", "close"}));
  mixer_settone(-1, 52);
  MixerSettings s = mixer_settings();
  EXPECT_EQ(s.bass, 100);
  EXPECT_EQ(s.treble, 52);
}

TEST_F(ControlCore, MissingChannelsAreSkipped) {
  mixer_setvolume(20);
  channels = MASK_BASS | MASK_TREBLE;
  EXPECT_EQ(line("mixer_volumeup"), (Log{"display display_setvolume 24", "open", "close"}));

  // Without bass the treble is not written either.
  channels = MASK_PCM | MASK_TREBLE;
  debug_enabled = true;
  testing::internal::CaptureStderr();
  Log tone = line("mixer_bassup");
  std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_EQ(tone,
            (Log{"display display_setbass 4", "display display_settreble 0", "open", "close"}));
  EXPECT_NE(trace.find(" oss_settone: failed to set bass\r\n"), std::string::npos) << trace;

  channels = MASK_PCM | MASK_BASS;
  testing::internal::CaptureStderr();
  tone = line("mixer_bassup");
  trace = testing::internal::GetCapturedStderr();
  EXPECT_EQ(tone, (Log{"display display_setbass 8", "display display_settreble 0", "open",
                       "bass 8/8", "close"}));
  EXPECT_NE(trace.find(" oss_settone: failed to set treble\r\n"), std::string::npos) << trace;
  debug_enabled = false;

  // A device mask that cannot be read counts as no channels at all.
  channels = ALL_CHANNELS;
  mask_fails = true;
  EXPECT_EQ(line("mixer_volumeup"), (Log{"display display_setvolume 28", "open", "close"}));
}

TEST_F(ControlCore, NoMixerDeviceStillChangesTheValues) {
  mixer_missing = true;
  debug_enabled = true;
  debug_init("[velm_control]");
  testing::internal::CaptureStderr();
  Log volume = line("mixer_volumeup");
  Log tone = line("mixer_trebleup");
  std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_EQ(volume, Log{"display display_setvolume 4"});
  EXPECT_EQ(tone, (Log{"display display_setbass 0", "display display_settreble 4"}));
  EXPECT_EQ(trace, "\r\n[velm_control] mixer_volumeup\r\n"
                   "\r\n[velm_control] mixer_setvolume 4 4\r\n"
                   "\r\n[velm_control] oss_setvolume(): Failed to open mixer device (/dev/mixer): "
                   "No such file or directory\r\n"
                   "\r\n[velm_control] mixer_trebleup\r\n"
                   "\r\n[velm_control] mixer_settone 0 4\r\n"
                   "\r\n[velm_control] oss_settone: Failed to open mixer device (/dev/mixer): "
                   "No such file or directory\r\n");
  // The next change tries the device again.
  debug_enabled = false;
  mixer_missing = false;
  EXPECT_EQ(line("mixer_volumeup"),
            (Log{"display display_setvolume 8", "open", "pcm 8/8", "close"}));
}

TEST_F(ControlCore, PlayerTraces) {
  debug_enabled = true;
  debug_init("[velm_control]");
  testing::internal::CaptureStderr();
  line("player_jumpfw");
  line("player_jumpto 7");
  line("player_sayinfo");
  line("player_gotosong 3");
  std::string trace = testing::internal::GetCapturedStderr();
  // The absolute jump's line is not traced, and player_sayinfo traces nothing.
  EXPECT_EQ(trace, "\r\n[velm_control] player_jumpfw\r\n"
                   "\r\n[velm_control] player_jump\r\n"
                   "\r\n[velm_control] JUMP +200\r\n"
                   "\r\n[velm_control] player_jumpto\r\n"
                   "\r\n[velm_control] player_gotosong\r\n");
}
