#include "search_index.h"

#include "plfile.h"
#include "titleform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The layout load_search_index builds and search relies on: `text` holds every folded
// title in record order, each ended by a NUL, one block in which a word is looked for
// with one memmem pass; a hit's record is found by its offset.

namespace {

// Device numbers beyond this are not kept (a catalogue code has four digits for them).
constexpr int DEVICE_MAX = 9999;

// What each character U+00C0..U+00FF of Latin-1 folds to: the letter without its accent
// in lower case; the multiplication and division signs are punctuation (a blank).
constexpr const char *LATIN1_LETTERS[64] = {
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i",  "i",
    "d", "n", "o", "o", "o", "o", "o",  " ", "o", "u", "u", "u", "u", "y", "th", "ss",
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i",  "i",
    "d", "n", "o", "o", "o", "o", "o",  " ", "o", "u", "u", "u", "u", "y", "th", "y"};

bool is_continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Appends `text` folded for matching: ASCII letters in lower case, the accented letters
// of Latin-1 (in UTF-8) as their base letters, digits as they are, every other ASCII
// character and the Latin-1 signs U+0080..U+00BF as a blank. Other bytes (other
// characters, bytes that are no UTF-8) stay as they are. Runs of blanks become one and
// none leads or ends: a word never holds a blank, so matching is the same.
void fold_append(const char *text, size_t length, std::string &out) {
  size_t start = out.size();
  bool blank = true; // so no blank leads
  auto put = [&](const char *letters, size_t count) {
    if (letters[0] == ' ') {
      if (!blank)
        out += ' ';
      blank = true;
    } else {
      out.append(letters, count);
      blank = false;
    }
  };
  for (size_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    char one = static_cast<char>(c);
    if (c >= 'A' && c <= 'Z') {
      one = static_cast<char>(c - 'A' + 'a');
    } else if (c < 0x80 && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9')) {
      one = ' ';
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < length &&
               is_continuation(static_cast<unsigned char>(text[i + 1]))) {
      auto second = static_cast<unsigned char>(text[++i]);
      const char *letters = c == 0xC2 ? " " : LATIN1_LETTERS[second - 0x80];
      put(letters, strlen(letters));
      continue;
    }
    put(&one, 1);
  }
  if (out.size() > start && out.back() == ' ')
    out.pop_back();
}

// The folded words of a query.
std::vector<std::string> query_words(const std::string &query) {
  std::string folded;
  fold_append(query.data(), query.size(), folded);
  std::vector<std::string> words;
  size_t at = 0;
  while (at < folded.size()) {
    size_t blank = folded.find(' ', at);
    if (blank == std::string::npos)
      blank = folded.size();
    words.push_back(folded.substr(at, blank - at));
    at = blank + 1;
  }
  return words;
}

// What is read of a line: far more than its three numbers and the 255 characters of text
// a reader takes in, even after blanks or leading zeros.
constexpr size_t LINE_MAX_READ = 4096;

// The title of a record, made again from its line of the indexed master list; "" when the
// line cannot be read or is no longer the record's (a list being rewritten in place).
std::string title_of(const SearchIndex &index, const SearchIndex::Record &record) {
  char buffer[LINE_MAX_READ];
  ssize_t n = pread(index.file.fd(), buffer, sizeof buffer, record.line);
  if (n <= 0)
    return "";
  FILE *line = fmemopen(buffer, static_cast<size_t>(n), "r");
  if (line == nullptr)
    return "";
  MplEntry entry;
  bool read = mpl_read_entry(line, &entry);
  fclose(line);
  if (!read || entry.device != record.device || entry.list != record.list ||
      entry.song != record.song)
    return "";
  char work[TITLE_BUFFER_SIZE];
  char title[TITLE_BUFFER_SIZE];
  title_work_copy(work, entry.text);
  titleform(work, title);
  return title;
}

// The record of a song's list: the nearest list line before it, when it has the song's
// numbers (a song outside its list in a master list made by hand has none); a list is
// its own.
const SearchIndex::Record *list_of(const SearchIndex &index, size_t r) {
  const SearchIndex::Record &song = index.records[r];
  for (size_t i = r + 1; i-- > 0;) {
    const SearchIndex::Record &record = index.records[i];
    if (record.song == 0)
      return record.device == song.device && record.list == song.list ? &record : nullptr;
  }
  return nullptr;
}

SearchEntry entry_of(const SearchIndex &index, size_t r) {
  const SearchIndex::Record &record = index.records[r];
  SearchEntry entry;
  entry.device = record.device;
  entry.list = record.list;
  entry.song = record.song;
  entry.title = title_of(index, record);
  if (const SearchIndex::Record *list = list_of(index, r))
    entry.list_title = list == &record ? entry.title : title_of(index, *list);
  return entry;
}

// Keeps a device line's root; the first line of a number counts.
void add_device(const MplEntry &line, std::vector<std::string> &roots) {
  if (line.device < 1 || line.device > DEVICE_MAX)
    return;
  auto slot = static_cast<size_t>(line.device - 1);
  if (roots.size() <= slot)
    roots.resize(slot + 1);
  if (roots[slot].empty())
    roots[slot] = line.text;
}

} // namespace

IndexedList &IndexedList::operator=(IndexedList &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

IndexedList::~IndexedList() {
  if (fd_ >= 0)
    close(fd_);
}

bool load_search_index(const char *path, SearchIndex &index) {
  index = SearchIndex{};
  // One open of the list for the reading and for the titles later: a list replaced in
  // between cannot mix with it.
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  SearchIndex result;
  result.file = IndexedList(fd);
  int reading = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  FILE *mpl = reading >= 0 ? fdopen(reading, "r") : nullptr;
  if (mpl == nullptr) {
    if (reading >= 0)
      close(reading);
    return false;
  }
  setvbuf(mpl, nullptr, _IOFBF, size_t{64} * 1024);

  MplEntry line;
  bool too_big = false;
  long at = 0;
  while (mpl_read_entry(mpl, &line)) {
    long next = ftell(mpl);
    long start = at;
    at = next;
    if (line.list == 0) {
      add_device(line, result.device_roots);
      continue;
    }
    // The same derivation as the catalogue page's.
    char work[TITLE_BUFFER_SIZE];
    char title[TITLE_BUFFER_SIZE];
    title_work_copy(work, line.text);
    titleform(work, title);

    // Offsets are 32 bits; a master list of that size is no collection of this box.
    if (start < 0 || static_cast<unsigned long>(start) >= UINT32_MAX ||
        result.text.size() >= UINT32_MAX - TITLE_BUFFER_SIZE) {
      too_big = true;
      break;
    }
    SearchIndex::Record record{};
    record.line = static_cast<uint32_t>(start);
    record.folded = static_cast<uint32_t>(result.text.size());
    record.device = line.device;
    record.list = line.list;
    record.song = line.song;
    fold_append(title, strlen(title), result.text);
    result.text += '\0';
    result.records.push_back(record);
  }
  bool failed = ferror(mpl) != 0;
  fclose(mpl);
  if (failed || too_big)
    return false;
  // No shrinking: the capacity beyond the size was never written, so it takes no memory,
  // and a copy to an exact fit would hold both for a moment.
  result.device_roots.shrink_to_fit();
  index = std::move(result);
  return true;
}

std::vector<SearchEntry> search(const SearchIndex &index, const std::string &query, size_t from,
                                size_t count, size_t *total) {
  std::vector<SearchEntry> hits;
  size_t matched = 0;
  std::vector<std::string> words = query_words(query);
  const auto &records = index.records;
  if (!words.empty() && !records.empty()) {
    // The longest word is looked for in the block; it is likely the rarest one.
    auto longest = std::max_element(words.begin(), words.end(), [](const auto &a, const auto &b) {
      return a.size() < b.size();
    });
    std::string scan = *longest;
    words.erase(longest);

    const char *base = index.text.data();
    size_t end = index.text.size();
    size_t r = 0;
    size_t at = records[0].folded;
    while (at < end) {
      const void *hit = memmem(base + at, end - at, scan.data(), scan.size());
      if (hit == nullptr)
        break;
      auto offset = static_cast<size_t>(static_cast<const char *>(hit) - base);
      // The record whose folded title holds the hit: the last one starting at or before it.
      auto after = std::upper_bound(
          records.begin() + static_cast<std::ptrdiff_t>(r), records.end(), offset,
          [](size_t o, const SearchIndex::Record &record) { return o < record.folded; });
      r = static_cast<size_t>(after - records.begin()) - 1;
      const char *title = base + records[r].folded;
      bool all = std::all_of(words.begin(), words.end(), [title](const std::string &word) {
        return strstr(title, word.c_str()) != nullptr;
      });
      if (all) {
        if (matched >= from && hits.size() < count)
          hits.push_back(entry_of(index, r));
        ++matched;
      }
      if (++r >= records.size())
        break;
      at = records[r].folded;
    }
  }
  if (total != nullptr)
    *total = matched;
  return hits;
}

bool find_entry(const SearchIndex &index, int device, int list, int song, SearchEntry &entry) {
  for (size_t r = 0; r < index.records.size(); ++r) {
    const SearchIndex::Record &record = index.records[r];
    if (record.device == device && record.list == list && record.song == song) {
      entry = entry_of(index, r);
      return true;
    }
  }
  return false;
}

std::string device_root(const SearchIndex &index, int device) {
  if (device < 1 || static_cast<size_t>(device) > index.device_roots.size())
    return "";
  return index.device_roots[static_cast<size_t>(device - 1)];
}

std::string song_path(const char *mpl_path, int device, int list, int song) {
  FILE *mpl = pl_open_read(mpl_path);
  if (mpl == nullptr)
    return "";
  std::string path;
  MplEntry line;
  while (mpl_read_entry(mpl, &line)) {
    if (line.device == device && line.list == list && line.song == song) {
      path = line.text;
      break;
    }
  }
  fclose(mpl);
  return path;
}
