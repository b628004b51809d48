// Fuzzer of playwatch's line handling. The input is split at newlines into player lines
// (each cut to the watcher's 655 characters, as its reader cuts them); every line goes
// through watch_line with one state for the whole input, and through the frame and ID3
// matchers, which must agree with the C library's sscanf on the watcher's patterns; the
// matcher of the player's own form of frame-status lines must agree with the general one
// wherever it takes a line. The effects must be well-formed: a display line ends in its
// newline and nothing else, a time line carries exactly 13 characters of time text, the
// checkpoint comes at every tenth change of the second or with "@P 0" only.

#include "lines.h"
#include "memstream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
bool reference_frame_matches(const char *line) {
  static char a[PLAYER_LINE_SIZE], b[PLAYER_LINE_SIZE], c[PLAYER_LINE_SIZE], d[PLAYER_LINE_SIZE],
      e[PLAYER_LINE_SIZE], f[PLAYER_LINE_SIZE];
  return sscanf(line, "@F %16[1234567890] %16[1234567890] %8[1234567890].%0s %8[1234567890].%0s", a,
                b, c, d, e, f) == 6;
}
#pragma GCC diagnostic pop

bool reference_id3_matches(const char *line, Id3Fields *fields) {
  static char genre[PLAYER_LINE_SIZE];
  memset(fields, 0, sizeof *fields);
  if (sscanf(line, "@I ID3:%30c%30c%30c%4c%30c%655s", fields->title, fields->author, fields->album,
             fields->year, fields->comment, genre) != 6)
    return false;
  memcpy(fields->genre, genre, strnlen(genre, 10));
  return true;
}

// The matcher of the player's own form reads a buffer up to a given end: its text is
// laid at the very end of this heap block, so the address sanitizer sees any read past
// that end. One block for the whole run spares an allocation for every line.
constexpr size_t kAfterMax = 24;
char *const tail_block = new char[PLAYER_LINE_SIZE + 1 + kAfterMax];
char *const tail_end = tail_block + PLAYER_LINE_SIZE + 1 + kAfterMax;

void check_line(WatchState *state, const char *line) {
  FrameStatus status;
  bool frame = parse_frame_line(line, &status);
  FUZZ_CHECK(frame == reference_frame_matches(line));
  // The matcher of the player's own form, on the line and its newline, at the end of what
  // it may read and followed by digits: where it takes the line, the general match does
  // and gives the same.
  size_t length = strlen(line);
  for (size_t after : {size_t{0}, kAfterMax}) {
    char *text = tail_end - (length + 1 + after);
    memcpy(text, line, length); // NOLINT(bugprone-not-null-terminated-result): a newline ends it
    text[length] = '\n';
    memset(text + length + 1, '9', after);
    int elapsed;
    const char *newline = match_player_frame_line(text, tail_end, &elapsed);
    if (newline != nullptr) {
      FUZZ_CHECK(newline == text + length);
      FUZZ_CHECK(frame && elapsed == status.elapsed);
    }
  }
  Id3Fields ours, theirs;
  bool id3 = parse_id3_line(line, &ours);
  FUZZ_CHECK(id3 == reference_id3_matches(line, &theirs));
  if (id3)
    FUZZ_CHECK(memcmp(&ours, &theirs, sizeof ours) == 0);

  WatchState before = *state;
  LineEffects fx;
  watch_line(state, line, &fx);
  bool stop = strcmp(line, "@P 0") == 0;
  // The close of a tag block that held an ID3v2 title sends that title, and the block's
  // fields are gone after it.
  bool block_close = strcmp(line, "@I }") == 0;
  bool v2_close = block_close && before.v2_title[0] != '\0';
  if (block_close)
    FUZZ_CHECK(state->v2_title[0] == '\0' && state->v2_artist[0] == '\0');
  FUZZ_CHECK(fx.next_song == stop);
  if (fx.display_length > 0) {
    FUZZ_CHECK(fx.display_length < static_cast<int>(sizeof fx.display));
    std::string display(fx.display, static_cast<size_t>(fx.display_length));
    FUZZ_CHECK(display.find('\n') == display.size() - 1);
    if (display.compare(0, 16, "display_settime ") == 0) {
      FUZZ_CHECK(display.size() == 16 + 13 + 1);
      char text[TIME_TEXT_SIZE];
      format_time_text(text, status.elapsed, status.remaining);
      FUZZ_CHECK(display.compare(16, 13, text) == 0);
    } else {
      FUZZ_CHECK(display.compare(0, 23, "display_setid3tagtitle ") == 0);
      FUZZ_CHECK(line[0] == '@' && line[1] == 'I');
      FUZZ_CHECK(id3 || v2_close || display == "display_setid3tagtitle (no-id3-tag)\n");
    }
  }
  FUZZ_CHECK((fx.report_length > 0) == id3);
  if (id3)
    FUZZ_CHECK(fx.report_length < static_cast<int>(sizeof fx.report));
  bool changed = frame && !stop && status.elapsed != before.last_second;
  bool time_line = fx.display_length > 0 && strncmp(fx.display, "display_settime ", 16) == 0;
  FUZZ_CHECK(time_line == changed);
  // The field lines of a tag block, and its close without an ID3v2 title, leave the title
  // alone.
  bool tag_detail =
      strncmp(line, "@I ID3.", 7) == 0 || strncmp(line, "@I ID3v2.", 9) == 0 || block_close;
  FUZZ_CHECK(((line[0] == '@' && line[1] == 'I' && !tag_detail) || v2_close) ==
             (fx.display_length > 0 && !time_line));
  if (changed) {
    FUZZ_CHECK(state->last_second == status.elapsed);
    FUZZ_CHECK(fx.checkpoint == (before.checkpoint_counter == 9));
    FUZZ_CHECK(state->checkpoint_counter == (before.checkpoint_counter + 1) % 10);
    if (fx.checkpoint)
      FUZZ_CHECK(fx.checkpoint_frame == status.frame);
  } else {
    FUZZ_CHECK(state->last_second == before.last_second);
    FUZZ_CHECK(state->checkpoint_counter == before.checkpoint_counter);
    FUZZ_CHECK(fx.checkpoint == stop);
  }
  if (fx.checkpoint) {
    char text[FRAMEPOS_TEXT_SIZE];
    FUZZ_CHECK(format_framepos(text, fx.checkpoint_frame) == 17);
  }
}

// The watcher's line buffer, on the heap at its exact size so that the address
// sanitizer sees any read past it.
char *const line_buffer = new char[PLAYER_LINE_SIZE];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  WatchState state;
  const char *input = reinterpret_cast<const char *>(data);
  size_t start = 0;
  while (start < size) {
    const void *newline = memchr(input + start, '\n', size - start);
    size_t end =
        newline != nullptr ? static_cast<size_t>(static_cast<const char *>(newline) - input) : size;
    size_t length = std::min(end - start, size_t{PLAYER_LINE_SIZE - 1});
    memset(line_buffer, 0, PLAYER_LINE_SIZE);
    memcpy(line_buffer, input + start, length);
    check_line(&state, line_buffer);
    start = end + 1;
  }
  return 0;
}
