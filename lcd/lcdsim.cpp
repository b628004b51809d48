// lcdsim: the jukebox's LCD in a terminal. Makes /dev/lcd as a FIFO, reads what the
// display daemon writes to it, across daemons coming and going, and shows the 2x24
// panel as a box redrawn in place; with "-f" it also writes every frame as text.

#include "convert.h"
#include "lcdfeed.h"
#include "lcdrom.h"
#include "lcdscreen.h"
#include "lcdview.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

constexpr const char PROGRAM[] = "lcdsim";
constexpr int EXIT_USAGE = 2;

struct Options {
  const char *frames_path = nullptr; // "-" for standard output
  const char *replay_path = nullptr; // a recorded stream in place of the device
  bool live = true;
  int interval_ms = 40;
  LcdRom rom = LcdRom::A00;
};

struct Simulator {
  LcdScreen screen;
  LcdFrames frames;
  FILE *frames_out = nullptr;
  bool live = false;
  int interval_ms = 0;
  LcdRom rom = LcdRom::A00;
  LcdScreen drawn; // the screen as last drawn on the terminal
  bool draw_pending = false;
  long next_draw_ms = 0; // no redraw before this time
};

void print_usage(FILE *out) {
  fprintf(out,
          "Usage: %s [-q] [-f FILE] [-r FILE] [-i MS] [-c ROM] [-h]\n"
          "Shows the jukebox's 2x24 LCD in the terminal: makes %s as a FIFO (or takes the\n"
          "FIFO that is there), reads what the display daemon writes to it, across\n"
          "writers coming and going, and redraws the panel in place until SIGINT or\n"
          "SIGTERM. Each character shows as the panel's character ROM shows it, in UTF-8;\n"
          "the bar glyph (byte 255) as a full block.\n"
          "\t-f FILE\twrite each frame as text to FILE (\"-\": standard output, which\n"
          "\t\tturns the live view off): \"frame N\" and the two rows between bars,\n"
          "\t\tthe bar glyph as '#'; a frame is the screen when an escape sequence\n"
          "\t\tbegins or a writer's input ends, if it shows differently\n"
          "\t-c ROM\tthe panel's character ROM: A00 (default) or A02\n"
          "\t-q\tno live view\n"
          "\t-r FILE\tread a recorded byte stream from FILE (\"-\": standard input) to its\n"
          "\t\tend instead of the device\n"
          "\t-i MS\tat least MS milliseconds between two redraws (default 40)\n"
          "\t-h\tshow this help\n",
          PROGRAM, LCD_DEVICE_PATH);
}

Options parse_options(int argc, char **argv) {
  Options options;
  int option;
  while ((option = getopt(argc, argv, "f:qr:i:c:h")) != -1) {
    switch (option) {
    case 'f':
      options.frames_path = optarg;
      break;
    case 'q':
      options.live = false;
      break;
    case 'r':
      options.replay_path = optarg;
      break;
    case 'i': {
      long interval_ms;
      if (!parse_long(optarg, 0, 10000, &interval_ms)) {
        fprintf(stderr, "%s: -i %s: not a time from 0 to 10000 ms\n", PROGRAM, optarg);
        exit(EXIT_USAGE);
      }
      options.interval_ms = static_cast<int>(interval_ms);
      break;
    }
    case 'c':
      if (!lcd_rom_parse(optarg, &options.rom)) {
        fprintf(stderr, "%s: -c %s: not a character ROM (A00 or A02)\n", PROGRAM, optarg);
        exit(EXIT_USAGE);
      }
      break;
    case 'h':
      print_usage(stdout);
      exit(0);
    default:
      print_usage(stderr);
      exit(EXIT_USAGE);
    }
  }
  if (optind < argc) {
    fprintf(stderr, "%s: unexpected argument %s\n", PROGRAM, argv[optind]);
    print_usage(stderr);
    exit(EXIT_USAGE);
  }
  if (options.frames_path != nullptr && strcmp(options.frames_path, "-") == 0)
    options.live = false;
  return options;
}

long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool write_out(FILE *out, const std::string &text, const char *what) {
  if (fwrite(text.data(), 1, text.size(), out) == text.size() && fflush(out) == 0)
    return true;
  fprintf(stderr, "%s: %s: %s\n", PROGRAM, what, strerror(errno));
  return false;
}

// An output that failed once is given up, so its error is reported once.
bool draw(Simulator &sim, bool again) {
  sim.drawn = sim.screen;
  sim.draw_pending = false;
  sim.next_draw_ms = now_ms() + sim.interval_ms;
  sim.live = write_out(stdout, lcd_terminal_text(sim.screen, again, sim.rom), "terminal");
  return sim.live;
}

bool write_frames(Simulator &sim, const std::string &text) {
  if (write_out(sim.frames_out, text, "frames"))
    return true;
  if (sim.frames_out != stdout)
    fclose(sim.frames_out);
  sim.frames_out = nullptr;
  return false;
}

bool open_outputs(Simulator &sim, const Options &options) {
  sim.live = options.live;
  sim.interval_ms = options.interval_ms;
  sim.rom = options.rom;
  sim.frames.rom = options.rom;
  if (options.frames_path != nullptr) {
    if (strcmp(options.frames_path, "-") == 0) {
      sim.frames_out = stdout;
    } else {
      sim.frames_out = fopen(options.frames_path, "we");
      if (sim.frames_out == nullptr) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, options.frames_path, strerror(errno));
        return false;
      }
    }
  }
  // The cursor is hidden while the box is shown, and the blank panel drawn at once.
  return !sim.live || (write_out(stdout, "\033[?25l", "terminal") && draw(sim, false));
}

bool show_bytes(Simulator &sim, const char *bytes, size_t length) {
  std::string frames;
  lcd_frames_feed(sim.frames, sim.screen, bytes, length, frames);
  if (sim.frames_out != nullptr && !frames.empty() && !write_frames(sim, frames))
    return false;
  if (sim.live && memcmp(sim.drawn.cells, sim.screen.cells, sizeof sim.drawn.cells) != 0)
    sim.draw_pending = true;
  return true;
}

// The frame at the end of a writer's input or of the program.
bool take_end_frame(Simulator &sim) {
  if (!lcd_frame_take(sim.frames, sim.screen) || sim.frames_out == nullptr)
    return true;
  std::string text = lcd_frame_text(sim.frames.count, lcd_screen_row(sim.screen, 0),
                                    lcd_screen_row(sim.screen, 1), sim.rom);
  return write_frames(sim, text);
}

// Reads and shows until the recorded stream ends or a signal stops it: the exit status.
int run(Simulator &sim, LcdFeed &feed) {
  char buffer[4096];
  for (;;) {
    int timeout = -1;
    if (sim.draw_pending)
      timeout = static_cast<int>(std::max(0L, sim.next_draw_ms - now_ms()));
    size_t length = 0;
    LcdFeedStatus status = lcd_feed_read(feed, PROGRAM, buffer, sizeof buffer, length, timeout);
    bool ok = true;
    if (status == LcdFeedStatus::Bytes) {
      ok = show_bytes(sim, buffer, length);
    } else if (status == LcdFeedStatus::WriterGone) {
      lcd_screen_break(sim.screen);
      ok = take_end_frame(sim);
    } else if (status == LcdFeedStatus::End || status == LcdFeedStatus::Stopped) {
      return 0;
    } else if (status == LcdFeedStatus::Failed) {
      return 1;
    }
    if (ok && sim.draw_pending && now_ms() >= sim.next_draw_ms)
      ok = draw(sim, true);
    if (!ok)
      return 1;
  }
}

// The last frame and the latest state on the terminal, whose cursor comes back.
int finish(Simulator &sim, int status) {
  if (!take_end_frame(sim))
    status = 1;
  if (sim.frames_out != nullptr && sim.frames_out != stdout && fclose(sim.frames_out) != 0)
    status = 1;
  if (sim.live && sim.draw_pending && !draw(sim, true))
    status = 1;
  if (sim.live && !write_out(stdout, "\033[?25h", "terminal"))
    status = 1;
  return status;
}

bool open_input(LcdFeed &feed, const Options &options) {
  if (options.replay_path != nullptr)
    return lcd_feed_open_file(feed, PROGRAM, options.replay_path);
  return lcd_feed_open_device(feed, PROGRAM, LCD_DEVICE_PATH);
}

} // namespace

int main(int argc, char **argv) {
  Options options = parse_options(argc, argv);
  lcd_feed_catch_signals();
  LcdFeed feed;
  if (!open_input(feed, options))
    return 1;
  Simulator sim;
  int status = open_outputs(sim, options) ? run(sim, feed) : 1;
  status = finish(sim, status);
  lcd_feed_close(feed);
  return status;
}
