// The play core in process: every move from every state, with an io that keeps the files
// in memory and records each step, so the order of the durable steps can be cut short
// anywhere, as a power cut would, and the next start checked.

#include "core.h"
#include "paths.h"
#include "playstate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Two devices; device 1 has lists A (three songs) and B, device 2 list C.
const char COLLECTION[] = "1 0 0 /mnt/dev1\n"
                          "1 1 0 /mnt/dev1/A\n"
                          "1 1 1 /mnt/dev1/A/01_one.mp3\n"
                          "1 1 2 /mnt/dev1/A/02_two.mp3\n"
                          "1 1 3 /mnt/dev1/A/03_three.mp3\n"
                          "1 2 0 /mnt/dev1/B\n"
                          "1 2 1 /mnt/dev1/B/01_four.mp3\n"
                          "2 0 0 /mnt/dev2\n"
                          "2 1 0 /mnt/dev2/C\n"
                          "2 1 1 /mnt/dev2/C/01_five.mp3\n"
                          "2 1 2 /mnt/dev2/C/02_six.mp3\n";
const char ORDER[] = "1 1 1 1\n2 1 1 2\n3 1 1 3\n4 1 2 1\n5 2 1 1\n6 2 1 2\n";

const char *path_of(const std::string &song) {
  static const std::map<std::string, const char *> paths = {
      {"1 1 1", "/mnt/dev1/A/01_one.mp3"},   {"1 1 2", "/mnt/dev1/A/02_two.mp3"},
      {"1 1 3", "/mnt/dev1/A/03_three.mp3"}, {"1 2 1", "/mnt/dev1/B/01_four.mp3"},
      {"2 1 1", "/mnt/dev2/C/01_five.mp3"},  {"2 1 2", "/mnt/dev2/C/02_six.mp3"}};
  return paths.at(song);
}

std::string record(const std::string &song, const char *status, const char *frame,
                   int generation = 5) {
  return "song " + song + "\nstatus " + status + "\nframe " + frame + "\ngeneration " +
         std::to_string(generation) + "\n";
}

std::string frame_text(int frame) {
  char text[32];
  snprintf(text, sizeof text, "%16d\n", frame);
  return text;
}

// The files of the machine, the steps taken in order, and the lines sent.
struct World {
  std::map<std::string, std::string> files;
  std::vector<std::string> steps; // "replace PATH", "remove PATH", "player LINE", "display ..."
  std::vector<std::string> player, display, spoken, reports;
  std::set<std::string> failing; // files whose replacement fails (no space left)
  bool fifos_fail = false;

  World() {
    files[MPL_PATH] = COLLECTION;
    files[OPL_PATH] = ORDER;
  }

  PlayIo io() {
    PlayIo io;
    io.read = [this](const char *path, std::string &text) {
      auto found = files.find(path);
      if (found == files.end())
        return false;
      text = found->second;
      return true;
    };
    io.replace = [this](const char *path, const std::string &text) {
      if (failing.contains(path)) {
        errno = ENOSPC;
        return false;
      }
      files[path] = text;
      steps.push_back(std::string("replace ") + path);
      return true;
    };
    io.remove = [this](const char *path) {
      if (files.erase(path) != 0)
        steps.push_back(std::string("remove ") + path);
      return true;
    };
    io.open_list = [this](const char *path) -> FILE * {
      auto found = files.find(path);
      if (found == files.end())
        return nullptr;
      lists.push_back(found->second);
      if (lists.back().empty())
        return fopen("/dev/null", "re");
      return fmemopen(lists.back().data(), lists.back().size(), "r");
    };
    io.player = [this](const std::string &line) {
      if (fifos_fail)
        return false;
      player.push_back(line);
      steps.push_back("player " + line);
      return true;
    };
    io.display = [this](const std::vector<std::string> &lines) {
      if (fifos_fail)
        return false;
      std::string joined;
      for (const std::string &line : lines) {
        display.push_back(line);
        joined += (joined.empty() ? "" : " | ") + line;
      }
      steps.push_back("display " + joined);
      return true;
    };
    io.say = [this](const std::string &title) { spoken.push_back(title); };
    io.report = [this](const std::string &message) { reports.push_back(message); };
    return io;
  }

  // Runs one move as its command line gives it.
  bool move(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (std::string &word : words)
      argv.push_back(word.data());
    PlayRequest request{};
    if (!parse_play_request(static_cast<int>(argv.size()), argv.data(), &request)) {
      ADD_FAILURE() << "not a request: " << words[0];
      return false;
    }
    PlayIo io = this->io();
    return play_move(io, request);
  }

  std::string file(const char *path) const {
    auto found = files.find(path);
    return found == files.end() ? "(none)" : found->second;
  }
  PlayState state() const { return parse_play_state(file(PLAYSTATE_PATH)); }
  std::string song() const {
    PlayState s = state();
    return s.has_song ? std::to_string(s.song.device) + " " + std::to_string(s.song.list) + " " +
                            std::to_string(s.song.song)
                      : "none";
  }

private:
  std::list<std::string> lists; // the texts of the lists opened, kept while they are read
};

// The jukebox as each state leaves it: song 1 1 2 checkpointed at frame 766.
enum class From { play, pause, stop, startup };

World world_from(From from) {
  World w;
  const char *status = from == From::pause ? "pause" : from == From::stop ? "stop" : "play";
  w.files[PLAYSTATE_PATH] = record("1 1 2", status, "kept");
  w.files[STATUS_PATH] = from == From::startup ? "startup\n" : std::string(status) + "\n";
  w.files[FRAMEPOS_PATH] = frame_text(766);
  w.files[RANDOM_PATH] = "s\n";
  return w;
}

std::string load(const char *song) {
  return std::string("LOAD ") + path_of(song);
}

} // namespace

TEST(PlayCore, EveryVerbFromEveryState) {
  struct Case {
    std::vector<std::string> words;
    // What the player is told and where the jukebox stands after, from play, pause,
    // stop and start-up in turn: "-" for no player line.
    std::string player[4];
    const char *song[4];
    const char *status[4]; // /tmp/STATUS
  };
  const std::string paused_load = std::string("LOADPAUSED ") + path_of("1 1 2");
  const Case cases[] = {
      {{"next"},
       {load("1 1 3"), load("1 1 3"), load("1 1 3"), paused_load},
       {"1 1 3", "1 1 3", "1 1 3", "1 1 2"},
       {"play", "play", "play", "startup"}},
      {{"prev"},
       {load("1 1 1"), load("1 1 1"), load("1 1 1"), load("1 1 1")},
       {"1 1 1", "1 1 1", "1 1 1", "1 1 1"},
       {"play", "play", "play", "play"}},
      {{"nextlist"},
       {load("1 2 1"), load("1 2 1"), load("1 2 1"), load("1 2 1")},
       {"1 2 1", "1 2 1", "1 2 1", "1 2 1"},
       {"play", "play", "play", "play"}},
      {{"prevlist"}, // before the first list: the last
       {load("2 1 1"), load("2 1 1"), load("2 1 1"), load("2 1 1")},
       {"2 1 1", "2 1 1", "2 1 1", "2 1 1"},
       {"play", "play", "play", "play"}},
      {{"gotolist", "2"},
       {load("1 2 1"), load("1 2 1"), load("1 2 1"), load("1 2 1")},
       {"1 2 1", "1 2 1", "1 2 1", "1 2 1"},
       {"play", "play", "play", "play"}},
      {{"gotosong", "3"},
       {load("1 1 3"), load("1 1 3"), load("1 1 3"), load("1 1 3")},
       {"1 1 3", "1 1 3", "1 1 3", "1 1 3"},
       {"play", "play", "play", "play"}},
      {{"pause"},
       {"PAUSE", "PAUSE", load("1 1 2"), "PAUSE"},
       {"1 1 2", "1 1 2", "1 1 2", "1 1 2"},
       {"pause", "play", "play", "play"}},
      {{"stop"},
       {"STOP", "STOP", "STOP", paused_load},
       {"1 1 2", "1 1 2", "1 1 2", "1 1 2"},
       {"stop", "stop", "stop", "startup"}},
      {{"random"},
       {"-", "-", "-", "-"},
       {"1 1 2", "1 1 2", "1 1 2", "1 1 2"},
       {"play", "pause", "stop", "startup"}},
      {{"device"},
       {load("2 1 1"), load("2 1 1"), load("2 1 1"), load("2 1 1")},
       {"2 1 1", "2 1 1", "2 1 1", "2 1 1"},
       {"play", "play", "play", "play"}},
      {{"address", "2", "1", "2"},
       {load("2 1 2"), load("2 1 2"), load("2 1 2"), load("2 1 2")},
       {"2 1 2", "2 1 2", "2 1 2", "2 1 2"},
       {"play", "play", "play", "play"}},
      {{"say"},
       {"-", "-", "-", "-"},
       {"1 1 2", "1 1 2", "1 1 2", "1 1 2"},
       {"play", "pause", "stop", "startup"}},
      {{"song-ended"}, // only a song that played to its end is followed by the next
       {load("1 1 3"), "-", "-", "-"},
       {"1 1 3", "1 1 2", "1 1 2", "1 1 2"},
       {"play", "pause", "stop", "startup"}},
      {{"startup"}, // the checkpoint is no song's end
       {"-", "-", "-", "-"},
       {"1 1 2", "1 1 2", "1 1 2", "1 1 2"},
       {"play", "pause", "stop", "startup"}},
      {{"rescan"}, // the song is still there: it plays on untouched
       {"-", "-", "-", "-"},
       {"1 1 2", "1 1 2", "1 1 2", "1 1 2"},
       {"play", "pause", "stop", "startup"}},
  };
  const char *names[] = {"play", "pause", "stop", "startup"};
  for (const Case &c : cases) {
    for (int from = 0; from < 4; ++from) {
      SCOPED_TRACE(c.words[0] + " from " + names[from]);
      World w = world_from(static_cast<From>(from));
      EXPECT_TRUE(w.move(c.words));
      std::string told = w.player.empty() ? "-" : w.player[0];
      EXPECT_EQ(told, c.player[from]);
      EXPECT_LE(w.player.size(), 1U);
      EXPECT_EQ(w.song(), c.song[from]);
      EXPECT_EQ(w.file(STATUS_PATH), std::string(c.status[from]) + "\n");
      EXPECT_TRUE(w.reports.empty()) << w.reports[0];
      // A song started anew is a new choice, with no resume point yet; any other move
      // keeps the song's checkpoint.
      PlayState after = w.state();
      bool started = told.starts_with("LOAD ");
      EXPECT_TRUE(after.frame_kept);
      EXPECT_EQ(after.generation, started ? 6 : 5);
      EXPECT_EQ(w.file(FRAMEPOS_PATH), started ? "(none)" : frame_text(766));
    }
  }
}

TEST(PlayCore, ASongChangeTellsThePlayerAndTheDisplayFirstThenRecordsTheChoice) {
  World w = world_from(From::play);
  ASSERT_TRUE(w.move({"next"}));
  const std::string shown = "display display_settitle Three | display_setstatus PLAY 1 1 3 | "
                            "display_settime +00:00 -00:00";
  const std::vector<std::string> steps = {
      "player LOAD /mnt/dev1/A/03_three.mp3",
      shown,
      "replace /tmp/PLAYSTATE", // frame fresh
      "remove /tmp/FRAMEPOS",
      "replace /tmp/PLAYSTATE", // frame kept
  };
  EXPECT_EQ(w.steps, steps);
  EXPECT_EQ(w.file(PLAYSTATE_PATH), record("1 1 3", "play", "kept", 6));

  // A stop is recorded before the player stops, so its report of the stop can never be
  // taken for the song's end.
  World s = world_from(From::play);
  ASSERT_TRUE(s.move({"stop"}));
  const std::vector<std::string> stop_steps = {"replace /tmp/PLAYSTATE", "replace /tmp/STATUS",
                                               "player STOP",
                                               "display display_setstatus STOP 1 1 2"};
  EXPECT_EQ(s.steps, stop_steps);
}

// What a start finds after a power cut: the start-up pass, then the control daemon's
// start (STATUS "startup", a stop that loads the song paused), and the frame it jumps to.
struct Boot {
  std::string song; // the song loaded paused
  std::string frame;
};

Boot boot(std::map<std::string, std::string> files) {
  World w;
  w.files = std::move(files);
  EXPECT_TRUE(w.move({"startup"}));
  w.files[STATUS_PATH] = "startup\n";
  EXPECT_TRUE(w.move({"stop"}));
  Boot b;
  for (const std::string &line : w.player) {
    if (line.starts_with("LOADPAUSED "))
      b.song = line.substr(11);
  }
  b.frame = w.file(FRAMEPOS_PATH);
  return b;
}

// Runs the move from the world's files again and again, the disk keeping only its first
// 0, 1, 2, ... durable steps, as a cut leaves it (the steps after the cut are reported
// done and never reach the disk), and hands what each next start finds to `check`.
template <typename Check> void cut_at_every_step(const World &from, PlayVerb verb, Check check) {
  for (size_t count = 0;; ++count) {
    World w = from;
    size_t done = 0;
    bool stopped = false;
    PlayIo io = w.io();
    PlayIo cut = io;
    auto step = [&] {
      if (done++ < count)
        return true;
      stopped = true;
      return false;
    };
    cut.replace = [&](const char *path, const std::string &text) {
      return step() ? io.replace(path, text) : true;
    };
    cut.remove = [&](const char *path) { return step() ? io.remove(path) : true; };
    play_move(cut, PlayRequest{verb});
    SCOPED_TRACE("cut after " + std::to_string(count) + " durable steps");
    check(boot(w.files));
    if (!stopped)
      break;
  }
}

TEST(PlayCore, APowerCutAtAnyStepOfASongChangeResumesTheOldSongOrStartsTheNew) {
  cut_at_every_step(world_from(From::play), PlayVerb::next, [](const Boot &b) {
    if (b.song == path_of("1 1 2")) {
      EXPECT_EQ(b.frame, frame_text(766)) << "the old song at its checkpoint";
    } else {
      EXPECT_EQ(b.song, path_of("1 1 3"));
      EXPECT_EQ(b.frame, "(none)") << "the new song from its start";
    }
  });
}

TEST(PlayCore, APowerCutAsASongEndsGoesOnWithTheNextWhateverStepItCut) {
  // The watcher marks the end (0) before it asks for the next song; a cut anywhere after
  // the mark never plays the ended song again, and never from another song's frame.
  World ended = world_from(From::play);
  ended.files[FRAMEPOS_PATH] = frame_text(0);
  cut_at_every_step(ended, PlayVerb::song_ended, [](const Boot &b) {
    EXPECT_EQ(b.song, path_of("1 1 3"));
    EXPECT_EQ(b.frame, "(none)");
  });
}

TEST(PlayCore, AStoppedSongIsNotTakenForAnEndedOneAfterACut) {
  World w = world_from(From::play);
  ASSERT_TRUE(w.move({"stop"}));
  w.files[FRAMEPOS_PATH] = frame_text(0); // the watcher's report of the stop
  ASSERT_TRUE(w.move({"song-ended"}));
  EXPECT_EQ(w.player, std::vector<std::string>{"STOP"}) << "a user's stop starts nothing";
  Boot b = boot(w.files);
  EXPECT_EQ(b.song, path_of("1 1 2"));

  // Nor is a song that plays on from its start after such a stop: the start-up removes
  // the end mark, so the record "play" finds no 0 to take for an end.
  World again;
  again.files = w.files;
  again.files[STATUS_PATH] = "startup\n";
  ASSERT_TRUE(again.move({"stop"}));
  ASSERT_TRUE(again.move({"pause"}));
  EXPECT_EQ(again.file(STATUS_PATH), "play\n");
  EXPECT_EQ(again.file(FRAMEPOS_PATH), "(none)");
  EXPECT_EQ(boot(again.files).song, path_of("1 1 2"));
}

TEST(PlayCore, TheStartLoadsTheSongPausedOnceAndLetsItPlayAtItsCheckpoint) {
  World w = world_from(From::startup);
  // The control daemon's start: a stop; a restarted player's: the next song, a stop.
  ASSERT_TRUE(w.move({"stop"}));
  ASSERT_TRUE(w.move({"next"}));
  ASSERT_TRUE(w.move({"stop"}));
  EXPECT_EQ(w.player, std::vector<std::string>{std::string("LOADPAUSED ") + path_of("1 1 2")});
  EXPECT_EQ(w.file(PREPARED_PATH), "1 1 2\n");
  EXPECT_EQ(w.file(FRAMEPOS_PATH), frame_text(766)) << "the checkpoint to jump to";
  EXPECT_EQ(w.display[1], "display_setstatus PAUS 1 1 2");
  ASSERT_TRUE(w.move({"pause"}));
  EXPECT_EQ(w.player.back(), "PAUSE");
  EXPECT_EQ(w.file(STATUS_PATH), "play\n");
  EXPECT_EQ(w.file(PREPARED_PATH), "(none)") << "a later start loads the song again";

  // A new player (the launcher removes PREPARED) loads it again.
  World fresh = world_from(From::startup);
  fresh.files[PREPARED_PATH] = "1 1 1\n"; // what an earlier player held
  ASSERT_TRUE(fresh.move({"stop"}));
  EXPECT_EQ(fresh.player.size(), 1U);
}

TEST(PlayCore, AResumePointOlderThanTheSongsChoiceIsNotUsed) {
  World w = world_from(From::startup);
  w.files[PLAYSTATE_PATH] = record("1 1 2", "play", "fresh");
  ASSERT_TRUE(w.move({"stop"}));
  EXPECT_EQ(w.file(FRAMEPOS_PATH), "(none)") << "no jump to the other song's frame";
  EXPECT_TRUE(w.state().frame_kept);
  EXPECT_EQ(w.state().generation, 5) << "the same choice";
  // Once the record keeps it, a checkpoint is the song's own.
  w.files[FRAMEPOS_PATH] = frame_text(383);
  w.files[PREPARED_PATH] = "";
  ASSERT_TRUE(w.move({"stop"}));
  EXPECT_EQ(w.file(FRAMEPOS_PATH), frame_text(383));
}

TEST(PlayCore, MovesThatNameNothingChangeNothing) {
  for (std::vector<std::string> words :
       std::vector<std::vector<std::string>>{{"gotolist", "0"},
                                             {"gotosong", "0"},
                                             {"gotolist", "3"},
                                             {"gotosong", "4"},
                                             {"address", "3", "1", "1"},
                                             {"address", "0", "0", "0"}}) {
    SCOPED_TRACE(words[0] + " " + words[1]);
    World w = world_from(From::play);
    auto files = w.files;
    EXPECT_TRUE(w.move(words));
    EXPECT_TRUE(w.steps.empty()) << w.steps[0];
    EXPECT_EQ(w.files, files);
  }
  // Song 0 of an address is the list's first.
  World w = world_from(From::play);
  ASSERT_TRUE(w.move({"address", "2", "1", "0"}));
  EXPECT_EQ(w.song(), "2 1 1");
}

TEST(PlayCore, ASongThatHasGoneFallsBackToTheFirstOfTheOrder) {
  // A new scan no longer holds 3 9 9: the order's first song stands in for it.
  World w = world_from(From::stop);
  w.files[PLAYSTATE_PATH] = record("3 9 9", "stop", "kept");
  ASSERT_TRUE(w.move({"pause"}));
  EXPECT_EQ(w.player, std::vector<std::string>{load("1 1 1")});
  EXPECT_EQ(w.file(FRAMEPOS_PATH), "(none)") << "the gone song's checkpoint is not resumed";

  // With no record at all, too; and the next song counts from there.
  World none;
  ASSERT_TRUE(none.move({"next"}));
  EXPECT_EQ(none.player, std::vector<std::string>{load("1 1 2")});

  // Without any song there is nothing to do.
  World empty;
  empty.files[MPL_PATH] = "";
  empty.files[OPL_PATH] = "";
  EXPECT_TRUE(empty.move({"next"}));
  EXPECT_TRUE(empty.steps.empty());
}

// The lists were made again as a stick came or went (here device 1 went, or device 2).
TEST(PlayCore, ASongWhoseStickWentIsFollowedByTheNextOneThereInTheStateItWasIn) {
  const char DEVICE2[] = "2 0 0 /mnt/dev2\n2 1 0 /mnt/dev2/C\n2 1 1 /mnt/dev2/C/01_five.mp3\n"
                         "2 1 2 /mnt/dev2/C/02_six.mp3\n";
  struct Case {
    From from;
    std::string player; // "-": nothing
    const char *status;
    const char *shown; // the display's status word
  };
  const Case cases[] = {
      {From::play, load("2 1 1"), "play", "PLAY"},
      {From::startup, load("2 1 1"), "play", "PLAY"},
      {From::pause, std::string("LOADPAUSED ") + path_of("2 1 1"), "pause", "PAUS"},
      {From::stop, "-", "stop", "STOP"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.status);
    World w = world_from(c.from);
    w.files[MPL_PATH] = DEVICE2;
    w.files[OPL_PATH] = "1 2 1 1\n2 2 1 2\n";
    ASSERT_TRUE(w.move({"rescan"}));
    EXPECT_EQ(w.player.empty() ? "-" : w.player[0], c.player);
    EXPECT_EQ(w.song(), "2 1 1");
    EXPECT_EQ(w.file(STATUS_PATH), std::string(c.from == From::startup ? "play" : c.status) + "\n");
    EXPECT_NE(std::find(w.display.begin(), w.display.end(),
                        std::string("display_setstatus ") + c.shown + " 2 1 1"),
              w.display.end());
    EXPECT_EQ(w.file(FRAMEPOS_PATH), "(none)") << "the gone song's checkpoint";
    EXPECT_TRUE(w.state().frame_kept);
    EXPECT_TRUE(w.reports.empty());
  }

  // The next one after the address that went: on device 1 past 1 2 1 there is none, so
  // round to the first; before 2 1 2, that one.
  World after;
  after.files[PLAYSTATE_PATH] = record("1 9 1", "play", "kept");
  after.files[OPL_PATH] = "1 2 1 2\n2 1 1 1\n3 1 2 1\n";
  ASSERT_TRUE(after.move({"rescan"}));
  EXPECT_EQ(after.player, std::vector<std::string>{load("2 1 2")});
  World round;
  round.files[PLAYSTATE_PATH] = record("2 1 3", "play", "kept");
  round.files[OPL_PATH] = "1 1 2 1\n2 1 1 3\n";
  ASSERT_TRUE(round.move({"rescan"}));
  EXPECT_EQ(round.player, std::vector<std::string>{load("1 2 1")});
}

TEST(PlayCore, WithNoSongLeftTheDisplaySaysNoMusicAndASongThatComesPlays) {
  World w = world_from(From::play);
  w.files[MPL_PATH] = "";
  w.files[OPL_PATH] = "";
  ASSERT_TRUE(w.move({"rescan"}));
  // The player lets go of the song that went; the record keeps what the jukebox was doing.
  EXPECT_EQ(w.player, std::vector<std::string>{"STOP"});
  EXPECT_EQ(w.display, std::vector<std::string>{"display_setstatus NO MUSIC"});
  EXPECT_EQ(w.file(PLAYSTATE_PATH), record("1 1 2", "play", "kept"));
  // Keys and the song's end find nothing to play.
  for (const char *verb : {"next", "song-ended", "pause"}) {
    w.player.clear();
    ASSERT_TRUE(w.move({verb}));
    EXPECT_TRUE(w.player.empty()) << verb;
  }
  // A stick brings songs: the music starts again.
  w.files[MPL_PATH] = COLLECTION;
  w.files[OPL_PATH] = ORDER;
  w.files[MPL_PATH].erase(w.files[MPL_PATH].find("1 1 2 "),
                          strlen("1 1 2 /mnt/dev1/A/02_two.mp3\n"));
  ASSERT_TRUE(w.move({"rescan"}));
  EXPECT_EQ(w.player, std::vector<std::string>{load("1 1 3")});
  EXPECT_EQ(w.file(STATUS_PATH), "play\n");

  // A jukebox that started with no music at all plays what comes.
  World fresh;
  fresh.files[MPL_PATH] = "";
  fresh.files[OPL_PATH] = "";
  fresh.files[STATUS_PATH] = "startup\n";
  ASSERT_TRUE(fresh.move({"rescan"}));
  EXPECT_TRUE(fresh.player.empty()) << "no song was there to let go of";
  EXPECT_EQ(fresh.display, std::vector<std::string>{"display_setstatus NO MUSIC"});
  fresh.files[MPL_PATH] = COLLECTION;
  fresh.files[OPL_PATH] = ORDER;
  ASSERT_TRUE(fresh.move({"rescan"}));
  EXPECT_EQ(fresh.player, std::vector<std::string>{load("1 1 1")});
}

TEST(PlayCore, TheOrderFollowsTheOrderListAndWrapsAtBothEnds) {
  World w = world_from(From::play);
  w.files[OPL_PATH] = "1 2 1 2\n2 1 1 2\n3 1 1 1\n";
  ASSERT_TRUE(w.move({"next"}));
  EXPECT_EQ(w.song(), "1 1 1");
  ASSERT_TRUE(w.move({"next"})); // past the end: the first
  EXPECT_EQ(w.song(), "2 1 2");
  ASSERT_TRUE(w.move({"prev"})); // before the first: the last
  EXPECT_EQ(w.song(), "1 1 1");
  // One device only: the way round the devices ends at the current list's first song.
  World one = world_from(From::play);
  one.files[MPL_PATH] = "1 0 0 /d\n1 1 0 /d/A\n1 1 1 /d/A/a.mp3\n1 1 2 /d/A/b.mp3\n";
  one.files[OPL_PATH] = "1 1 1 1\n2 1 1 2\n";
  ASSERT_TRUE(one.move({"device"}));
  EXPECT_EQ(one.player, std::vector<std::string>{"LOAD /d/A/a.mp3"});
}

TEST(PlayCore, TheRandomKeyCyclesTheOrdersAndRebuildsTheOrderList) {
  World w = world_from(From::play);
  const char *modes[] = {"a", "d", "l", "s"};
  const char *texts[] = {"ALL", "DEV", "LST", "SEQ"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(w.move({"random"}));
    EXPECT_EQ(w.file(RANDOM_PATH), std::string(modes[i]) + "\n");
    EXPECT_EQ(w.display.back(), std::string("display_setrandommode ") + texts[i]);
    // Every song once, numbered in turn.
    std::multiset<std::string> songs;
    int number = 0;
    std::string opl = w.file(OPL_PATH);
    for (size_t at = 0; at < opl.size();) {
      size_t end = opl.find('\n', at);
      std::string line = opl.substr(at, end - at);
      EXPECT_EQ(line.substr(0, line.find(' ')), std::to_string(++number)) << opl;
      songs.insert(line.substr(line.find(' ') + 1));
      at = end + 1;
    }
    EXPECT_EQ(songs,
              (std::multiset<std::string>{"1 1 1", "1 1 2", "1 1 3", "1 2 1", "2 1 1", "2 1 2"}));
  }
  EXPECT_EQ(w.file(OPL_PATH), ORDER) << "sequential again";
  EXPECT_TRUE(w.player.empty()) << "the song plays on";

  // An order list that cannot be written leaves the mode as it was, and says so.
  World full = world_from(From::play);
  full.failing.insert(OPL_PATH);
  EXPECT_FALSE(full.move({"random"}));
  EXPECT_EQ(full.file(RANDOM_PATH), "s\n");
  EXPECT_EQ(full.file(OPL_PATH), ORDER);
  EXPECT_EQ(full.display.back(), "display_setrandommode SEQ");
  ASSERT_EQ(full.reports.size(), 1U);
  EXPECT_EQ(full.reports[0], "could not write /tmp/OPL: No space left on device");
}

TEST(PlayCore, FailuresAreReportedAndLeaveTheRecordWhole) {
  World w = world_from(From::play);
  w.failing.insert(PLAYSTATE_PATH);
  EXPECT_FALSE(w.move({"next"}));
  EXPECT_EQ(w.file(PLAYSTATE_PATH), record("1 1 2", "play", "kept"));
  EXPECT_EQ(w.file(FRAMEPOS_PATH), frame_text(766)) << "kept while the record is the old one";
  ASSERT_FALSE(w.reports.empty());
  EXPECT_EQ(w.reports[0], "could not write /tmp/PLAYSTATE: No space left on device");

  World gone = world_from(From::play);
  gone.fifos_fail = true;
  EXPECT_FALSE(gone.move({"next"}));
  EXPECT_EQ(gone.song(), "1 1 3") << "the choice stands; the next key goes on from it";
  EXPECT_EQ(gone.reports.size(), 2U);
}

TEST(PlayCore, SayShowsAndSpeaksTheTitle) {
  World w = world_from(From::play);
  ASSERT_TRUE(w.move({"say"}));
  EXPECT_EQ(w.display, std::vector<std::string>{"display_settitle Two"});
  EXPECT_EQ(w.spoken, std::vector<std::string>{"Two"});
  EXPECT_TRUE(w.steps.size() == 1);
}

TEST(PlayCore, RequestsAreReadWhole) {
  struct Case {
    std::vector<std::string> words;
    bool taken;
  };
  const Case cases[] = {
      {{"next"}, true},
      {{"gotolist", "12"}, true},
      {{"address", "1", "2", "3"}, true},
      {{"gotolist"}, false},
      {{"gotolist", "1", "2"}, false},
      {{"gotosong", "x"}, false},
      {{"gotosong", "-1"}, false},
      {{"address", "1", "2"}, false},
      {{"next", "1"}, false},
      {{"nextsong"}, false},
      {{"gotolist", "99999999999"}, false},
  };
  for (const Case &c : cases) {
    std::vector<std::string> words = c.words;
    std::vector<char *> argv;
    for (std::string &word : words)
      argv.push_back(word.data());
    PlayRequest r{};
    EXPECT_EQ(parse_play_request(static_cast<int>(argv.size()), argv.data(), &r), c.taken)
        << c.words[0];
  }
  char *none[] = {nullptr};
  PlayRequest r{};
  EXPECT_FALSE(parse_play_request(0, none, &r));
}

TEST(PlayState, ReadsWhatItWritesAndDefaultsWhatIsNotWellFormed) {
  PlayState s;
  s.has_song = true;
  s.song = {12, 3, 45};
  s.status = PlayStatus::pause;
  s.frame_kept = true;
  s.generation = 99;
  PlayState back = parse_play_state(format_play_state(s));
  EXPECT_TRUE(back.has_song);
  EXPECT_EQ(back.song, s.song);
  EXPECT_EQ(back.status, PlayStatus::pause);
  EXPECT_TRUE(back.frame_kept);
  EXPECT_EQ(back.generation, 99);

  for (const char *text : {"", "song 1 2\n", "song 0 1 1\n", "song 1 1 x\n", "song 1 1 1 1\n",
                           "garbage", "\n\n\n", "song -1 1 1\nframe maybe\n"}) {
    PlayState d = parse_play_state(text);
    EXPECT_FALSE(d.has_song) << text;
    EXPECT_FALSE(d.frame_kept) << text;
    EXPECT_EQ(d.status, PlayStatus::stop) << text;
  }
  // Lines it does not know, in any order.
  PlayState mixed = parse_play_state("later 1\ngeneration 4\nstatus play\nsong 1 1 1\n");
  EXPECT_TRUE(mixed.has_song);
  EXPECT_EQ(mixed.status, PlayStatus::play);
  EXPECT_EQ(mixed.generation, 4);
}

// The record's numbers are 32-bit on every machine, as the lists' are: a number past
// 2147483647 is not well formed, and the generation starts again at 0 after it.
TEST(PlayState, NumbersAre32BitOnEveryMachine) {
  PlayState top =
      parse_play_state("song 2147483647 2147483647 2147483647\ngeneration 2147483647\n");
  EXPECT_TRUE(top.has_song);
  EXPECT_EQ(top.song, (SongAddress{INT_MAX, INT_MAX, INT_MAX}));
  EXPECT_EQ(top.generation, INT_MAX);
  for (const char *text : {"song 2147483648 1 1\ngeneration 2147483648\n",
                           "song 1 4294967297 1\ngeneration 4294967296\n",
                           "song 1 1 9999999999999999999999\ngeneration -1\n"}) {
    PlayState past = parse_play_state(text);
    EXPECT_FALSE(past.has_song) << text;
    EXPECT_EQ(past.generation, 0) << text;
  }
  EXPECT_EQ(next_generation(0), 1);
  EXPECT_EQ(next_generation(2147483646), INT_MAX);
  EXPECT_EQ(next_generation(INT_MAX), 0);
  PlayState last;
  last.generation = INT_MAX;
  EXPECT_EQ(parse_play_state(format_play_state(last)).generation, INT_MAX);
}
