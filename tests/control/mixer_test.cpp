// The mixer half of velm_control, run for real in a sandbox: the levels it sends to a
// stand-in OSS mixer, its display lines and trace, missing channels and a missing device,
// the settings restored from and saved to the state files, and saves that a kill cannot
// tear.

#include "control_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The display lines of a start that restores nothing (or only values out of range).
const std::vector<std::string> zero_start = {
    "display_setbalance 0", "display_setvolume 0", "display_setvolume 0",
    "display_setbass 0",    "display_settreble 0",
};

// The requests of a start on a mixer with every channel, before any command.
std::vector<std::string> start_requests(const std::string &pcm_after_balance,
                                        const std::string &pcm, const std::string &bass,
                                        const std::string &treble) {
  return {"READ_DEVMASK", "WRITE_VOLUME 0x5a5a",
          "READ_DEVMASK", pcm_after_balance,
          "READ_DEVMASK", pcm,
          "READ_DEVMASK", bass,
          treble};
}

std::string lines_feed(const std::string &lines, double hold_seconds = 0) {
  return "printf '%s' " + shell_quote(lines) + "; sleep " + std::to_string(hold_seconds);
}

// Shell text that runs velm_control in the control rig with the stand-in mixer preloaded.
// `feed` is shell text whose output goes into /tmp/fifo.control; `mask` is the channel
// mask the mixer reports ("fail" makes that request fail), or empty for a machine
// without /dev/mixer. The mixer's requests land in /tmp/mixer.log.
std::string mixer_rig(const std::string &feed, const std::string &options = "-d",
                      const std::string &mask = "0x17") {
  std::string script = control_rig_setup();
  if (!mask.empty())
    script += "touch /dev/mixer\n";
  script += "(" + feed + ") >/tmp/fifo.control &\n";
  script += "LD_PRELOAD=" + shell_quote(VELM_FAKEMIXER) +
            " VELM_FAKE_MIXER_LOG=/tmp/mixer.log VELM_FAKE_MIXER_MASK=" + shell_quote(mask) +
            " velm_control " + options +
            " >/tmp/control.out 2>/tmp/control.err; echo $? >/tmp/control.status\n"
            "wait $player_reader $display_reader\n";
  return script;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::string read_if_there(const Sandbox &sb, const std::string &inside) {
  return sb.exists(inside) ? sb.read(inside) : "";
}

// The messages of the daemon's standard error after its first line, each framed as
// "\r\n[velm_control] <text>\r\n". Anything else there fails the test.
std::vector<std::string> messages(const std::string &err) {
  std::vector<std::string> found;
  size_t at = err.find('\n');
  if (at == std::string::npos) {
    ADD_FAILURE() << "no start-up line in: " << err;
    return found;
  }
  ++at;
  const std::string open = "\r\n[velm_control] ";
  while (at < err.size()) {
    size_t end = err.find("\r\n", at + open.size());
    if (err.compare(at, open.size(), open) != 0 || end == std::string::npos) {
      ADD_FAILURE() << "unframed text on standard error: " << err.substr(at);
      break;
    }
    found.push_back(err.substr(at + open.size(), end - at - open.size()));
    at = end + 2;
  }
  return found;
}

// The trace lines of the mixer half: those of the mixer and device operations.
std::vector<std::string> mixer_traces(const std::string &err) {
  std::vector<std::string> found;
  for (const std::string &text : messages(err)) {
    if (text.rfind("mixer_", 0) == 0 || text.rfind("oss_", 0) == 0)
      found.push_back(text);
  }
  return found;
}

// What one run left behind.
struct MixerRun {
  RunResult result;
  std::vector<std::string> display;  // lines read from /tmp/fifo.display
  std::vector<std::string> requests; // lines of /tmp/mixer.log
  std::vector<std::string> traces;   // mixer and device trace lines
  std::string err;                   // the daemon's standard error
};

MixerRun run_mixer(Sandbox &sb, const std::string &script) {
  MixerRun run;
  run.result = sb.run(script);
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(read_if_there(sb, "/tmp/control.status"), "0\n");
  run.display = split_lines(read_if_there(sb, "/tmp/display.out"));
  run.requests = split_lines(read_if_there(sb, "/tmp/mixer.log"));
  run.err = read_if_there(sb, "/tmp/control.err");
  run.traces = mixer_traces(run.err);
  return run;
}

// The part of `all` after its first `skip` entries.
std::vector<std::string> after(const std::vector<std::string> &all, size_t skip) {
  if (all.size() < skip) {
    ADD_FAILURE() << "only " << all.size() << " entries, expected at least " << skip;
    return {};
  }
  return {all.begin() + static_cast<long>(skip), all.end()};
}

// The start writes 5 display lines, 5 mixer traces and, with every channel, 9 requests.
constexpr size_t START_DISPLAY = 5, START_TRACES = 5, START_REQUESTS = 9;

// The names in the sandbox's /tmp, sorted.
// The names in the sandbox's /tmp, leaving out a folder that leads to the checkout or
// build tree when that lies under /tmp (it stays visible at its own path).
std::vector<std::string> tmp_names(const Sandbox &sb) {
  std::vector<std::string> kept;
  for (const std::string &path : {std::string(source_dir()), std::string(bin_dir())}) {
    if (path.rfind("/tmp/", 0) == 0)
      kept.push_back(path.substr(5, path.find('/', 5) - 5));
  }
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(sb.path("/tmp"))) {
    std::string name = entry.path().filename().string();
    if (std::find(kept.begin(), kept.end(), name) == kept.end())
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Start

TEST(MixerStart, FirstStartSetsMasterAndSendsZeroes) {
  Sandbox sb;
  // While the daemon waits for lines, look at the descriptors it holds.
  MixerRun run =
      run_mixer(sb, mixer_rig("sleep 1; for d in /proc/[0-9]*; do "
                              "[ \"$(cat $d/comm 2>/dev/null)\" = velm_control ] && ls -l $d/fd; "
                              "done >/tmp/fds.txt",
                              "-d"));
  EXPECT_EQ(run.display, zero_start);
  EXPECT_EQ(run.requests, start_requests("WRITE_PCM 0x0000", "WRITE_PCM 0x0000",
                                         "WRITE_BASS 0x0000", "WRITE_TREBLE 0x0000"));
  EXPECT_EQ(run.traces,
            (std::vector<std::string>{"mixer_load", "mixer_setbalance 0", "mixer_setvolume 0 0",
                                      "mixer_setvolume 0 0", "mixer_settone 0 0"}));
  // The mixer is opened for each request and closed right after.
  std::string fds = sb.read("/tmp/fds.txt");
  EXPECT_NE(fds.find("/tmp/fifo.control"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("/dev/mixer"), std::string::npos) << fds;
  // Nothing is saved before the first 10 seconds are up.
  for (const char *file : {"/tmp/VOLUME", "/tmp/BALANCE", "/tmp/BASS", "/tmp/TREBLE"})
    EXPECT_FALSE(sb.exists(file)) << file;
}

TEST(MixerStart, ChangeBeforeTheFirstSaveIsLost) {
  Sandbox sb;
  MixerRun run = run_mixer(sb, mixer_rig(lines_feed("mixer_volumeup\nmixer_bassup\n")));
  EXPECT_EQ(after(run.display, START_DISPLAY),
            (std::vector<std::string>{"display_setvolume 4", "display_setbass 4",
                                      "display_settreble 0"}));
  EXPECT_FALSE(sb.exists("/tmp/VOLUME"));
  EXPECT_FALSE(sb.exists("/tmp/BASS"));

  // With files from an earlier save, they keep that save's values.
  sb.put("/tmp/VOLUME", "40");
  sb.put("/tmp/BASS", "12");
  run = run_mixer(sb, mixer_rig(lines_feed("mixer_volumeup\nmixer_bassup\n")));
  EXPECT_EQ(after(run.display, START_DISPLAY),
            (std::vector<std::string>{"display_setvolume 44", "display_setbass 16",
                                      "display_settreble 0"}));
  EXPECT_EQ(sb.read("/tmp/VOLUME"), "40");
  EXPECT_EQ(sb.read("/tmp/BASS"), "12");
}

// ---------------------------------------------------------------------------------------
// Levels

struct LevelCase {
  const char *volume_file;  // nullptr: no file
  const char *balance_file; // nullptr: no file
  const char *lines;
  std::vector<std::string> traces;   // mixer traces after the start
  std::vector<std::string> display;  // display lines after the start
  std::vector<std::string> requests; // mixer requests after the start
};

TEST(MixerLevels, BalanceLowersOneSide) {
  const LevelCase cases[] = {
      // Volume 90: balance -4 gives 90/86 (86.4 truncated), balance 4 gives 86/90.
      {"90",
       nullptr,
       "mixer_balanceleft\nmixer_balanceright\nmixer_balanceright\n",
       {"mixer_balanceleft", "mixer_setbalance -4", "mixer_setvolume 90 86", "mixer_balanceright",
        "mixer_setbalance 0", "mixer_setvolume 90 90", "mixer_balanceright", "mixer_setbalance 4",
        "mixer_setvolume 86 90"},
       {"display_setbalance -4", "display_setvolume 90", "display_setbalance 0",
        "display_setvolume 90", "display_setbalance 4", "display_setvolume 90"},
       {"READ_DEVMASK", "WRITE_PCM 0x565a", "READ_DEVMASK", "WRITE_PCM 0x5a5a", "READ_DEVMASK",
        "WRITE_PCM 0x5a56"}},
      // Volume 48 and balance -24 restored, then up to 52: 52/39 (39.52 truncated).
      {"48",
       "-24",
       "mixer_volumeup\n",
       {"mixer_volumeup", "mixer_setvolume 52 39"},
       {"display_setvolume 52"},
       {"READ_DEVMASK", "WRITE_PCM 0x2734"}},
      // Balance -100 silences the right side; a step beyond it keeps -100.
      {"60",
       "-96",
       "mixer_balanceleft\nmixer_balanceleft\n",
       {"mixer_balanceleft", "mixer_setbalance -100", "mixer_setvolume 60 0", "mixer_balanceleft",
        "mixer_setbalance -100", "mixer_setvolume 60 0"},
       {"display_setbalance -100", "display_setvolume 60", "display_setbalance -100",
        "display_setvolume 60"},
       {"READ_DEVMASK", "WRITE_PCM 0x003c", "READ_DEVMASK", "WRITE_PCM 0x003c"}},
      // Balance 100 silences the left side.
      {"60",
       "96",
       "mixer_balanceright\nmixer_balanceright\n",
       {"mixer_balanceright", "mixer_setbalance 100", "mixer_setvolume 0 60", "mixer_balanceright",
        "mixer_setbalance 100", "mixer_setvolume 0 60"},
       {"display_setbalance 100", "display_setvolume 60", "display_setbalance 100",
        "display_setvolume 60"},
       {"READ_DEVMASK", "WRITE_PCM 0x3c00", "READ_DEVMASK", "WRITE_PCM 0x3c00"}},
      // From the first start, steps of 4; below 0 the volume stays 0.
      {nullptr,
       nullptr,
       "mixer_volumeup\nmixer_volumeup\nmixer_volumedown\nmixer_volumedown\nmixer_volumedown\n",
       {"mixer_volumeup", "mixer_setvolume 4 4", "mixer_volumeup", "mixer_setvolume 8 8",
        "mixer_volumedown", "mixer_setvolume 4 4", "mixer_volumedown", "mixer_setvolume 0 0",
        "mixer_volumedown", "mixer_setvolume 0 0"},
       {"display_setvolume 4", "display_setvolume 8", "display_setvolume 4", "display_setvolume 0",
        "display_setvolume 0"},
       {"READ_DEVMASK", "WRITE_PCM 0x0404", "READ_DEVMASK", "WRITE_PCM 0x0808", "READ_DEVMASK",
        "WRITE_PCM 0x0404", "READ_DEVMASK", "WRITE_PCM 0x0000", "READ_DEVMASK",
        "WRITE_PCM 0x0000"}},
  };
  for (const LevelCase &c : cases) {
    SCOPED_TRACE(std::string("volume ") + (c.volume_file ? c.volume_file : "-") + ", balance " +
                 (c.balance_file ? c.balance_file : "-") + ", lines " + c.lines);
    Sandbox sb;
    if (c.volume_file != nullptr)
      sb.put("/tmp/VOLUME", c.volume_file);
    if (c.balance_file != nullptr)
      sb.put("/tmp/BALANCE", c.balance_file);
    MixerRun run = run_mixer(sb, mixer_rig(lines_feed(c.lines)));
    EXPECT_EQ(after(run.traces, START_TRACES), c.traces);
    EXPECT_EQ(after(run.display, START_DISPLAY), c.display);
    EXPECT_EQ(after(run.requests, START_REQUESTS), c.requests);
  }
}

TEST(MixerLevels, RequestsOutOfRangeKeepTheValueAndStillApplyIt) {
  struct Case {
    std::vector<std::pair<const char *, const char *>> files;
    const char *lines;
    std::vector<std::string> traces, display, requests;
  };
  const Case cases[] = {
      // 100 is the top: the trace, the display line and the write repeat 100.
      {{{"/tmp/VOLUME", "100"}},
       "mixer_volumeup\n",
       {"mixer_volumeup", "mixer_setvolume 100 100"},
       {"display_setvolume 100"},
       {"READ_DEVMASK", "WRITE_PCM 0x6464"}},
      // 98 + 4 is out of range: the volume stays 98, not raised to 100.
      {{{"/tmp/VOLUME", "98"}},
       "mixer_volumeup\n",
       {"mixer_volumeup", "mixer_setvolume 98 98"},
       {"display_setvolume 98"},
       {"READ_DEVMASK", "WRITE_PCM 0x6262"}},
      // Treble 100 stays; both tone lines are sent and both channels written.
      {{{"/tmp/TREBLE", "100"}, {"/tmp/BASS", "20"}},
       "mixer_trebleup\n",
       {"mixer_trebleup", "mixer_settone 20 100"},
       {"display_setbass 20", "display_settreble 100"},
       {"READ_DEVMASK", "WRITE_BASS 0x1414", "WRITE_TREBLE 0x6464"}},
      // Bass 0 stays 0 on the way down; treble 0 likewise.
      {{},
       "mixer_bassdown\nmixer_trebledown\n",
       {"mixer_bassdown", "mixer_settone 0 0", "mixer_trebledown", "mixer_settone 0 0"},
       {"display_setbass 0", "display_settreble 0", "display_setbass 0", "display_settreble 0"},
       {"READ_DEVMASK", "WRITE_BASS 0x0000", "WRITE_TREBLE 0x0000", "READ_DEVMASK",
        "WRITE_BASS 0x0000", "WRITE_TREBLE 0x0000"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.lines);
    Sandbox sb;
    for (const auto &[path, content] : c.files)
      sb.put(path, content);
    MixerRun run = run_mixer(sb, mixer_rig(lines_feed(c.lines)));
    EXPECT_EQ(after(run.traces, START_TRACES), c.traces);
    EXPECT_EQ(after(run.display, START_DISPLAY), c.display);
    EXPECT_EQ(after(run.requests, START_REQUESTS), c.requests);
  }
}

// ---------------------------------------------------------------------------------------
// Channels and device

TEST(MixerDevice, MissingChannelsAreSkipped) {
  const std::string lines = "mixer_volumeup\nmixer_trebleup\n";
  const std::vector<std::string> display = {"display_setvolume 4", "display_setbass 0",
                                            "display_settreble 4"};
  struct Case {
    const char *mask;
    std::vector<std::string> requests;   // the whole log
    std::vector<std::string> complaints; // device traces, in order
  };
  const Case cases[] = {
      // No master and no PCM channel: nothing written there, nothing said.
      {"0x06",
       {"READ_DEVMASK", "READ_DEVMASK", "READ_DEVMASK", "READ_DEVMASK", "WRITE_BASS 0x0000",
        "WRITE_TREBLE 0x0000", "READ_DEVMASK", "READ_DEVMASK", "WRITE_BASS 0x0000",
        "WRITE_TREBLE 0x0404"},
       {}},
      // No bass: the treble is not written either.
      {"0x15",
       {"READ_DEVMASK", "WRITE_VOLUME 0x5a5a", "READ_DEVMASK", "WRITE_PCM 0x0000", "READ_DEVMASK",
        "WRITE_PCM 0x0000", "READ_DEVMASK", "READ_DEVMASK", "WRITE_PCM 0x0404", "READ_DEVMASK"},
       {"oss_settone: failed to set bass", "oss_settone: failed to set bass"}},
      // No treble: the bass is written.
      {"0x13",
       {"READ_DEVMASK", "WRITE_VOLUME 0x5a5a", "READ_DEVMASK", "WRITE_PCM 0x0000", "READ_DEVMASK",
        "WRITE_PCM 0x0000", "READ_DEVMASK", "WRITE_BASS 0x0000", "READ_DEVMASK", "WRITE_PCM 0x0404",
        "READ_DEVMASK", "WRITE_BASS 0x0000"},
       {"oss_settone: failed to set treble", "oss_settone: failed to set treble"}},
      // A failed mask request counts as a mixer without channels.
      {"fail",
       {"READ_DEVMASK failed", "READ_DEVMASK failed", "READ_DEVMASK failed", "READ_DEVMASK failed",
        "READ_DEVMASK failed", "READ_DEVMASK failed"},
       {"oss_settone: failed to set bass", "oss_settone: failed to set bass"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("mask ") + c.mask);
    Sandbox sb;
    MixerRun run = run_mixer(sb, mixer_rig(lines_feed(lines), "-d", c.mask));
    EXPECT_EQ(after(run.display, START_DISPLAY), display);
    EXPECT_EQ(run.requests, c.requests);
    std::vector<std::string> complaints;
    for (const std::string &text : run.traces) {
      if (text.rfind("oss_", 0) == 0)
        complaints.push_back(text);
    }
    EXPECT_EQ(complaints, c.complaints);
    // The values change all the same.
    std::vector<std::string> changes;
    for (const std::string &text : run.traces) {
      if (text.rfind("oss_", 0) != 0)
        changes.push_back(text);
    }
    EXPECT_EQ(after(changes, START_TRACES),
              (std::vector<std::string>{"mixer_volumeup", "mixer_setvolume 4 4", "mixer_trebleup",
                                        "mixer_settone 0 4"}));

    // Without "-d" the device complaints are not written.
    Sandbox quiet;
    MixerRun silent = run_mixer(quiet, mixer_rig(lines_feed(lines), "", c.mask));
    EXPECT_EQ(silent.err, "DEBUG messages DISABLED.\n");
    EXPECT_EQ(silent.requests, c.requests);
  }
}

TEST(MixerDevice, NoMixerDeviceStillChangesValues) {
  const std::string missing =
      " Failed to open mixer device (/dev/mixer): No such file or directory";
  Sandbox sb;
  MixerRun run = run_mixer(sb, mixer_rig(lines_feed("mixer_volumeup\nmixer_bassup\n"), "-d", ""));
  EXPECT_EQ(run.display, (std::vector<std::string>{"display_setbalance 0", "display_setvolume 0",
                                                   "display_setvolume 0", "display_setbass 0",
                                                   "display_settreble 0", "display_setvolume 4",
                                                   "display_setbass 4", "display_settreble 0"}));
  EXPECT_EQ(run.traces, (std::vector<std::string>{
                            "oss_setvolume:" + missing,
                            "mixer_load",
                            "mixer_setbalance 0",
                            "mixer_setvolume 0 0",
                            "oss_setvolume():" + missing,
                            "mixer_setvolume 0 0",
                            "oss_setvolume():" + missing,
                            "mixer_settone 0 0",
                            "oss_settone:" + missing,
                            "mixer_volumeup",
                            "mixer_setvolume 4 4",
                            "oss_setvolume():" + missing,
                            "mixer_bassup",
                            "mixer_settone 4 0",
                            "oss_settone:" + missing,
                        }));
  EXPECT_FALSE(sb.exists("/tmp/mixer.log"));

  // Without "-d" nothing is said about it.
  Sandbox quiet;
  MixerRun silent =
      run_mixer(quiet, mixer_rig(lines_feed("mixer_volumeup\nmixer_bassup\n"), "", ""));
  EXPECT_EQ(silent.err, "DEBUG messages DISABLED.\n");
  EXPECT_EQ(silent.display, run.display);
}

TEST(MixerDevice, EachChangeTriesTheDeviceAgain) {
  Sandbox sb;
  // The mixer appears once the first change has been shown.
  std::string feed = "printf 'mixer_volumeup\\n'\n"
                     "i=0; until grep -qx 'display_setvolume 4' /tmp/display.out || "
                     "[ $i -ge 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                     "touch /dev/mixer\n"
                     "printf 'mixer_volumeup\\n'";
  MixerRun run = run_mixer(sb, mixer_rig(feed, "-d", ""));
  EXPECT_EQ(run.requests, (std::vector<std::string>{"READ_DEVMASK", "WRITE_PCM 0x0808"}));
  EXPECT_EQ(after(run.display, START_DISPLAY),
            (std::vector<std::string>{"display_setvolume 4", "display_setvolume 8"}));
}

// ---------------------------------------------------------------------------------------
// Restoring

TEST(MixerRestore, ValuesComeBackFromTheStateFiles) {
  struct Case {
    const char *volume, *balance, *bass, *treble;
    std::vector<std::string> display;  // the whole start
    std::vector<std::string> requests; // the whole start
    std::vector<std::string> traces;   // the whole start
  };
  const Case cases[] = {
      // -12 is a balance; 150 is no volume, which stays 0. Text around the number and
      // a newline do not matter.
      {"150",
       "-12",
       "8\n",
       "  96 dB",
       {"display_setbalance -12", "display_setvolume 0", "display_setvolume 0", "display_setbass 8",
        "display_settreble 96"},
       start_requests("WRITE_PCM 0x0000", "WRITE_PCM 0x0000", "WRITE_BASS 0x0808",
                      "WRITE_TREBLE 0x6060"),
       {"mixer_load", "mixer_setbalance -12", "mixer_setvolume 0 0", "mixer_setvolume 0 0",
        "mixer_settone 8 96"}},
      // No digits read as 0; -4 is no bass and 101 no treble. Volume 40 at balance 0.
      {"40\n",
       "left",
       "-4",
       "101",
       {"display_setbalance 0", "display_setvolume 0", "display_setvolume 40", "display_setbass 0",
        "display_settreble 0"},
       start_requests("WRITE_PCM 0x0000", "WRITE_PCM 0x2828", "WRITE_BASS 0x0000",
                      "WRITE_TREBLE 0x0000"),
       {"mixer_load", "mixer_setbalance 0", "mixer_setvolume 0 0", "mixer_setvolume 40 40",
        "mixer_settone 0 0"}},
      // Volume 44 at balance -12: the right side is 38 (38.72 truncated).
      {"44",
       "-12",
       "100",
       "0",
       {"display_setbalance -12", "display_setvolume 0", "display_setvolume 44",
        "display_setbass 100", "display_settreble 0"},
       start_requests("WRITE_PCM 0x0000", "WRITE_PCM 0x262c", "WRITE_BASS 0x6464",
                      "WRITE_TREBLE 0x0000"),
       {"mixer_load", "mixer_setbalance -12", "mixer_setvolume 0 0", "mixer_setvolume 44 38",
        "mixer_settone 100 0"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("volume ") + c.volume + ", balance " + c.balance);
    Sandbox sb;
    sb.put("/tmp/VOLUME", c.volume);
    sb.put("/tmp/BALANCE", c.balance);
    sb.put("/tmp/BASS", c.bass);
    sb.put("/tmp/TREBLE", c.treble);
    MixerRun run = run_mixer(sb, mixer_rig(lines_feed("")));
    EXPECT_EQ(run.display, c.display);
    EXPECT_EQ(run.requests, c.requests);
    EXPECT_EQ(run.traces, c.traces);
  }
}

// ---------------------------------------------------------------------------------------
// Saving (these wait for the save timer, 10 seconds)

TEST(MixerSave, SavesEachValueAsItsDigitsAfterTenSeconds) {
  Sandbox sb;
  sb.put("/tmp/VOLUME", "40\n");
  sb.put("/tmp/BALANCE", "-12");
  sb.put("/tmp/BASS", "+8");
  sb.put("/tmp/TREBLE", "treble");
  MixerRun run = run_mixer(sb, mixer_rig(lines_feed("mixer_volumeup\n", 12)));
  EXPECT_EQ(sb.read("/tmp/VOLUME"), "44");
  EXPECT_EQ(sb.read("/tmp/BALANCE"), "-12");
  EXPECT_EQ(sb.read("/tmp/BASS"), "8");
  EXPECT_EQ(sb.read("/tmp/TREBLE"), "0");
  int saves = 0;
  for (const std::string &text : run.traces)
    saves += text == "mixer_save";
  EXPECT_EQ(saves, 1);
  // Each file is replaced whole: nothing is left beside them.
  EXPECT_EQ(tmp_names(sb), (std::vector<std::string>{"BALANCE", "BASS", "TREBLE", "VOLUME", "bin",
                                                     "control.err", "control.out", "control.status",
                                                     "display.out", "fifo.control", "fifo.display",
                                                     "fifo.player", "mixer.log", "player.out"}));
}

TEST(MixerSave, UnwritableFileIsReportedAndTheOthersAreSaved) {
  Sandbox sb;
  sb.put("/tmp/BASS/keep", ""); // /tmp/BASS is a folder
  sb.put("/tmp/VOLUME", "20");
  MixerRun run = run_mixer(sb, mixer_rig(lines_feed("mixer_balanceleft\n", 12), ""));
  // Said without "-d", once for the one save.
  EXPECT_EQ(run.err, "DEBUG messages DISABLED.\n\r\n[velm_control] write_string failed\r\n");
  EXPECT_EQ(sb.read("/tmp/VOLUME"), "20");
  EXPECT_EQ(sb.read("/tmp/BALANCE"), "-4");
  EXPECT_EQ(sb.read("/tmp/TREBLE"), "0");
  EXPECT_TRUE(sb.exists("/tmp/BASS/keep"));
}

TEST(MixerSave, SaveComesWhileAScriptRuns) {
  Sandbox sb;
  sb.put("/tmp/stop.sleep", "12");
  // Note what the state file and the display hold at the moment the first save appears.
  std::string watch = "(i=0; until [ -e /tmp/VOLUME ] || [ $i -ge 300 ]; do sleep 0.05; "
                      "i=$((i+1)); done; cat /tmp/VOLUME >/tmp/volume.seen; "
                      "cat /tmp/display.out >/tmp/display.seen) &\nwatcher=$!\n";
  MixerRun run = run_mixer(
      sb, watch + mixer_rig(lines_feed("mixer_volumeup\nplayer_stop\nmixer_volumeup\n"), "-d") +
              "wait $watcher\n");
  EXPECT_EQ(sb.read("/tmp/scripts.log"), "stop.sh\n");
  // The save came while stop.sh slept: the first change is in it, the second not yet
  // made.
  EXPECT_EQ(sb.read("/tmp/volume.seen"), "4");
  std::vector<std::string> seen = split_lines(sb.read("/tmp/display.seen"));
  EXPECT_EQ(after(seen, START_DISPLAY), (std::vector<std::string>{"display_setvolume 4"}));
  EXPECT_EQ(after(run.display, START_DISPLAY),
            (std::vector<std::string>{"display_setvolume 4", "display_setvolume 8"}));
  EXPECT_EQ(sb.read("/tmp/VOLUME"), "4");
}

TEST(MixerSave, KilledDaemonNeverLeavesATornStateFile) {
  // The save timer is shortened to 1 ms, so that kills at random moments land before,
  // between and inside saves. Before each daemon starts, the state files get values of
  // several characters, so that a file cut short would show. Saves wait until the values
  // are restored, so after each kill every file must hold, as its whole content, its
  // value.
  Sandbox sb;
  std::string script = R"SH(
mkfifo /tmp/fifo.control /tmp/fifo.player /tmp/fifo.display
exec 7<>/tmp/fifo.control 8<>/tmp/fifo.player 9<>/tmp/fifo.display
cat <&8 >/dev/null &
cat <&9 >/dev/null &
touch /dev/mixer
# A value put in place whole, as a save of it would.
seed() { printf %s "$2" >/tmp/$1.seed && mv /tmp/$1.seed /tmp/$1; }
# The file must hold exactly the value.
check() {
  content=$(cat /tmp/$1) bytes=$(wc -c </tmp/$1)
  if [ "$content" = "$2" ] && [ "$bytes" -eq ${#2} ]; then return; fi
  echo "run $runs: /tmp/$1: $(od -An -c </tmp/$1)" >>/tmp/bad
}
runs=0 saved=0 torn=0
# 60 runs, or as many as 40 s allow on a busy machine.
end=$(($(date +%s) + 40))
while [ $runs -lt 60 ] && [ "$(date +%s)" -lt $end ]; do
  seed VOLUME 100; seed BALANCE -12; seed BASS 88; seed TREBLE 96
  LD_PRELOAD="$FAKEMIXER $FASTTIMER" VELM_FAKE_TIMER_MS=1 VELM_FAKE_MIXER_LOG=/tmp/mixer.log \
    velm_control -d >/dev/null 2>/tmp/run.err 7>&- 8>&- 9>&- &
  pid=$!
  r=$(od -An -N2 -tu2 /dev/urandom)
  sleep 0.0$(printf %02d $((r % 60)))
  kill -9 $pid
  wait $pid
  runs=$((runs + 1))
  check VOLUME 100; check BALANCE -12; check BASS 88; check TREBLE 96
  grep -q mixer_save /tmp/run.err && saved=$((saved + 1))
  grep -q 'write_string failed' /tmp/run.err && echo "run $runs: write_string failed" >>/tmp/bad
  # Files beside the known ones: a save the kill cut short.
  ls -A /tmp | grep -vqxE 'fifo\.(control|player|display)|VOLUME|BALANCE|BASS|TREBLE|mixer\.log|run\.err|bad' &&
    torn=$((torn + 1))
done
echo "$runs $saved $torn" >/tmp/counts
touch /tmp/bad
)SH";
  RunResult r = sb.run("export FAKEMIXER=" + shell_quote(VELM_FAKEMIXER) +
                           " FASTTIMER=" + shell_quote(VELM_FASTTIMER) + "\n" + script,
                       "", 60000);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string bad = sb.read("/tmp/bad");
  EXPECT_TRUE(bad.empty()) << bad.substr(0, 1000);
  int runs = 0, saved = 0, torn = 0;
  std::istringstream(sb.read("/tmp/counts")) >> runs >> saved >> torn;
  std::cout << "[          ] " << runs << " daemons killed: " << saved << " after saving, " << torn
            << " in the middle of a save\n";
  // The kills must have come after saves often enough for the test to mean anything (on
  // a loaded machine, or in the sanitizer build, a daemon takes longer to start, so fewer
  // runs fit in the time and fewer of them have saved).
  EXPECT_GE(runs, 20);
  EXPECT_GE(saved, runs / 8);
}
