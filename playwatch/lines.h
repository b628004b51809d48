#pragma once

// The player's output lines as playwatch reads them, and the texts it makes of them. The
// functions here only compute: what a line changes in the watcher's state and which
// effects it asks for. playwatch.cpp carries the effects out.

// A player line holds at most 655 characters and its terminator; longer lines are cut.
inline constexpr int PLAYER_LINE_SIZE = 656;

// The numbers of a frame-status line that the watcher uses.
struct FrameStatus {
  int frame;     // frame number
  int elapsed;   // whole seconds elapsed
  int remaining; // whole seconds remaining
};

// Matches the line as sscanf matches the pattern
//   "@F %16[1234567890] %16[1234567890] %8[1234567890].%0s %8[1234567890].%0s"
// (each blank: any run of white space, none included; "%0s": a word of any length) and
// is true only when all six conversions succeed. The three numbers are converted as atoi
// does, a frame number beyond the int range clamped to it.
bool parse_frame_line(const char *line, FrameStatus *status);

// The frame-status line in the one form the player writes: "@F", then four numbers
// separated by single blanks, the two second values written as digits, a point and
// digits, the line ended by its newline; the frame numbers have at most 16 digits and
// the whole seconds at most 8. The bytes from `line` to `end` may be read, and a newline
// or a zero byte lies among them. Returns the line's newline, with the whole seconds
// elapsed as parse_frame_line gives them for the text before the newline (which matches
// there too), or nullptr for any other text (which may still be a frame-status line:
// parse_frame_line decides). Its other numbers are needed only when the second is new;
// parse_frame_line gives them.
const char *match_player_frame_line(const char *line, const char *end, int *elapsed_seconds);

// Passes over the lines from `line` on that match_player_frame_line takes, that are no
// longer than PLAYER_LINE_SIZE - 1 characters and whose whole second elapsed is `second`:
// the watcher does nothing for them but echo them. Returns the first other line.
const char *pass_same_second_lines(const char *line, const char *end, int second);

// "+%02i:%02i -%02i:%02i" of elapsed and remaining seconds: minutes above 99 lose their
// hundreds, so the text is always 13 characters. `text` holds TIME_TEXT_SIZE bytes.
inline constexpr int TIME_TEXT_SIZE = 14;
void format_time_text(char *text, int elapsed, int remaining);

// The fixed-width fields of an "@I ID3:" line and its genre word, each zero-terminated.
struct Id3Fields {
  char title[31];
  char author[31];
  char album[31];
  char year[5];
  char comment[31];
  char genre[11]; // the first 10 characters of a longer word
};

// Matches the line as sscanf matches "@I ID3:%30c%30c%30c%4c%30c%s" and is true only when
// all six conversions succeed: 124 characters of fields after "ID3:", then a word.
bool parse_id3_line(const char *line, Id3Fields *fields);

// Cuts the blanks (character 32 only) at the end of the text; a text of blanks keeps one.
void trim_trailing_blanks(char *text);

// The title shown for a song: "author - title", or "(no-id3-tag)".
inline constexpr int TAG_TITLE_SIZE = 128;

// The watcher's state: it runs on across songs for the life of the process.
struct WatchState {
  int last_second = 0;        // elapsed second of the last time line
  int checkpoint_counter = 0; // changes of the elapsed second since the last checkpoint
  // The ID3v2 fields of the tag block being read ("@I {" to "@I }") as the player wrote
  // them, each field's lines joined by blanks.
  char v2_title[PLAYER_LINE_SIZE] = {};
  char v2_artist[PLAYER_LINE_SIZE] = {};
};

// What one player line asks for, in the order the watcher carries it out: the report
// lines on standard output, the checkpoint, the display line, the next song; the echo
// of the line always follows.
struct LineEffects {
  int report_length; // bytes of report, 0 for none
  bool checkpoint;   // write checkpoint_frame to /tmp/FRAMEPOS, then "sync"
  int checkpoint_frame;
  int display_length; // bytes of display, 0 for none
  bool next_song;     // run "nextsong.sh STOPCAUGHT>/tmp/fifo.player"
  char report[512];   // "[playwatch]id3tagtitle: >...<\n" and the six field lines
  char display[160];  // one display command line with its newline
};

// The frame-status handling of a line already matched: a change of the whole second asks
// for a time line, and every tenth change for a checkpoint. True when its second is new,
// which sets the checkpoint (or none) and the time line in `effects` and changes nothing
// else there.
bool handle_frame_status(WatchState *state, const FrameStatus &status, LineEffects *effects);

// All a line asks for: an "@I" line (other than the details of a tag block) the tag title
// for the display, and the report lines when it holds an ID3 tag; "@P 0" exactly
// checkpoint 0 and the next song; any other line is taken as a frame-status line. The
// titles go to the display as Latin-1, one byte a character, though the player writes
// UTF-8. At the end of a tag block ("@I }") that held an ID3v2 title, the display also
// gets "ID3v2 artist - ID3v2 title" (the title alone without an artist): today's tags
// carry whole titles, where the ID3v1 fields hold 30 bytes.
void watch_line(WatchState *state, const char *line, LineEffects *effects);

// The checkpoint file's content, "%16d\n"; returns its length. `text` holds at least
// FRAMEPOS_TEXT_SIZE bytes.
inline constexpr int FRAMEPOS_TEXT_SIZE = 32;
int format_framepos(char *text, int frame);
