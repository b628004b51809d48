// Fuzzer of the control daemon's command table. The input is
//
//   byte 0        the mixer device: bits 0-3 the channels it has (master, bass, treble,
//                 PCM), bit 4 set: it cannot be opened, bit 5 set: the channel request fails
//   bytes 1-4     the settings restored at start (volume, balance, bass, treble; any value
//                 in range, as a state file may hold)
//   bytes 5-8     the frame in /tmp/FRAMEPOS (little endian, any int)
//   the rest      the bytes of /tmp/fifo.control, read as the read loop reads them
//
// Each line is dispatched with the shell, the mixer device and the FIFOs replaced by
// recorders, and what it did is checked against the command table, worked out here with
// sscanf on the table's own patterns: the commands that would run (only the table's
// fixed command lines, or a script with one decimal number of at most four digits, so
// nothing of a line but those digits reaches the shell), the jump lines for the player,
// the display lines, the mixer requests and their level words; the settings stay in
// their ranges and the device is closed again after each use.

#include "control.h"
#include "daemon.h"
#include "memstream.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

constexpr unsigned long READ_DEVMASK = 0x80044DFE;
constexpr unsigned long WRITE_BASS = 0xC0044D01;
constexpr unsigned long WRITE_TREBLE = 0xC0044D02;
constexpr unsigned long WRITE_PCM = 0xC0044D04;
constexpr int MIXER_FD = 1000; // never a real descriptor of this process

// A few short lines: what one command line made the core send, or what it should have.
// Fixed arrays rather than strings: a line is checked hundreds of times per input, and
// allocations would cost more than the dispatch itself.
struct Texts {
  static constexpr int MAX = 4;
  char text[MAX][64];
  int count = 0;

  void add(const char *line) {
    FUZZ_CHECK(count < MAX && strlen(line) < sizeof text[0]);
    strcpy(text[count++], line);
  }
  __attribute__((format(printf, 2, 3))) void addf(const char *format, ...) {
    FUZZ_CHECK(count < MAX);
    va_list args;
    va_start(args, format);
    vsnprintf(text[count++], sizeof text[0], format, args);
    va_end(args);
  }
  bool operator==(const Texts &other) const {
    if (count != other.count)
      return false;
    for (int i = 0; i < count; ++i) {
      if (strcmp(text[i], other.text[i]) != 0)
        return false;
    }
    return true;
  }
};

struct Request {
  unsigned long request;
  int value;
  bool operator==(const Request &) const = default;
};

struct Requests {
  Request list[4];
  int count = 0;

  void add(Request r) {
    FUZZ_CHECK(count < 4);
    list[count++] = r;
  }
  bool operator==(const Requests &other) const {
    return count == other.count && std::equal(list, list + count, other.list);
  }
};

// What the core did through its seams.
struct Record {
  Texts commands;
  Texts player_lines;
  Texts display_lines;
  Requests requests;
  size_t pending = 0; // lines written but not flushed
  int reopens = 0;
  int opens = 0;
  int open_now = 0;
};

Record record;
int device_mask = 0;
bool device_missing = false;
bool mask_fails = false;
int frame = 0;

} // namespace

// The FIFOs.
void ipc_write_player(const char *line) {
  record.player_lines.add(line);
  ++record.pending;
}

void ipc_write_display(const char *line) {
  record.display_lines.add(line);
  ++record.pending;
}

void ipc_flush() {
  record.pending = 0;
}

void ipc_reopen_player() {
  ipc_flush();
  ++record.reopens;
}

// The shell: a script's own output must come after the lines written before it ran.
int shell_run(const char *command) {
  FUZZ_CHECK(record.pending == 0);
  record.commands.add(command);
  return 0;
}

// The mixer device.
int mixer_device_open() {
  if (device_missing) {
    errno = ENOENT;
    return -1;
  }
  FUZZ_CHECK(record.open_now == 0);
  ++record.opens;
  ++record.open_now;
  return MIXER_FD;
}

int mixer_device_request(int fd, unsigned long request, int *argument) {
  FUZZ_CHECK(fd == MIXER_FD && record.open_now == 1);
  if (request == READ_DEVMASK) {
    if (mask_fails) {
      errno = EINVAL;
      return -1;
    }
    *argument = device_mask;
    return 0;
  }
  // The master level (0xC0044D00) is set once at start, never by a command.
  FUZZ_CHECK(request == WRITE_PCM || request == WRITE_BASS || request == WRITE_TREBLE);
  record.requests.add({request, *argument});
  return 0;
}

void mixer_device_close(int fd) {
  FUZZ_CHECK(fd == MIXER_FD && record.open_now == 1);
  --record.open_now;
}

int saved_frame() {
  return frame;
}

namespace {

// One row of the command table as the reference sees it: a whole-line word, or a word
// with a number matched by the row's scanf pattern.
using Scan = bool (*)(const char *line, char *digits);

struct Row {
  const char *word;
  Scan pattern; // nullptr for an exact row
};

bool scan_jump(const char *line, char *digits) {
  return sscanf(line, "player_jump %16[1234567890]", digits) == 1;
}
bool scan_jumpto(const char *line, char *digits) {
  return sscanf(line, "player_jumpto %16[1234567890]", digits) == 1;
}
bool scan_gotolist(const char *line, char *digits) {
  return sscanf(line, "player_gotolist %4[1234567890]", digits) == 1;
}
bool scan_gotosong(const char *line, char *digits) {
  return sscanf(line, "player_gotosong %4[1234567890]", digits) == 1;
}

const Row TABLE[] = {
    {"player_startup", nullptr},        {"player_restart", nullptr},
    {"player_stop", nullptr},           {"player_pause", nullptr},
    {"player_changernd", nullptr},      {"player_changedev", nullptr},
    {"player_nextlist", nullptr},       {"player_nextsong", nullptr},
    {"player_jumpfw", nullptr},         {"player_prevlist", nullptr},
    {"player_prevsong", nullptr},       {"player_jumpbw", nullptr},
    {"player_jump", scan_jump},         {"player_jumpto", scan_jumpto},
    {"player_gotolist", scan_gotolist}, {"player_gotosong", scan_gotosong},
    {"player_sayinfo", nullptr},        {"mixer_volumeup", nullptr},
    {"mixer_volumedown", nullptr},      {"mixer_balanceleft", nullptr},
    {"mixer_balanceright", nullptr},    {"mixer_bassup", nullptr},
    {"mixer_bassdown", nullptr},        {"mixer_trebleup", nullptr},
    {"mixer_trebledown", nullptr},
};

// The row a line fires, with its number; nullptr when it fires none.
const Row *reference_row(const char *line, long long *number) {
  for (const Row &row : TABLE) {
    if (row.pattern == nullptr) {
      if (strcmp(line, row.word) == 0)
        return &row;
      continue;
    }
    char digits[17];
    if (row.pattern(line, digits)) {
      *number = strtoll(digits, nullptr, 10);
      return &row;
    }
  }
  return nullptr;
}

int clamp_int(long long n) {
  return static_cast<int>(std::min<long long>(n, INT32_MAX));
}

void add_jump_line(Texts &lines, long long n, bool relative) {
  lines.addf(relative ? "JUMP +%d" : "JUMP %d", clamp_int(n));
}

bool within(int value, int low, int high) {
  return value >= low && value <= high;
}

bool in_range(const MixerSettings &s) {
  return within(s.volume, 0, 100) && within(s.balance, -100, 100) && within(s.bass, 0, 100) &&
         within(s.treble, 0, 100);
}

// A requested value takes effect only inside its range.
int stepped(int value, int step, int low, int high) {
  return within(value + step, low, high) ? value + step : value;
}

// The PCM level word for the settings: the louder side at the volume, the other lowered
// by the balance (truncated, so never above the exact quotient and at most one below it).
void check_pcm_word(int word, const MixerSettings &s) {
  FUZZ_CHECK((word & ~0xFFFF) == 0);
  int left = word & 0xFF, right = word >> 8;
  int attenuated = s.balance < 0 ? right : left;
  int full = s.balance < 0 ? left : right;
  FUZZ_CHECK(full == s.volume);
  int exact = s.volume * (100 - std::abs(s.balance)) / 100;
  FUZZ_CHECK(attenuated == exact || attenuated == exact - 1);
  FUZZ_CHECK(attenuated >= 0);
  if (s.volume % 4 == 0 && s.balance % 4 == 0)
    FUZZ_CHECK(attenuated == exact);
}

// The device requests of one step command: the PCM levels after a volume or balance
// step, bass and treble after a tone step.
void check_mixer(const MixerSettings &after, bool levels, bool tone) {
  const Requests &r = record.requests;
  int opened = record.opens;
  if (device_missing) {
    FUZZ_CHECK(opened == 0 && r.count == 0);
    return;
  }
  int channels = mask_fails ? 0 : device_mask;
  if (levels) {
    FUZZ_CHECK(opened == 1);
    if (channels & 0x10) {
      FUZZ_CHECK(r.count == 1 && r.list[0].request == WRITE_PCM);
      check_pcm_word(r.list[0].value, after);
    } else {
      FUZZ_CHECK(r.count == 0);
    }
  }
  if (tone) {
    FUZZ_CHECK(opened == 1);
    Requests want;
    if (channels & 0x02) {
      want.add({WRITE_BASS, after.bass | after.bass << 8});
      if (channels & 0x04)
        want.add({WRITE_TREBLE, after.treble | after.treble << 8});
    }
    FUZZ_CHECK(r == want);
  }
}

void check_line(const char *line) {
  MixerSettings before = mixer_settings();
  record.commands.count = 0;
  record.player_lines.count = 0;
  record.display_lines.count = 0;
  record.requests.count = 0;
  record.opens = 0;
  int reopens = record.reopens;

  dispatch(line);

  MixerSettings after = mixer_settings();
  FUZZ_CHECK(in_range(after));
  FUZZ_CHECK(record.open_now == 0);
  for (int i = 0; i < record.player_lines.count; ++i)
    FUZZ_CHECK(strchr(record.player_lines.text[i], '\n') == nullptr);

  long long number = 0;
  const Row *row = reference_row(line, &number);
  std::string_view word = row != nullptr ? row->word : "";
  bool mixer = word.starts_with("mixer_");

  // Commands for the shell: only the table's.
  Texts commands;
  Texts player_lines;
  std::string_view script = word.substr(word.empty() ? 0 : 7); // after "player_"
  int script_length = static_cast<int>(script.size());
  if (word == "player_startup") {
    commands.add("echo startup >/tmp/STATUS");
    commands.add("stop.sh");
    if (frame != 0)
      add_jump_line(player_lines, frame, false);
  } else if (word == "player_restart") {
    commands.add("echo startup >/tmp/STATUS");
    commands.add("nextsong.sh");
    commands.add("stop.sh");
  } else if (word == "player_jumpfw") {
    player_lines.add("JUMP +200");
  } else if (word == "player_jumpbw") {
    player_lines.add("JUMP -200");
  } else if (word == "player_jump" || word == "player_jumpto") {
    FUZZ_CHECK(number >= 0);
    if (number != 0)
      add_jump_line(player_lines, number, word == "player_jump");
  } else if (word == "player_gotolist" || word == "player_gotosong") {
    FUZZ_CHECK(number >= 0 && number <= 9999);
    commands.addf("%.*s.sh %lld", script_length, script.data(), number);
  } else if (row != nullptr && !mixer) {
    commands.addf("%.*s.sh", script_length, script.data());
  }
  FUZZ_CHECK(record.commands == commands);
  FUZZ_CHECK(record.player_lines == player_lines);
  FUZZ_CHECK(record.reopens == reopens + (word == "player_restart" ? 1 : 0));

  // The mixer: the stepped setting, its display lines and device requests.
  MixerSettings want = before;
  Texts display;
  if (word == "mixer_volumeup" || word == "mixer_volumedown") {
    want.volume = stepped(before.volume, word == "mixer_volumeup" ? 4 : -4, 0, 100);
    display.addf("display_setvolume %d", want.volume);
  } else if (word == "mixer_balanceleft" || word == "mixer_balanceright") {
    want.balance = stepped(before.balance, word == "mixer_balanceright" ? 4 : -4, -100, 100);
    display.addf("display_setbalance %d", want.balance);
    display.addf("display_setvolume %d", want.volume);
  } else if (mixer) {
    if (word.starts_with("mixer_bass"))
      want.bass = stepped(before.bass, word == "mixer_bassup" ? 4 : -4, 0, 100);
    else
      want.treble = stepped(before.treble, word == "mixer_trebleup" ? 4 : -4, 0, 100);
    display.addf("display_setbass %d", want.bass);
    display.addf("display_settreble %d", want.treble);
  }
  FUZZ_CHECK(after.volume == want.volume && after.balance == want.balance &&
             after.bass == want.bass && after.treble == want.treble);
  FUZZ_CHECK(record.display_lines == display);
  if (mixer) {
    bool levels = word.starts_with("mixer_volume") || word.starts_with("mixer_balance");
    check_mixer(after, levels, !levels);
  } else {
    FUZZ_CHECK(record.opens == 0 && record.requests.count == 0);
  }
}

int32_t little_endian(const uint8_t *p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 9)
    return 0;
  record = Record();
  int channels = data[0];
  device_mask = (channels & 1 ? 0x01 : 0) | (channels & 2 ? 0x02 : 0) | (channels & 4 ? 0x04 : 0) |
                (channels & 8 ? 0x10 : 0);
  device_missing = (channels & 0x10) != 0;
  mask_fails = (channels & 0x20) != 0;
  frame = little_endian(data + 5);

  // The start: every setting 0, then the restored ones, as mixer_load leaves them. What
  // these calls send is not looked at.
  auto setup = [](auto step) {
    step();
    FUZZ_CHECK(record.open_now == 0 && record.commands.count == 0);
    record = Record();
  };
  setup([] { mixer_setbalance(0); });
  setup([] { mixer_setvolume(0); });
  setup([] { mixer_settone(0, 0); });
  setup([&] { mixer_setbalance(data[2] % 201 - 100); });
  setup([&] { mixer_setvolume(data[1] % 101); });
  setup([&] { mixer_settone(data[3] % 101, data[4] % 101); });
  MixerSettings start = mixer_settings();
  FUZZ_CHECK(start.volume == data[1] % 101 && start.balance == data[2] % 201 - 100 &&
             start.bass == data[3] % 101 && start.treble == data[4] % 101);

  MemStream in(data + 9, size - 9);
  if (in.get() == nullptr)
    return 0;
  char line[IPC_LINE_SIZE];
  line[0] = '\0';
  while (!feof(in.get())) {
    ipc_read_line(in.get(), line);
    FUZZ_CHECK(strlen(line) < IPC_LINE_SIZE);
    check_line(line);
    line[0] = '\0';
  }
  return 0;
}
