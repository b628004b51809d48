#pragma once

// The launcher's steps, in the order velm runs them.

#include "restarts.h"
#include "service.h"
#include "sticks.h"
#include "webserver.h"

#include <string>
#include <sys/types.h>
#include <vector>

struct Options {
  std::vector<std::string> devices; // roots, numbered 1, 2, ... in this order
  std::string media;                // -m: every file system mounted below it is a device
  bool lcd = false;
  bool id3 = false;
  bool debug = false;
  char random_mode = 0;     // s, a, d, l; 0: as last time
  std::string audio_module; // empty: the sound device, or the paced silent output
  std::string player_log;   // empty: the player's output lines are dropped
  std::string recording;    // -s: the pacer writes the music played there; empty: no recording
  std::string web_address;  // where the web catalogue is served
  int web_port = 0;         // 0: no web server
  // The input handler velm_input, started when input devices or a lircd socket are given.
  std::vector<std::string> input_devices; // -i: event device paths or patterns, passed on
  std::string keymap;                     // -k: its key map; empty: the built-in one
  std::string lircd;                      // -L: the lircd socket; empty: none
};

// The children the launcher keeps running; CHILDREN in launcher.cpp says how each starts
// and what is done when it ends.
enum ChildId { DISPLAY, AUDIO, MIXER, PLAYER, WATCHER, CONTROL, INPUT, CHILD_COUNT };

struct Child {
  pid_t pid = -1;
  Restarts restarts;
  int status = 0;        // how it ended last (waitpid's status)
  bool given_up = false; // an optional child that is not started again
};

struct Jukebox {
  Options options;
  Child children[CHILD_COUNT];
  WebServer web;
  Service service;
  StickWatch sticks;
  int display_fifo = -1; // our writing ends, held so the daemons stay up
  int control_fifo = -1;
  bool stopping = false;
  int exit_status = 0; // 1 when the jukebox stopped of itself (a daemon that kept ending)
};

// A line on standard error, after "velm: ".
void message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Seconds on the monotonic clock.
double now_seconds();

// Starts a program found on PATH with the given standard input and output (-1: the
// launcher's own); its standard error goes to the log.
pid_t spawn(const std::vector<std::string> &argv, int in = -1, int out = -1);

// Blocks the signals the launcher takes in its loop and returns a descriptor that
// reports them.
int take_signals();

// Removes from /tmp whatever lies under the names of the jukebox's state and list files
// and is not a plain file of the launcher's own user (a link, a FIFO, a file someone
// else made), so that no program of the jukebox reads from or writes through it.
void claim_state_files();

// On a first start (none of the four mixer state files there) writes starting values
// into them, so the control daemon starts at an audible volume, balance 0 and neutral
// tone, as it restores any saved settings.
void give_first_mixer_settings();

// Removes the temporary files that writers killed before they could rename them left in
// /tmp (only plain files of the launcher's own user).
void remove_leftovers();

// Runs a program and waits for it, its output to the log; true when it ended with
// status 0.
bool run_program(const std::vector<std::string> &argv);

// Starts /tmp/MPL afresh from the devices (those of the command line, then the sticks)
// and builds /tmp/OPL in the order of play. False when the order list could not be built.
bool build_lists(const Options &options, const StickWatch &sticks);

// When the power went as a song ended, before the next song was chosen, chooses the
// next one now, so that the start does not play the ended song again.
void pass_ended_song();

// /tmp/fifo.control and /tmp/fifo.display (the player makes its own).
void make_fifos();

// The display daemon, with its start lines.
void start_display(Jukebox &jukebox);
void start_audio(Jukebox &jukebox);
// velm_mixer, the mixer device of a machine without an OSS mixer, before the control
// daemon first opens the device.
void start_mixer(Jukebox &jukebox);
// The player with its command FIFO /tmp/fifo.player, its output piped into playwatch.
void start_player(Jukebox &jukebox);
void start_control(Jukebox &jukebox);
// The control lines that start (or resume) the song.
void start_playing(const Jukebox &jukebox);

// The input handler, when the options name input devices or a lircd socket.
void start_input(Jukebox &jukebox);

// The web catalogue, when the options ask for it.
void start_web(Jukebox &jukebox);

// Writes the web catalogue's page again from the lists, when the web part runs.
void refresh_web_page(const Jukebox &jukebox);

// Keeps the jukebox going until SIGINT, SIGTERM or SIGHUP.
void run_until_stopped(Jukebox &jukebox, int signals);

// The input handler, the control daemon, the player, then the display (its farewell);
// the FIFOs go.
void shut_down(Jukebox &jukebox);
