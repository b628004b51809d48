// lcdpanel: the LCD character driver for a real panel. Makes /dev/lcd as a FIFO, reads
// what the display daemon writes to it, across daemons coming and going, and shows it on
// an HD44780 panel in 4-bit mode, wired to a parallel port (x86 only; needs root for the
// port) or behind a PCF8574 expander on an I2C bus (any machine with i2c-dev).

#include "charpanel.h"
#include "expander.h"
#include "lcdfeed.h"
#include "lcdrom.h"
#include "lcdscreen.h"
#include "paneldrive.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif
#include <unistd.h>

namespace {

constexpr const char PROGRAM[] = "lcdpanel";
constexpr int EXIT_USAGE = 2;

constexpr int DEFAULT_ADDRESS = 0x27;

struct Options {
  unsigned short port = 0x378;
  const char *bus = nullptr; // the I2C bus device, in place of the port
  int address = DEFAULT_ADDRESS;
  bool address_given = false;
  ExpanderWiring wiring;
  bool wiring_given = false;
  LcdRom rom = LcdRom::A00;
  const char *replay_path = nullptr;
};

void print_usage(FILE *out) {
  fprintf(out,
          "Usage: %s [-p PORT | -d BUS [-a ADDRESS] [-w WIRING]] [-c ROM] [-r FILE] [-h]\n"
          "Drives an HD44780 2x24 character LCD with what the display daemon writes to\n"
          "%s: makes it as a FIFO (or takes the FIFO that is there) and reads it, across\n"
          "writers coming and going, until SIGINT or SIGTERM. The panel is on a parallel\n"
          "port (x86, needs permission for the port: root) or, with -d, behind a PCF8574\n"
          "expander on an I2C bus.\n"
          "\t-p PORT\tthe parallel port's address (default 0x378)\n"
          "\t-d BUS\tthe I2C bus: its device (/dev/i2c-N) or its number N\n"
          "\t-a ADDRESS\tthe expander's address on the bus (default 0x%02x)\n"
          "\t-w WIRING\tthe roles of the expander's pins P0 to P7 (default %s): rs, rw,\n"
          "\t\te, bl (backlight on when high), /bl (on when low), d4-d7, nc\n"
          "\t-c ROM\tthe panel's character ROM: A00 (default) or A02\n"
          "\t-r FILE\tshow a recorded byte stream from FILE (\"-\": standard input) to its\n"
          "\t\tend instead of reading the device\n"
          "\t-h\tshow this help\n",
          PROGRAM, LCD_DEVICE_PATH, DEFAULT_ADDRESS, EXPANDER_COMMON_WIRING);
}

[[noreturn]] void usage_error(const char *option, const char *text, const char *what) {
  fprintf(stderr, "%s: -%s %s: %s\n", PROGRAM, option, text, what);
  exit(EXIT_USAGE);
}

// A 7-bit address that is not one of the bus's reserved ones.
int parse_address(const char *text) {
  char *end;
  errno = 0;
  unsigned long address = strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || address < 0x03 || address > 0x77)
    usage_error("a", text, "not an I2C address (0x03 to 0x77)");
  return static_cast<int>(address);
}

unsigned short parse_port(const char *text) {
  char *end;
  errno = 0;
  unsigned long port = strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || port > 0xFFFF) {
    fprintf(stderr, "%s: -p %s: not a port address (0 to 0xFFFF)\n", PROGRAM, text);
    exit(EXIT_USAGE);
  }
  return static_cast<unsigned short>(port);
}

Options parse_options(int argc, char **argv) {
  Options options;
  int option;
  std::string error;
  while ((option = getopt(argc, argv, "p:d:a:w:c:r:h")) != -1) {
    if (option == 'p') {
      options.port = parse_port(optarg);
    } else if (option == 'd') {
      options.bus = optarg;
    } else if (option == 'a') {
      options.address = parse_address(optarg);
      options.address_given = true;
    } else if (option == 'w') {
      if (!expander_wiring_parse(optarg, &options.wiring, &error))
        usage_error("w", optarg, error.c_str());
      options.wiring_given = true;
    } else if (option == 'c') {
      if (!lcd_rom_parse(optarg, &options.rom))
        usage_error("c", optarg, "not a character ROM (A00 or A02)");
    } else if (option == 'r') {
      options.replay_path = optarg;
    } else if (option == 'h') {
      print_usage(stdout);
      exit(0);
    } else {
      print_usage(stderr);
      exit(EXIT_USAGE);
    }
  }
  if (optind < argc) {
    fprintf(stderr, "%s: unexpected argument %s\n", PROGRAM, argv[optind]);
    print_usage(stderr);
    exit(EXIT_USAGE);
  }
  if (options.bus == nullptr && (options.address_given || options.wiring_given)) {
    fprintf(stderr, "%s: -a and -w are for a panel on an I2C bus (-d)\n", PROGRAM);
    exit(EXIT_USAGE);
  }
  return options;
}

bool claim_port(unsigned short port) {
#if defined(__i386__) || defined(__x86_64__)
  if (ioperm(port, 1, 1) == 0)
    return true;
#else
  errno = ENOSYS; // I/O ports are x86's
#endif
  const char *hint = errno == EPERM    ? " (the port needs root)"
                     : errno == ENOSYS ? " (no I/O port access on this machine)"
                                       : "";
  fprintf(stderr, "%s: port 0x%x: %s%s\n", PROGRAM, port, strerror(errno), hint);
  return false;
}

// The expander on the bus, when the panel is there; the port output below writes to it.
int bus_fd = -1;
ExpanderPort expander;
bool on_bus = false;

// Opens the bus and sets the expander's pins idle with the backlight on: false, with a
// message, when the bus or the expander does not answer.
bool open_bus(const Options &options) {
  std::string error;
  bus_fd = expander_open_i2c(options.bus, options.address, &error);
  if (bus_fd < 0) {
    fprintf(stderr, "%s: %s\n", PROGRAM, error.c_str());
    return false;
  }
  expander.wiring = options.wiring;
  expander.write = expander_i2c_write;
  expander.context = &bus_fd;
  on_bus = true;
  lcd_port_out(0, 0);
  if (expander.failures == 0)
    return true;
  fprintf(stderr, "%s: %s: no expander answers at address 0x%02x: %s\n", PROGRAM,
          expander_device_path(options.bus).c_str(), static_cast<unsigned>(options.address),
          strerror(expander.last_error));
  close(bus_fd);
  return false;
}

// After bytes were shown: a bus that began to fail is reported (once, until it works
// again), and the panel, which may have lost its place in a transfer, is set up afresh
// at the next bytes.
void check_bus(PanelDrive &panel, const char *bus, int address) {
  static long failures_seen = 0;
  static bool failing = false;
  if (!on_bus)
    return;
  bool failed = expander.failures != failures_seen;
  failures_seen = expander.failures;
  if (failed && !failing)
    fprintf(stderr, "%s: %s: address 0x%02x: %s\n", PROGRAM, expander_device_path(bus).c_str(),
            static_cast<unsigned>(address), strerror(expander.last_error));
  else if (!failed && failing)
    fprintf(stderr, "%s: %s: address 0x%02x: the panel answers again\n", PROGRAM,
            expander_device_path(bus).c_str(), static_cast<unsigned>(address));
  failing = failed;
  if (failed)
    panel.ready = false;
}

bool open_input(LcdFeed &feed, const Options &options) {
  if (options.replay_path != nullptr)
    return lcd_feed_open_file(feed, PROGRAM, options.replay_path);
  return lcd_feed_open_device(feed, PROGRAM, LCD_DEVICE_PATH);
}

// Reads and shows until the recorded stream ends or a signal stops it: the exit status.
int run(PanelDrive &panel, LcdFeed &feed, const Options &options) {
  LcdScreen screen;
  char buffer[4096];
  for (;;) {
    size_t length = 0;
    switch (lcd_feed_read(feed, PROGRAM, buffer, sizeof buffer, length, -1)) {
    case LcdFeedStatus::Bytes:
      panel_drive_feed(panel, screen, buffer, length);
      check_bus(panel, options.bus, options.address);
      break;
    case LcdFeedStatus::WriterGone:
      lcd_screen_break(screen);
      break;
    case LcdFeedStatus::Idle:
      break;
    case LcdFeedStatus::End:
    case LcdFeedStatus::Stopped:
      return 0;
    case LcdFeedStatus::Failed:
      return 1;
    }
  }
}

} // namespace

extern "C" void lcd_port_out(unsigned short port, unsigned char value) {
  if (on_bus) {
    expander_port_out(expander, value);
    return;
  }
#if defined(__i386__) || defined(__x86_64__)
  outb(value, port);
#else
  (void)port;     // no I/O ports on this machine: claim_port refuses before any write
  (void)value;
#endif
}

extern "C" void lcd_delay_us(unsigned int microseconds) {
  usleep(microseconds);
}

int main(int argc, char **argv) {
  Options options = parse_options(argc, argv);
  if (options.bus != nullptr ? !open_bus(options) : !claim_port(options.port))
    return 1;
  lcd_feed_catch_signals();
  LcdFeed feed;
  if (!open_input(feed, options))
    return 1;
  PanelDrive panel;
  panel.port = options.port;
  panel.rom = options.rom;
  panel_drive_init(panel);
  check_bus(panel, options.bus, options.address);
  int status = run(panel, feed, options);
  lcd_feed_close(feed);
  if (bus_fd >= 0)
    close(bus_fd);
  return status;
}
