#pragma once

#include "playstate.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// The play core: what the jukebox does next (which song, playing or paused, where it
// resumes, in which order) for each move a key, a song's end or the start asks for. It
// reads the master and order lists and the state files, tells the player and the display
// what to do, and keeps its state durable, through `PlayIo`: the program's is the real
// /tmp, FIFOs and disk; the tests' is kept in memory and records every step.

struct PlayIo {
  // The text of a state file; false when there is none (missing, or not a plain file).
  std::function<bool(const char *path, std::string &text)> read;
  // Replaces a file whole, synced (the old text or the new survives a power cut).
  std::function<bool(const char *path, const std::string &text)> replace;
  // Removes a file, the removal synced.
  std::function<bool(const char *path)> remove;
  // A list file opened for one pass of the shared readers; nullptr when it cannot be.
  std::function<FILE *(const char *path)> open_list;
  // Player command lines: into the player's FIFO, or to standard output when the
  // caller's output goes to the player.
  std::function<bool(const std::string &line)> player;
  // Display command lines, written together.
  std::function<bool(const std::vector<std::string> &lines)> display;
  // Speaks a title where the machine can.
  std::function<void(const std::string &title)> say;
  // A failure worth reporting ("velm_play: " goes before it).
  std::function<void(const std::string &message)> report;
};

enum class PlayVerb {
  next,
  prev,
  nextlist,
  prevlist,
  gotolist,
  gotosong,
  pause,
  stop,
  random,
  device,
  address,
  say,
  song_ended,
  startup,
  rescan,
};

struct PlayRequest {
  PlayVerb verb;
  int numbers[3] = {0, 0, 0}; // gotolist, gotosong: the first; address: all three
};

// Reads a verb and its numbers from the command line words (after the program's name).
// False for an unknown verb or numbers that are missing, extra or not whole numbers.
bool parse_play_request(int count, char *const *words, PlayRequest *request);

// Carries out one move. False when some step could not be done (a state file not
// written, a line not delivered); what could be done is done, and each failure reported.
bool play_move(PlayIo &io, const PlayRequest &request);
