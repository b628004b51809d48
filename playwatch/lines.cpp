#include "lines.h"

#include "latin1.h"

#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>

namespace {

// White space as scanf skips it in the C locale.
bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

const char *skip_space(const char *p) {
  while (is_space(*p))
    ++p;
  return p;
}

// A "%N[1234567890]" conversion: 1 to max_digits digits at p, their value clamped to the
// int range (16 digits always fit a long long). Returns the end, or nullptr with none.
const char *scan_digits(const char *p, int max_digits, int *value) {
  long long n = 0;
  int count = 0;
  while (count < max_digits && is_digit(p[count])) {
    n = n * 10 + (p[count] - '0');
    ++count;
  }
  if (count == 0)
    return nullptr;
  *value = n > INT_MAX ? INT_MAX : static_cast<int>(n);
  return p + count;
}

// A "%0s" conversion, which glibc reads as "%s" of any length: white space, then at least
// one other character. Returns the end of the word, or nullptr with none.
const char *scan_word(const char *p) {
  p = skip_space(p);
  if (*p == '\0')
    return nullptr;
  while (*p != '\0' && !is_space(*p))
    ++p;
  return p;
}

// Whole seconds "%8[1234567890]", then the point, then the fraction "%0s".
const char *scan_seconds(const char *p, int *seconds) {
  p = scan_digits(p, 8, seconds);
  if (p == nullptr || *p != '.')
    return nullptr;
  return scan_word(p + 1);
}

// A fixed-width "%Nc" field: exactly `width` characters, zero-terminated.
const char *take_field(const char *p, char *field, int width) {
  memcpy(field, p, static_cast<size_t>(width));
  field[width] = '\0';
  return p + width;
}

// Two digits of a value 0..99.
char *put_two_digits(char *p, int value) {
  *p++ = static_cast<char>('0' + value / 10);
  *p++ = static_cast<char>('0' + value % 10);
  return p;
}

// Minutes and seconds of a count of seconds, the minutes cut to two digits.
char *put_minutes_seconds(char *p, int total) {
  int minutes = total / 60;
  if (minutes > 99)
    minutes %= 100;
  p = put_two_digits(p, minutes);
  *p++ = ':';
  return put_two_digits(p, total % 60);
}

// The number of digits at p (up to 8), the bytes p to p + 8 read as one word when they
// lie before `end` (and the machine puts a word's first byte lowest).
int digits_in_word(const char *p, const char *end) {
  if (end - p < 8 || std::endian::native != std::endian::little) {
    int count = 0;
    while (count < 8 && p + count < end && is_digit(p[count]))
      ++count;
    return count;
  }
  uint64_t word;
  memcpy(&word, p, sizeof word);
  // Each byte to its value less '0': a digit is then below 10; a bit 7 marks the others.
  uint64_t value = word ^ 0x3030303030303030u;
  uint64_t others =
      (((value & 0x7f7f7f7f7f7f7f7fu) + 0x7676767676767676u) | value) & 0x8080808080808080u;
  return others == 0 ? 8 : std::countr_zero(others) / 8;
}

// The number of digits at p, counted up to max_digits + 1 at least (beyond that the count
// may stop short).
long count_digits(const char *p, const char *end, long max_digits) {
  long count = 0;
  int in_word;
  do {
    in_word = digits_in_word(p + count, end);
    count += in_word;
  } while (in_word == 8 && count <= max_digits);
  return count;
}

// The value of the 1 to 8 digits at p, read as one word with the bytes after them where
// the machine puts a word's first byte lowest.
uint64_t digits_value(const char *p, long count) {
  if constexpr (std::endian::native != std::endian::little) {
    uint64_t n = 0;
    for (long i = 0; i < count; ++i)
      n = n * 10 + static_cast<unsigned>(p[i] - '0');
    return n;
  }
  uint64_t word;
  memcpy(&word, p, sizeof word);
  // The digits' values, the first one moved to the top, zeros before it.
  word = (word & 0x0f0f0f0f0f0f0f0fu) << (8 * (8 - count));
  // Pairs of digits, then fours, then the eight at once.
  word = word * 10 + (word >> 8);
  word = (((word & 0x000000ff000000ffu) * (100 + (1000000ULL << 32))) +
          (((word >> 16) & 0x000000ff000000ffu) * (1 + (10000ULL << 32)))) >>
         32;
  return word;
}

// The player-form match field by field: for lines near the end of what may be read, for
// lines longer than the span of match_player_frame_line's map of the line's bytes, and
// where no such map is made.
const char *match_frame_fields(const char *line, const char *end, int *elapsed_seconds) {
  if (end - line < 3 || line[0] != '@' || line[1] != 'F' || line[2] != ' ')
    return nullptr;
  // Four numbers, each followed by its separator, then the second fraction's newline.
  const char *frame = line + 3;
  long frame_digits = count_digits(frame, end, 16);
  if (frame_digits == 0 || frame_digits > 16 || frame[frame_digits] != ' ')
    return nullptr;
  const char *left = frame + frame_digits + 1;
  long left_digits = count_digits(left, end, 16);
  if (left_digits == 0 || left_digits > 16 || left[left_digits] != ' ')
    return nullptr;
  const char *elapsed = left + left_digits + 1;
  long elapsed_digits = count_digits(elapsed, end, 8);
  if (elapsed_digits == 0 || elapsed_digits > 8 || elapsed[elapsed_digits] != '.')
    return nullptr;
  const char *fraction = elapsed + elapsed_digits + 1;
  long fraction_digits = count_digits(fraction, end, LONG_MAX - 8);
  if (fraction_digits == 0 || fraction[fraction_digits] != ' ')
    return nullptr;
  const char *remaining = fraction + fraction_digits + 1;
  long remaining_digits = count_digits(remaining, end, 8);
  if (remaining_digits == 0 || remaining_digits > 8 || remaining[remaining_digits] != '.')
    return nullptr;
  fraction = remaining + remaining_digits + 1;
  fraction_digits = count_digits(fraction, end, LONG_MAX - 8);
  if (fraction_digits == 0 || fraction[fraction_digits] != '\n')
    return nullptr;
  if (end - elapsed >= 8) {
    *elapsed_seconds = static_cast<int>(digits_value(elapsed, elapsed_digits));
  } else {
    *elapsed_seconds = 0;
    for (long i = 0; i < elapsed_digits; ++i)
      *elapsed_seconds = *elapsed_seconds * 10 + (elapsed[i] - '0');
  }
  return fraction + fraction_digits;
}

#if defined(__SSE2__)
// Bit i set where byte i of the 32 at p is not a digit, and bit 32 set.
uint64_t non_digit_map(const char *p) {
  __m128i below = _mm_set1_epi8('0' - 1);
  __m128i above = _mm_set1_epi8('9' + 1);
  __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
  __m128i first_digits = _mm_and_si128(_mm_cmpgt_epi8(first, below), _mm_cmplt_epi8(first, above));
  __m128i second_digits =
      _mm_and_si128(_mm_cmpgt_epi8(second, below), _mm_cmplt_epi8(second, above));
  auto digits = static_cast<uint32_t>(_mm_movemask_epi8(first_digits)) |
                static_cast<uint32_t>(_mm_movemask_epi8(second_digits)) << 16;
  return ~uint64_t{digits} & 0x1ffffffffu;
}
#endif

// The bytes that match_player_frame_line looks at in one map: a line of the player's is
// shorter.
constexpr long MAP_SPAN = 32;

// match_player_frame_line, inlined where lines are taken one after the other.
[[gnu::always_inline]] inline const char *match_player_form(const char *line, const char *end,
                                                            int *elapsed_seconds) {
#if defined(__SSE2__)
  if (end - line < MAP_SPAN + 8)
    return match_frame_fields(line, end, elapsed_seconds);
  // The places of the bytes that are not digits: "@F " and the six separators after the
  // numbers, the first six such bytes after "@F ". Each is found by clearing the one
  // before it from the map, so they are all found at once rather than one after the
  // other, and no two of them may be neighbours (no number is empty).
  uint64_t others = non_digit_map(line);
  if ((others & 7) != 7 || line[0] != '@' || line[1] != 'F' || line[2] != ' ')
    return nullptr;
  uint64_t after = others >> 3;
  long frame_end = 3 + std::countr_zero(after);
  after &= after - 1;
  long left_end = 3 + std::countr_zero(after);
  after &= after - 1;
  long elapsed_end = 3 + std::countr_zero(after);
  after &= after - 1;
  long fraction_end = 3 + std::countr_zero(after);
  after &= after - 1;
  long remaining_end = 3 + std::countr_zero(after);
  after &= after - 1;
  long line_end = 3 + std::countr_zero(after);
  if (line_end >= MAP_SPAN)
    return match_frame_fields(line, end, elapsed_seconds);
  uint64_t separators = others & ((uint64_t{2} << line_end) - 1);
  long elapsed_digits = elapsed_end - left_end - 1;
  if ((separators & separators >> 1 & ~uint64_t{3}) != 0 || frame_end - 3 > 16 ||
      left_end - frame_end - 1 > 16 || elapsed_digits > 8 || remaining_end - fraction_end - 1 > 8 ||
      line[frame_end] != ' ' || line[left_end] != ' ' || line[elapsed_end] != '.' ||
      line[fraction_end] != ' ' || line[remaining_end] != '.' || line[line_end] != '\n')
    return nullptr;
  *elapsed_seconds = static_cast<int>(digits_value(line + left_end + 1, elapsed_digits));
  return line + line_end;
#else
  return match_frame_fields(line, end, elapsed_seconds);
#endif
}

} // namespace

const char *match_player_frame_line(const char *line, const char *end, int *elapsed_seconds) {
  return match_player_form(line, end, elapsed_seconds);
}

const char *pass_same_second_lines(const char *line, const char *end, int second) {
  int elapsed;
  const char *newline;
  while ((newline = match_player_form(line, end, &elapsed)) != nullptr && elapsed == second &&
         newline - line < PLAYER_LINE_SIZE)
    line = newline + 1;
  return line;
}

bool parse_frame_line(const char *line, FrameStatus *status) {
  if (line[0] != '@' || line[1] != 'F')
    return false;
  int frames_left;
  const char *p = scan_digits(skip_space(line + 2), 16, &status->frame);
  if (p == nullptr || (p = scan_digits(skip_space(p), 16, &frames_left)) == nullptr)
    return false;
  if ((p = scan_seconds(skip_space(p), &status->elapsed)) == nullptr)
    return false;
  return scan_seconds(skip_space(p), &status->remaining) != nullptr;
}

void format_time_text(char *text, int elapsed, int remaining) {
  char *p = text;
  *p++ = '+';
  p = put_minutes_seconds(p, elapsed);
  *p++ = ' ';
  *p++ = '-';
  p = put_minutes_seconds(p, remaining);
  *p = '\0';
}

bool parse_id3_line(const char *line, Id3Fields *fields) {
  memset(fields, 0, sizeof *fields);
  if (line[0] != '@' || line[1] != 'I')
    return false;
  const char *p = skip_space(line + 2);
  if (strncmp(p, "ID3:", 4) != 0)
    return false;
  p += 4;
  // The fields take their characters as they come, blanks included.
  if (strnlen(p, 124) < 124)
    return false;
  p = take_field(p, fields->title, 30);
  p = take_field(p, fields->author, 30);
  p = take_field(p, fields->album, 30);
  p = take_field(p, fields->year, 4);
  p = take_field(p, fields->comment, 30);
  p = skip_space(p);
  if (*p == '\0')
    return false;
  size_t length = 0;
  while (p[length] != '\0' && !is_space(p[length]))
    ++length;
  if (length > sizeof fields->genre - 1)
    length = sizeof fields->genre - 1;
  memcpy(fields->genre, p, length);
  fields->genre[length] = '\0';
  return true;
}

void trim_trailing_blanks(char *text) {
  size_t length = strlen(text);
  if (length == 0)
    return;
  size_t i = length - 1;
  while (i > 0 && text[i] == ' ')
    --i;
  text[i + 1] = '\0';
}

bool handle_frame_status(WatchState *state, const FrameStatus &status, LineEffects *effects) {
  if (status.elapsed == state->last_second)
    return false;
  state->last_second = status.elapsed;
  if (++state->checkpoint_counter > 9) {
    state->checkpoint_counter = 0;
    effects->checkpoint = true;
    effects->checkpoint_frame = status.frame;
  }
  // "display_settime %13s\n": the time text is always 13 characters.
  static constexpr char PREFIX[] = "display_settime ";
  constexpr int PREFIX_LENGTH = sizeof PREFIX - 1;
  memcpy(effects->display, PREFIX, PREFIX_LENGTH);
  format_time_text(effects->display + PREFIX_LENGTH, status.elapsed, status.remaining);
  effects->display[PREFIX_LENGTH + TIME_TEXT_SIZE - 1] = '\n';
  effects->display_length = PREFIX_LENGTH + TIME_TEXT_SIZE;
  return true;
}

namespace {

void handle_frame_line(WatchState *state, const char *line, LineEffects *effects) {
  FrameStatus status;
  if (parse_frame_line(line, &status))
    handle_frame_status(state, status, effects);
}

// "display_setid3tagtitle TITLE\n", the title in Latin-1.
void set_display_title(const char *title, LineEffects *effects) {
  char text[TAG_TITLE_SIZE];
  utf8_to_latin1(title, text, sizeof text);
  effects->display_length =
      snprintf(effects->display, sizeof effects->display, "display_setid3tagtitle %s\n", text);
}

void handle_id3_line(const char *line, LineEffects *effects) {
  Id3Fields fields;
  char tag_title[TAG_TITLE_SIZE];
  if (parse_id3_line(line, &fields)) {
    trim_trailing_blanks(fields.title);
    trim_trailing_blanks(fields.author);
    snprintf(tag_title, sizeof tag_title, "%s - %s", fields.author, fields.title);
    effects->report_length =
        snprintf(effects->report, sizeof effects->report,
                 "[playwatch]id3tagtitle: >%s<\n"
                 "title:>%s<\nauthor>%s<\nalbum>%s<\nyear>%s<\ncomment>%s<\ngenre>%s<\n\n",
                 tag_title, fields.title, fields.author, fields.album, fields.year, fields.comment,
                 fields.genre);
  } else {
    strcpy(tag_title, "(no-id3-tag)");
  }
  set_display_title(tag_title, effects);
}

// Adds one line of an ID3v2 field to what the block has of it.
void add_field_line(char *field, const char *text) {
  size_t length = strlen(field);
  if (length > 0 && length + 1 < PLAYER_LINE_SIZE)
    field[length++] = ' ';
  size_t room = PLAYER_LINE_SIZE - 1 - length;
  size_t taken = strnlen(text, room);
  memcpy(field + length, text, taken);
  field[length + taken] = '\0';
}

// The ID3v2 lines of a tag block: the title and artist are kept until the block's end.
void handle_v2_line(WatchState *state, const char *line, LineEffects *effects) {
  if (strncmp(line, "@I ID3v2.title:", 15) == 0) {
    add_field_line(state->v2_title, line + 15);
  } else if (strncmp(line, "@I ID3v2.artist:", 16) == 0) {
    add_field_line(state->v2_artist, line + 16);
  } else if (strcmp(line, "@I }") == 0) {
    if (state->v2_title[0] != '\0') {
      std::string tag_title = state->v2_title;
      if (state->v2_artist[0] != '\0')
        tag_title = std::string(state->v2_artist) + " - " + tag_title;
      set_display_title(tag_title.c_str(), effects);
    }
    state->v2_title[0] = '\0';
    state->v2_artist[0] = '\0';
  }
}

// The player reports a song's tags as a block: "@I {", the "@I ID3:" line, lines of
// single fields ("@I ID3.genre:...", "@I ID3v2.title:..."), "@I }". Only the block's
// opening stands for a song without a usable tag (the "@I ID3:" line that may follow
// sets the title); the field lines leave the title alone, or every tagged song would end
// with no title, and the close sets the ID3v2 title where the block held one.
bool is_tag_detail_line(const char *line) {
  return strncmp(line, "@I ID3.", 7) == 0 || strncmp(line, "@I ID3v2.", 9) == 0 ||
         strcmp(line, "@I }") == 0;
}

} // namespace

void watch_line(WatchState *state, const char *line, LineEffects *effects) {
  effects->report_length = 0;
  effects->checkpoint = false;
  effects->display_length = 0;
  effects->next_song = false;
  if (line[0] == '@' && line[1] == 'I') {
    if (strcmp(line, "@I {") == 0) {
      state->v2_title[0] = '\0';
      state->v2_artist[0] = '\0';
    }
    if (!is_tag_detail_line(line))
      handle_id3_line(line, effects);
    else
      handle_v2_line(state, line, effects);
  }
  if (strcmp(line, "@P 0") == 0) {
    effects->checkpoint = true;
    effects->checkpoint_frame = 0;
    effects->next_song = true;
  } else {
    handle_frame_line(state, line, effects);
  }
}

int format_framepos(char *text, int frame) {
  return snprintf(text, FRAMEPOS_TEXT_SIZE, "%16d\n", frame);
}
