// velm: starts and keeps the whole jukebox. Scans the devices given on its command line
// into a fresh master list, builds the order list, makes the FIFOs, starts the display
// daemon, the player with its output watcher and the control daemon, and holds the
// control and display FIFOs open so the daemons stay up. The watcher signals SIGUSR2 when
// the player's output has ended: the player is started again and the song resumes at its
// saved frame. A daemon that dies is reported and started again. SIGINT or SIGTERM shut
// everything down in order, the LCD showing its farewell. With -m, file systems mounted
// below a folder are devices too, and the lists follow them as they come and go. With -i
// (or -L), the input handler velm_input turns remotes, buttons and knobs into command lines.
// With -s, the music played is also written into a file, for measuring what was heard.

#include "install_dirs.h"
#include "launcher.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void print_usage(int status) {
  FILE *out = status == 0 ? stdout : stderr;
  fprintf(out, "\nVELM version 0.91 - the jukebox's launcher, by the velm builders\n"
               "Usage: velm [-lntdh] [-r MODE] [-o MODULE | -s FILE] [-p FILE] [-w [IP:]PORT]\n"
               "            [-m FOLDER] [-i INPUT]... [-k KEYMAP] [-L SOCKET] DEVICE...\n"
               "\tDEVICE\ta device's root folder; devices are numbered 1, 2, ... in this order\n"
               "\tm FOLDER\tevery file system mounted below FOLDER (USB sticks) is a device\n"
               "\t\ttoo, watched as sticks come and go; a stick keeps its number (none\n"
               "\t\tDEVICE is needed then)\n"
               "\tl\tdrive the LCD on /dev/lcd (the default when /dev/lcd is there)\n"
               "\tn\tno LCD\n"
               "\tt\tshow ID3 titles\n"
               "\td\tthe daemons write their debug trace (to /tmp/velm.log, with what\n"
               "\t\tevery program started writes to standard error)\n"
               "\tr MODE\tthe order of play: s sequential, a all shuffled, d per device,\n"
               "\t\tl per list (default: as last time, else s)\n"
               "\to MODULE\tthe player's audio output module (default: the machine's sound\n"
               "\t\tdevice, or a silent output paced in real time when it has none)\n"
               "\ts FILE\talso write the music played into FILE, emptied at the start: raw\n"
               "\t\tsigned 16-bit little-endian stereo at 44.1 kHz, as the player made it;\n"
               "\t\tthe sound still goes to the sound device (not with -o)\n"
               "\tp FILE\tkeep the player's output lines in FILE\n"
               "\tw [IP:]PORT\tserve the web catalogue there (IP by default 127.0.0.1,\n"
               "\t\treachable from this machine only; 0.0.0.0 from every network)\n"
               "\ti INPUT\tread remotes, buttons and knobs from the input event device INPUT\n"
               "\t\t(a path, or a quoted pattern such as '/dev/input/by-id/*-event-kbd');\n"
               "\t\tgiven again for more devices; velm_input(8) turns them into commands\n"
               "\tk KEYMAP\tvelm_input's key map (default: its built-in one)\n"
               "\tL SOCKET\tread the buttons lircd decodes from its socket SOCKET too\n"
               "\t\t(such as /run/lirc/lircd)\n"
               "\th\tshow this help\n\n");
  exit(status);
}

// An option's text, which must not be empty.
const char *nonempty(const char *text) {
  if (text[0] == '\0')
    print_usage(2);
  return text;
}

Options parse_options(int argc, char **argv) {
  Options options;
  options.lcd = access("/dev/lcd", F_OK) == 0;
  int option;
  while ((option = getopt(argc, argv, "lntdr:o:s:p:w:m:i:k:L:h")) != -1) {
    switch (option) {
    case 'l':
      options.lcd = true;
      break;
    case 'n':
      options.lcd = false;
      break;
    case 't':
      options.id3 = true;
      break;
    case 'd':
      options.debug = true;
      break;
    case 'r':
      if (strlen(optarg) != 1 || strchr("sadl", optarg[0]) == nullptr)
        print_usage(2);
      options.random_mode = optarg[0];
      break;
    case 'o':
      options.audio_module = optarg;
      break;
    case 's':
      options.recording = nonempty(optarg);
      break;
    case 'p':
      options.player_log = optarg;
      break;
    case 'w':
      if (!parse_web_address(optarg, options.web_address, options.web_port))
        print_usage(2);
      break;
    case 'm':
      if (optarg[0] == '\0')
        print_usage(2);
      options.media = optarg;
      break;
    case 'i':
      if (optarg[0] == '\0')
        print_usage(2);
      options.input_devices.push_back(optarg);
      break;
    case 'k':
      if (optarg[0] == '\0')
        print_usage(2);
      options.keymap = optarg;
      break;
    case 'L':
      if (optarg[0] == '\0')
        print_usage(2);
      options.lircd = optarg;
      break;
    case 'h':
      print_usage(0);
    default:
      print_usage(2);
    }
  }
  if (optind == argc && options.media.empty())
    print_usage(2);
  for (int i = optind; i < argc; ++i)
    options.devices.push_back(argv[i]);
  return options;
}

// With -s: empties the recording's file, which the pacer then appends to (a pacer started
// again goes on with it). The start is refused (status 2) when the file cannot be
// written, and with -o: the recording is taken from the raw audio the player writes for
// the pacer, which no other output module gives.
void start_recording(const Options &options) {
  if (options.recording.empty())
    return;
  if (!options.audio_module.empty()) {
    message("-s cannot record the output module given with -o");
    print_usage(2);
  }
  int fd = open(options.recording.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    message("cannot record into %s: %s", options.recording.c_str(), strerror(errno));
    exit(2);
  }
  close(fd);
}

} // namespace

int main(int argc, char **argv) {
  Jukebox jukebox;
  jukebox.options = parse_options(argc, argv);
  start_recording(jukebox.options);
  service_begin(jukebox.service);
  // Every program it starts, and theirs, finds the jukebox's own first.
  put_helpers_on_path();
  int signals = take_signals();
  claim_state_files();
  remove_leftovers();
  give_first_mixer_settings();
  watch_sticks(jukebox.sticks, jukebox.options.media,
               static_cast<int>(jukebox.options.devices.size()));
  service_status(jukebox.service, "scanning the devices");
  if (!build_lists(jukebox.options, jukebox.sticks)) {
    message("orderbuild: could not build the order list");
    return 1;
  }
  service_lists_built(jukebox.service);
  pass_ended_song();
  make_fifos();
  service_status(jukebox.service, "starting the player and the daemons");
  start_display(jukebox);
  start_audio(jukebox);
  start_mixer(jukebox);
  start_player(jukebox);
  start_control(jukebox);
  start_playing(jukebox);
  start_input(jukebox);
  start_web(jukebox);
  if (!jukebox.options.media.empty())
    show_when_no_music(jukebox);
  run_until_stopped(jukebox, signals);
  shut_down(jukebox);
  return jukebox.exit_status;
}
