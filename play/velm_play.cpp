// velm_play: one move of the jukebox (the next song, a pause, a stop, another order, ...)
// for the keys, the watcher at a song's end and the launcher at the start. The player
// scripts are its wrappers. Moves wait for each other: each holds /tmp/velm.lock.
//
//   velm_play next|prev|nextlist|prevlist|pause|stop|random|device|say
//   velm_play gotolist N | gotosong N | address DEVICE LIST SONG
//   velm_play song-ended   (after a song's end; the player lines go to standard output)
//   velm_play startup      (before the daemons start: a song whose end a power cut
//                           interrupted is followed by the next)
//   velm_play rescan       (the lists were made again as a stick came or went: a song
//                           no longer in them is followed by the next one that is)

#include "core.h"
#include "play_io.h"

#include "output.h"

#include <csignal>
#include <cstdio>

namespace {

enum { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

void print_usage() {
  fputs("usage: velm_play next|prev|nextlist|prevlist|pause|stop|random|device|say\n"
        "       velm_play gotolist N | gotosong N | address DEVICE LIST SONG\n"
        "       velm_play song-ended | startup | rescan\n",
        stderr);
}

} // namespace

int main(int argc, char **argv) {
  PlayRequest request{};
  if (!parse_play_request(argc - 1, argv + 1, &request)) {
    print_usage();
    return EXIT_USAGE;
  }
  signal(SIGPIPE, SIG_IGN);
  if (!take_play_lock())
    return EXIT_FAILED;
  PlayIo io = system_play_io(request.verb == PlayVerb::song_ended);
  bool moved = play_move(io, request);
  bool printed = close_stdout("velm_play: ");
  return moved && printed ? EXIT_DONE : EXIT_FAILED;
}
