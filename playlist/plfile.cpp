#include "plfile.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <stdio_ext.h>

namespace {

bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

// Reads a stream a character at a time, with a look at the next character before it is
// taken: what is looked at but not taken stays unread, as with scanf.
//
// The look-up tools read 100,000 lines in one go, so with the GNU C library the cursor
// works on the stream's own buffer through local pointers and hands the position back
// when done; elsewhere it falls back on getc and ungetc.
class Cursor {
public:
  explicit Cursor(FILE *fp) : fp_(fp) { load(); }
  ~Cursor() { store(); }
  Cursor(const Cursor &) = delete;
  Cursor &operator=(const Cursor &) = delete;

  // The next character, or EOF at the end of the file.
  int peek() {
#ifdef __GLIBC__
    if (next_ == end_ && !refill())
      return EOF;
    return static_cast<unsigned char>(*next_);
#else
    int c = getc(fp_);
    if (c != EOF)
      ungetc(c, fp_);
    return c;
#endif
  }

  // Takes the character peek() showed.
  void take() {
#ifdef __GLIBC__
    ++next_;
#else
    getc(fp_);
#endif
  }

  // Takes the characters up to the next newline or the end of the file, appending to
  // text (which holds `length` already) while it has room for `max` in all.
  void take_line(char *text, int *length, int max) {
#ifdef __GLIBC__
    while (next_ != end_ || refill()) {
      auto available = static_cast<size_t>(end_ - next_);
      const auto *newline = static_cast<const char *>(memchr(next_, '\n', available));
      size_t taken = newline != nullptr ? static_cast<size_t>(newline - next_) : available;
      size_t room = static_cast<size_t>(max - *length);
      size_t copied = taken < room ? taken : room;
      memcpy(text + *length, next_, copied);
      *length += static_cast<int>(copied);
      next_ += taken;
      if (newline != nullptr)
        return;
    }
#else
    for (int c; (c = peek()) != '\n' && c != EOF; take()) {
      if (*length < max)
        text[(*length)++] = static_cast<char>(c);
    }
#endif
  }

#ifdef __GLIBC__
  // The rest of the current line when it stands whole in the stream's buffer: the
  // position of its newline, or nullptr. Lines found so can be parsed without a check
  // for the end of the buffer at every character: the newline stops every loop.
  const char *line_end() const {
    if (next_ == end_)
      return nullptr;
    return static_cast<const char *>(memchr(next_, '\n', static_cast<size_t>(end_ - next_)));
  }
  const char *position() const {
    return next_;
  }
  void move_to(const char *position) {
    next_ = const_cast<char *>(position);
  }
#endif

private:
#ifdef __GLIBC__
  void load() {
    next_ = fp_->_IO_read_ptr;
    end_ = fp_->_IO_read_end;
  }
  void store() {
    fp_->_IO_read_ptr = next_;
  }
  // Has the stream read on into its buffer; false at the end of the file.
  bool refill() {
    store();
    int c = getc_unlocked(fp_);
    if (c != EOF)
      --fp_->_IO_read_ptr; // the character just read stands in the new buffer
    load();
    return c != EOF;
  }
  char *next_ = nullptr;
  char *end_ = nullptr;
#else
  void load() {}
  void store() {}
#endif
  FILE *fp_;
};

[[gnu::always_inline]] inline void skip_space(Cursor &in) {
  while (is_space(in.peek()))
    in.take();
}

// One "%d" conversion, as scanf makes it on the jukebox's 32-bit box (where long is int):
// a value beyond the int range is clamped to INT_MAX (or INT_MIN), on every machine alike.
// As with scanf, a sign without digits after it is lost.
[[gnu::always_inline]] inline bool read_number(Cursor &in, int *value) {
  skip_space(in);
  int c = in.peek();
  bool negative = false;
  if (c == '-' || c == '+') {
    negative = c == '-';
    in.take();
    c = in.peek();
  }
  if (!is_digit(c))
    return false;
  constexpr uint64_t limit_pos = INT_MAX;
  constexpr uint64_t limit_neg = limit_pos + 1;
  uint64_t limit = negative ? limit_neg : limit_pos;
  // Once past the limit the magnitude stays there; the digits are taken all the same.
  uint64_t magnitude = 0;
  for (; is_digit(c); c = in.peek()) {
    if (magnitude <= limit)
      magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    in.take();
  }
  if (magnitude > limit)
    magnitude = limit;
  *value =
      negative ? static_cast<int>(-static_cast<int64_t>(magnitude)) : static_cast<int>(magnitude);
  return true;
}

#ifdef __GLIBC__
// A number within a line that stands whole in the buffer, in its common form: blanks,
// then one to nine digits. Returns the position after it, or nullptr for anything else
// (a sign, another kind of white space, the newline before a number, a number long
// enough to need clamping), which is left to the character-by-character reading.
[[gnu::always_inline]] inline const char *parse_in_line(const char *p, int *value) {
  while (*p == ' ')
    ++p;
  const char *digits = p;
  unsigned magnitude = 0;
  for (; is_digit(*p); ++p)
    magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
  if (p == digits || p - digits > 9)
    return nullptr;
  *value = static_cast<int>(magnitude);
  return p;
}
#endif

} // namespace

FILE *pl_open_read(const char *path) {
  FILE *fp = fopen(path, "re");
  if (fp == nullptr)
    return nullptr;
  // One reader per stream: no locking, and large reads.
  __fsetlocking(fp, FSETLOCKING_BYCALLER);
  setvbuf(fp, nullptr, _IOFBF, 1 << 16);
  return fp;
}

bool mpl_read_entry(FILE *fp, MplEntry *entry) {
  Cursor in(fp);
#ifdef __GLIBC__
  // The newline the last entry left, and blank lines, come before the line itself.
  skip_space(in);
  if (const char *newline = in.line_end()) {
    const char *p = in.position();
    if ((p = parse_in_line(p, &entry->device)) && (p = parse_in_line(p, &entry->list)) &&
        (p = parse_in_line(p, &entry->song))) {
      while (*p == ' ')
        ++p;
      if (!is_space(static_cast<unsigned char>(*p))) {
        auto length = static_cast<size_t>(newline - p);
        if (length > PL_TEXT_MAX)
          length = PL_TEXT_MAX;
        memcpy(entry->text, p, length);
        entry->text[length] = '\0';
        in.move_to(newline);
        return true;
      }
    }
  }
#endif
  if (!read_number(in, &entry->device) || !read_number(in, &entry->list) ||
      !read_number(in, &entry->song))
    return false;
  skip_space(in);
  if (in.peek() == EOF)
    return false;
  int length = 0;
  in.take_line(entry->text, &length, PL_TEXT_MAX);
  entry->text[length] = '\0';
  return true;
}

bool opl_read_entry(FILE *fp, OplEntry *entry) {
  Cursor in(fp);
#ifdef __GLIBC__
  if (in.line_end() != nullptr) {
    const char *p = in.position();
    if ((p = parse_in_line(p, &entry->order)) && (p = parse_in_line(p, &entry->device)) &&
        (p = parse_in_line(p, &entry->list)) && (p = parse_in_line(p, &entry->song))) {
      in.move_to(p);
      skip_space(in);
      return true;
    }
  }
#endif
  if (!read_number(in, &entry->order) || !read_number(in, &entry->device) ||
      !read_number(in, &entry->list) || !read_number(in, &entry->song))
    return false;
  skip_space(in);
  return true;
}
