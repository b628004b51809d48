#include "core.h"

#include "convert.h"
#include "paths.h"
#include "plfile.h"
#include "titleform.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

namespace {

// One move: the state as read at its start and as it changes.
struct Move {
  PlayIo &io;
  PlayState state;
  std::string status_file; // the word /tmp/STATUS holds
  std::string path;        // the current song's file
  bool chosen = false;     // a song was chosen (or started anew) in this move
  bool ok = true;

  bool startup() const { return status_file == "startup"; }
};

void fail(Move &m, const std::string &message) {
  m.io.report(message);
  m.ok = false;
}

// A failed step of the io, with the system's reason the io left in errno.
void fail_io(Move &m, const char *what, const char *path) {
  int reason = errno;
  fail(m, std::string(what) + " " + path + ": " + strerror(reason));
}

std::string address_text(const SongAddress &a) {
  return std::to_string(a.device) + " " + std::to_string(a.list) + " " + std::to_string(a.song);
}

// The first word of a state file; empty when there is none.
std::string first_word(PlayIo &io, const char *path) {
  std::string text;
  if (!io.read(path, text))
    return "";
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos)
    return "";
  size_t end = text.find_first_of(" \t\r\n", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The file of the song at an address: the text of the master list's first line for it.
std::optional<std::string> song_path(PlayIo &io, const SongAddress &a) {
  FILE *mpl = io.open_list(MPL_PATH);
  if (mpl == nullptr)
    return std::nullopt;
  std::optional<std::string> path;
  MplEntry entry;
  while (mpl_read_entry(mpl, &entry)) {
    if (entry.device == a.device && entry.list == a.list && entry.song == a.song) {
      path = entry.text;
      break;
    }
  }
  fclose(mpl);
  return path;
}

// The lists of the master list in its order, each with the file of its song 1 if it has
// one.
struct ListEntry {
  int device;
  int list;
  std::optional<std::string> first;
};

std::vector<ListEntry> all_lists(PlayIo &io) {
  std::vector<ListEntry> lists;
  FILE *mpl = io.open_list(MPL_PATH);
  if (mpl == nullptr)
    return lists;
  std::map<std::pair<int, int>, std::string> firsts;
  MplEntry entry;
  while (mpl_read_entry(mpl, &entry)) {
    if (entry.list != 0 && entry.song == 0)
      lists.push_back({entry.device, entry.list, std::nullopt});
    else if (entry.song == 1)
      firsts.emplace(std::make_pair(entry.device, entry.list), entry.text);
  }
  fclose(mpl);
  for (ListEntry &list : lists) {
    auto found = firsts.find({list.device, list.list});
    if (found != firsts.end())
      list.first = found->second;
  }
  return lists;
}

// The order number of the song at an address; 0 when the order list does not hold it.
int order_number(PlayIo &io, const SongAddress &a) {
  FILE *opl = io.open_list(OPL_PATH);
  if (opl == nullptr)
    return 0;
  int order = 0;
  OplEntry entry;
  while (opl_read_entry(opl, &entry)) {
    if (entry.device == a.device && entry.list == a.list && entry.song == a.song) {
      order = entry.order;
      break;
    }
  }
  fclose(opl);
  return order;
}

// The song with order number n; past either end, the first. False for an empty list.
bool order_entry(PlayIo &io, int n, SongAddress *song) {
  FILE *opl = io.open_list(OPL_PATH);
  if (opl == nullptr)
    return false;
  bool have = false;
  OplEntry entry;
  while (opl_read_entry(opl, &entry)) {
    if (!have || entry.order == n) {
      *song = {entry.device, entry.list, entry.song};
      have = true;
    }
    if (entry.order == n)
      break;
  }
  fclose(opl);
  return have;
}

int order_count(PlayIo &io) {
  FILE *opl = io.open_list(OPL_PATH);
  if (opl == nullptr)
    return 0;
  int count = 0;
  OplEntry entry;
  while (opl_read_entry(opl, &entry))
    ++count;
  fclose(opl);
  return count;
}

bool save_state(Move &m) {
  if (m.io.replace(PLAYSTATE_PATH, format_play_state(m.state)))
    return true;
  fail_io(m, "could not write", PLAYSTATE_PATH);
  return false;
}

// /tmp/STATUS says the status to the outside; written only when it changes.
void tell_status(Move &m) {
  const char *word = status_word(m.state.status);
  if (m.status_file == word)
    return;
  if (m.io.replace(STATUS_PATH, std::string(word) + "\n"))
    m.status_file = word;
  else
    fail_io(m, "could not write", STATUS_PATH);
}

// The status changes: in the core's record first, then for the outside.
void set_status(Move &m, PlayStatus status) {
  m.state.status = status;
  save_state(m);
  tell_status(m);
}

// Takes the song at an address as the current one, not yet saved: a new choice, whose
// resume point is not yet known to be its own.
void take_song(Move &m, const SongAddress &song, const std::string &path) {
  m.state.song = song;
  m.state.has_song = true;
  m.state.frame_kept = false;
  m.state.generation = next_generation(m.state.generation);
  m.path = path;
  m.chosen = true;
}

// Makes the choice durable: once the record of the new song is on the disk, the older
// song's resume point is removed, and only then is the record told that the resume point
// (none yet: the start) is the song's own. A power cut between the steps leaves a record
// that says "fresh", and the song then starts at its beginning.
void keep_choice(Move &m) {
  std::string frame;
  if (m.io.read(FRAMEPOS_PATH, frame)) {
    if (!save_state(m))
      return;
    if (!m.io.remove(FRAMEPOS_PATH)) {
      fail_io(m, "could not remove", FRAMEPOS_PATH);
      return;
    }
  }
  m.state.frame_kept = true;
  save_state(m);
}

bool choose_address(Move &m, const SongAddress &song) {
  std::optional<std::string> path = song_path(m.io, song);
  if (!path)
    return false;
  take_song(m, song, *path);
  return true;
}

// Chooses the song with order number n (past either end: the first).
bool choose_order(Move &m, int n) {
  SongAddress song{};
  if (!order_entry(m.io, n, &song))
    return false;
  if (choose_address(m, song))
    return true;
  fail(m, "the order list's song " + address_text(song) + " is not in the master list");
  return false;
}

// The current song, in m.state.song and m.path: the one chosen, or the order's first when
// none is chosen or the chosen one has gone (a new scan). False when there is no song.
bool current(Move &m) {
  if (m.state.has_song) {
    std::optional<std::string> path = song_path(m.io, m.state.song);
    if (path) {
      m.path = *path;
      return true;
    }
  }
  if (!choose_order(m, 1))
    return false;
  save_state(m);
  return true;
}

void player(Move &m, const std::string &line) {
  if (!m.io.remove(PREPARED_PATH))
    fail_io(m, "could not remove", PREPARED_PATH);
  if (!m.io.player(line))
    fail(m, "the player did not take \"" + line + "\"");
}

void display(Move &m, const std::vector<std::string> &lines) {
  if (!m.io.display(lines))
    fail(m, "the display did not take its lines");
}

std::string title_of(const std::string &path) {
  char work[TITLE_BUFFER_SIZE];
  char title[TITLE_BUFFER_SIZE];
  title_work_copy(work, path.c_str());
  titleform(work, title);
  return title;
}

void show_status(Move &m, const char *word) {
  display(m, {std::string("display_setstatus ") + word + " " + address_text(m.state.song)});
}

void show_song(Move &m, const char *word) {
  display(m, {"display_settitle " + title_of(m.path),
              std::string("display_setstatus ") + word + " " + address_text(m.state.song),
              "display_settime +00:00 -00:00"});
}

// Starts the current song from its beginning. The player and the display are told
// first, so the song changes at once; the durable record follows.
void play_current(Move &m) {
  if (!m.chosen)
    take_song(m, m.state.song, m.path); // the same song, started anew
  player(m, "LOAD " + m.path);
  show_song(m, "PLAY");
  m.state.status = PlayStatus::play;
  keep_choice(m);
  tell_status(m);
}

bool framepos_is_zero(Move &m) {
  std::string text;
  return m.io.read(FRAMEPOS_PATH, text) && text.find_first_of("0123456789") != std::string::npos &&
         parse_atoi(text.c_str()) == 0;
}

// While the jukebox starts: the current song loaded paused at its beginning, ready for
// the jump to its resume point, which is kept only when it is the song's own and not a
// song end's 0. A song the player already holds so is not loaded again: the player would
// report a stop, and the watcher would take it for the song's end.
void prepare_current(Move &m) {
  if (!m.state.frame_kept || framepos_is_zero(m))
    keep_choice(m);
  std::string prepared;
  bool loaded = m.io.read(PREPARED_PATH, prepared) &&
                prepared.substr(0, prepared.find('\n')) == address_text(m.state.song);
  if (!loaded) {
    player(m, "LOADPAUSED " + m.path);
    if (!m.io.replace(PREPARED_PATH, address_text(m.state.song) + "\n"))
      fail_io(m, "could not write", PREPARED_PATH);
  }
  show_song(m, "PAUS");
}

void step_list(Move &m, int step) {
  std::vector<ListEntry> lists = all_lists(m.io);
  if (lists.empty())
    return;
  int n = static_cast<int>(lists.size());
  int at = 0;
  for (int i = 0; i < n; ++i) {
    if (lists[i].device == m.state.song.device && lists[i].list == m.state.song.list) {
      at = i;
      break;
    }
  }
  const ListEntry &to = lists[(at + step % n + n) % n];
  if (!to.first)
    return;
  take_song(m, {to.device, to.list, 1}, *to.first);
  play_current(m);
}

// The first song of the next list that lies on another device and has one; with one
// device only, the way round ends at the current list's first song.
void change_device(Move &m) {
  std::vector<ListEntry> lists = all_lists(m.io);
  int n = static_cast<int>(lists.size());
  int at = 0;
  for (int i = 0; i < n; ++i) {
    if (lists[i].device == m.state.song.device && lists[i].list == m.state.song.list) {
      at = i;
      break;
    }
  }
  int start = m.state.song.device;
  const ListEntry *chosen = nullptr;
  for (int k = 1; k <= n; ++k) {
    const ListEntry &to = lists[(at + k) % n];
    if (!to.first)
      continue;
    chosen = &to;
    if (to.device != start)
      break;
  }
  if (chosen != nullptr)
    take_song(m, {chosen->device, chosen->list, 1}, *chosen->first);
  play_current(m);
}

char next_mode(char mode) {
  switch (mode) {
  case 's':
    return 'a';
  case 'a':
    return 'd';
  case 'd':
    return 'l';
  default:
    return 's';
  }
}

OrderMode order_mode(char mode) {
  switch (mode) {
  case 'a':
    return OrderMode::all;
  case 'd':
    return OrderMode::device;
  case 'l':
    return OrderMode::list;
  default:
    return OrderMode::sequential;
  }
}

// Builds the order list again in the mode, as orderbuild does.
bool build_order(Move &m, char mode) {
  FILE *mpl = m.io.open_list(MPL_PATH);
  if (mpl == nullptr) {
    fail_io(m, "could not read", MPL_PATH);
    return false;
  }
  std::vector<SongAddress> entries(ORDER_MAX_ENTRIES);
  int count = read_song_entries(mpl, entries.data(), ORDER_MAX_ENTRIES);
  fclose(mpl);
  std::vector<SongAddress> slots(static_cast<size_t>(count));
  fill_order(entries.data(), count, order_mode(mode), slots.data(), clock_millis);
  std::string text;
  text.reserve(static_cast<size_t>(count) * 16);
  char line[ORDER_LINE_MAX];
  for (int i = 0; i < count; ++i) {
    const char *end = put_order_line(line, i + 1, slots[static_cast<size_t>(i)]);
    text.append(line, static_cast<size_t>(end - line));
  }
  if (m.io.replace(OPL_PATH, text))
    return true;
  fail_io(m, "could not write", OPL_PATH);
  return false;
}

// The next order of play; the current song plays on.
void change_order(Move &m) {
  std::string word = first_word(m.io, RANDOM_PATH);
  char mode = word.size() == 1 && strchr("sadl", word[0]) != nullptr ? word[0] : 's';
  char next = next_mode(mode);
  if (build_order(m, next)) {
    if (m.io.replace(RANDOM_PATH, std::string(1, next) + "\n"))
      mode = next;
    else
      fail_io(m, "could not write", RANDOM_PATH);
  }
  // The mode in force, which is the old one when the new order could not be made.
  display(m, {std::string("display_setrandommode ") + order_mode_text(mode)});
}

// True when the power went as a song ended, before the next one was chosen: the player
// was told to play, the record's resume point is the song's own, and the watcher's mark of
// a song's end (0) is in it. A stop that was asked for changes the status first.
bool song_had_ended(Move &m) {
  return m.state.status == PlayStatus::play && m.state.frame_kept && framepos_is_zero(m);
}

void next_song(Move &m) {
  if (choose_order(m, order_number(m.io, m.state.song) + 1))
    play_current(m);
}

// The moves, each on the current song (which `current` has found) unless its entry in
// the table below says otherwise.

void move_next(Move &m, const PlayRequest & /*request*/) {
  if (m.startup())
    prepare_current(m);
  else
    next_song(m);
}

void move_song_ended(Move &m, const PlayRequest & /*request*/) {
  // Stops that were asked for (a stop, a paused load, a start) start nothing.
  if (!m.startup() && m.state.status == PlayStatus::play)
    next_song(m);
}

void move_prev(Move &m, const PlayRequest & /*request*/) {
  int order = order_number(m.io, m.state.song);
  if (choose_order(m, order <= 1 ? order_count(m.io) : order - 1))
    play_current(m);
}

void move_nextlist(Move &m, const PlayRequest & /*request*/) {
  step_list(m, 1);
}

void move_prevlist(Move &m, const PlayRequest & /*request*/) {
  step_list(m, -1);
}

// List 0 of a device is the device itself and song 0 of a list the list: no change.
void move_gotolist(Move &m, const PlayRequest &r) {
  if (r.numbers[0] >= 1 && choose_address(m, {m.state.song.device, r.numbers[0], 1}))
    play_current(m);
}

void move_gotosong(Move &m, const PlayRequest &r) {
  if (r.numbers[0] >= 1 &&
      choose_address(m, {m.state.song.device, m.state.song.list, r.numbers[0]}))
    play_current(m);
}

void move_pause(Move &m, const PlayRequest & /*request*/) {
  if (m.startup() || m.state.status == PlayStatus::pause) {
    set_status(m, PlayStatus::play);
    player(m, "PAUSE");
    show_status(m, "PLAY");
  } else if (m.state.status == PlayStatus::play) {
    set_status(m, PlayStatus::pause);
    player(m, "PAUSE");
    show_status(m, "PAUS");
  } else {
    play_current(m);
  }
}

void move_stop(Move &m, const PlayRequest & /*request*/) {
  if (m.startup()) {
    prepare_current(m);
    return;
  }
  // Recorded before the player stops, so that its report of the stop is never taken for
  // a song's end after a power cut.
  set_status(m, PlayStatus::stop);
  player(m, "STOP");
  show_status(m, "STOP");
}

void move_random(Move &m, const PlayRequest & /*request*/) {
  change_order(m);
}

void move_device(Move &m, const PlayRequest & /*request*/) {
  change_device(m);
}

void move_say(Move &m, const PlayRequest & /*request*/) {
  std::string title = title_of(m.path);
  display(m, {"display_settitle " + title});
  m.io.say(title);
}

// Needs no current song: a chosen address plays from its start (song 0: the list's
// first); one the master list does not hold changes nothing.
void move_address(Move &m, const PlayRequest &r) {
  SongAddress song{r.numbers[0], r.numbers[1], r.numbers[2] == 0 ? 1 : r.numbers[2]};
  if (choose_address(m, song))
    play_current(m);
}

// Before the daemons start: a song whose end the power cut interrupted is followed by the
// next, from its start. Otherwise nothing is written.
void move_startup(Move &m, const PlayRequest & /*request*/) {
  if (song_had_ended(m) && current(m) && choose_order(m, order_number(m.io, m.state.song) + 1))
    keep_choice(m);
}

// The song that follows a song that is gone: of the order list's songs, the first one
// after its address (so on the same stick the next there, else the first of the next
// device), or round to the first one; with no song chosen, the order's first. False when
// the order list is empty.
bool next_present(Move &m, SongAddress *song) {
  FILE *opl = m.io.open_list(OPL_PATH);
  if (opl == nullptr)
    return false;
  bool first = false, after = false;
  SongAddress first_song{}, after_song{};
  OplEntry entry;
  while (opl_read_entry(opl, &entry)) {
    SongAddress at{entry.device, entry.list, entry.song};
    if (!first) {
      first_song = at;
      first = true;
    }
    if (m.state.has_song && at > m.state.song && (!after || at < after_song)) {
      after_song = at;
      after = true;
    }
  }
  fclose(opl);
  *song = after ? after_song : first_song;
  return first;
}

// After the lists were made again (a stick came or went). The song of the record plays on
// when it is still there: nothing is written or sent. One that went with its stick is
// followed by the next one there is, in the state the jukebox was in (playing, paused,
// stopped); with no song left the player lets go of the song, the display says "NO
// MUSIC", and the record keeps what it was, so that the music starts again when a stick
// brings some.
void move_rescan(Move &m, const PlayRequest & /*request*/) {
  if (m.state.has_song && song_path(m.io, m.state.song))
    return;
  SongAddress song{};
  std::optional<std::string> path;
  if (!next_present(m, &song) || !(path = song_path(m.io, song))) {
    if (m.state.has_song)
      player(m, "STOP");
    display(m, {"display_setstatus NO MUSIC"});
    return;
  }
  take_song(m, song, *path);
  if (m.startup() || m.state.status == PlayStatus::play) {
    play_current(m);
  } else if (m.state.status == PlayStatus::pause) {
    player(m, "LOADPAUSED " + m.path);
    show_song(m, "PAUS");
    keep_choice(m);
  } else {
    show_song(m, "STOP");
    keep_choice(m);
  }
}

struct VerbEntry {
  const char *name;
  PlayVerb verb;
  int numbers;                                      // how many follow the verb
  bool on_current;                                  // the current song is found first
  void (*carry_out)(Move &m, const PlayRequest &r); // what it does
};

const VerbEntry VERBS[] = {
    {"next", PlayVerb::next, 0, true, move_next},
    {"prev", PlayVerb::prev, 0, true, move_prev},
    {"nextlist", PlayVerb::nextlist, 0, true, move_nextlist},
    {"prevlist", PlayVerb::prevlist, 0, true, move_prevlist},
    {"gotolist", PlayVerb::gotolist, 1, true, move_gotolist},
    {"gotosong", PlayVerb::gotosong, 1, true, move_gotosong},
    {"pause", PlayVerb::pause, 0, true, move_pause},
    {"stop", PlayVerb::stop, 0, true, move_stop},
    {"random", PlayVerb::random, 0, true, move_random},
    {"device", PlayVerb::device, 0, true, move_device},
    {"address", PlayVerb::address, 3, false, move_address},
    {"say", PlayVerb::say, 0, true, move_say},
    {"song-ended", PlayVerb::song_ended, 0, true, move_song_ended},
    {"startup", PlayVerb::startup, 0, false, move_startup},
    {"rescan", PlayVerb::rescan, 0, false, move_rescan},
};

const VerbEntry *entry_of(PlayVerb verb) {
  for (const VerbEntry &v : VERBS) {
    if (v.verb == verb)
      return &v;
  }
  return nullptr;
}

} // namespace

bool parse_play_request(int count, char *const *words, PlayRequest *request) {
  if (count < 1)
    return false;
  for (const VerbEntry &v : VERBS) {
    if (strcmp(words[0], v.name) != 0)
      continue;
    if (count != 1 + v.numbers)
      return false;
    PlayRequest r{v.verb};
    for (int i = 0; i < v.numbers; ++i) {
      long n;
      if (!parse_long(words[1 + i], 0, INT_MAX, &n))
        return false;
      r.numbers[i] = static_cast<int>(n);
    }
    *request = r;
    return true;
  }
  return false;
}

bool play_move(PlayIo &io, const PlayRequest &request) {
  Move m{io, {}, first_word(io, STATUS_PATH), "", false, true};
  std::string text;
  if (io.read(PLAYSTATE_PATH, text))
    m.state = parse_play_state(text);
  const VerbEntry *verb = entry_of(request.verb);
  if (verb == nullptr)
    return false;
  // A goto of 0 changes nothing, not even the fall-back choice of a first song.
  bool names_nothing = (request.verb == PlayVerb::gotolist || request.verb == PlayVerb::gotosong) &&
                       request.numbers[0] < 1;
  if (names_nothing || (verb->on_current && !current(m)))
    return m.ok; // no song at all: nothing to do
  verb->carry_out(m, request);
  return m.ok;
}
