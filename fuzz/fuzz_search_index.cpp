// The web remote's search index on any master list text and query. The input is the query,
// a NUL byte and the master list; the list goes through a memory file, so it is read from
// a path as the server reads /tmp/MPL. Oracle: a plain folding written here, character by
// character; every hit's folded title must hold every folded word of the query, in the
// entry the index gives for its address; hits come in the master list's order, the total
// counts at least the hits, and a page further on is the same hits shifted.

#include "memstream.h"
#include "plfile.h"
#include "search_index.h"
#include "titleform.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// Each character as one folded piece: lower-case ASCII letters and digits; the Latin-1
// letters (two UTF-8 bytes, C3 80..BF) as their base letters; ASCII punctuation and the
// signs C2 80..BF as a blank; other bytes as they are.
std::string fold(const std::string &text) {
  static const char *const upper[32] = {"a", "a", "a", "a", "a", "a", "ae", "c", "e",  "e", "e",
                                        "e", "i", "i", "i", "i", "d", "n",  "o", "o",  "o", "o",
                                        "o", " ", "o", "u", "u", "u", "u",  "y", "th", "ss"};
  std::string out = " ";
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    unsigned next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c < 0x80) {
      out += std::isalnum(c) != 0 ? static_cast<char>(std::tolower(c)) : ' ';
    } else if ((c == 0xC2 || c == 0xC3) && next >= 0x80 && next < 0xC0) {
      ++i;
      if (c == 0xC2)
        out += ' ';
      else if (next == 0xBF)
        out += 'y';
      else
        out += upper[(next - 0x80) % 32];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + " ";
}

std::vector<std::string> words_of(const std::string &query) {
  std::vector<std::string> words;
  std::string folded = fold(query), word;
  for (char c : folded) {
    if (c != ' ') {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

// The titles of the master list's lists and songs, made here from its lines as every
// reader of it takes them.
std::vector<std::string> titles_of(const uint8_t *mpl, size_t size) {
  std::vector<std::string> titles;
  std::vector<char> copy(mpl, mpl + size);
  FILE *in = size > 0 ? fmemopen(copy.data(), size, "r") : nullptr;
  if (in == nullptr)
    return titles;
  MplEntry entry;
  while (mpl_read_entry(in, &entry)) {
    if (entry.list == 0)
      continue;
    char work[TITLE_BUFFER_SIZE];
    char title[TITLE_BUFFER_SIZE];
    title_work_copy(work, entry.text);
    titleform(work, title);
    titles.emplace_back(title);
  }
  fclose(in);
  return titles;
}

bool same(const SearchEntry &a, const SearchEntry &b) {
  return a.device == b.device && a.list == b.list && a.song == b.song && a.title == b.title &&
         a.list_title == b.list_title;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto *split = static_cast<const uint8_t *>(std::memchr(data, 0, size));
  if (split == nullptr || split - data > 200)
    return 0;
  std::string query(reinterpret_cast<const char *>(data), static_cast<size_t>(split - data));
  const uint8_t *mpl = split + 1;
  size_t mpl_size = size - static_cast<size_t>(mpl - data);

  int fd = memfd_create("MPL", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, mpl, mpl_size) == static_cast<ssize_t>(mpl_size));
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  SearchIndex index;
  bool loaded = load_search_index(path.c_str(), index);
  close(fd);
  FUZZ_CHECK(loaded);

  std::vector<std::string> titles = titles_of(mpl, mpl_size);
  FUZZ_CHECK(titles.size() == index.records.size());
  std::vector<std::string> words = words_of(query);
  size_t total = 0;
  std::vector<SearchEntry> hits = search(index, query, 0, 50, &total);
  FUZZ_CHECK(total >= hits.size());
  FUZZ_CHECK(hits.size() == std::min<size_t>(total, 50));
  if (words.empty())
    FUZZ_CHECK(total == 0);

  size_t previous = 0;
  for (size_t i = 0; i < hits.size(); ++i) {
    const SearchEntry &hit = hits[i];
    std::string folded = fold(hit.title);
    for (const std::string &word : words)
      FUZZ_CHECK(folded.find(word) != std::string::npos);
    FUZZ_CHECK(hit.list != 0);
    // The hit is the entry of its address (the first of it), unless the address comes
    // twice; its record lies after the previous hit's.
    size_t at = previous;
    while (at < index.records.size() &&
           (index.records[at].device != hit.device || index.records[at].list != hit.list ||
            index.records[at].song != hit.song || hit.title != titles[at]))
      ++at;
    FUZZ_CHECK(at < index.records.size());
    previous = at + 1;
    SearchEntry found;
    FUZZ_CHECK(find_entry(index, hit.device, hit.list, hit.song, found));
  }

  // Every record the oracle finds matching is counted: the total is exact.
  size_t expected = 0;
  for (const std::string &title : titles) {
    std::string folded = fold(title);
    bool all = !words.empty();
    for (const std::string &word : words)
      all = all && folded.find(word) != std::string::npos;
    expected += all ? 1 : 0;
  }
  FUZZ_CHECK(total == expected);

  // A later page is the same list of hits from further on.
  size_t later_total = 0;
  std::vector<SearchEntry> later = search(index, query, 1, 3, &later_total);
  FUZZ_CHECK(later_total == total);
  for (size_t i = 0; i < later.size(); ++i)
    FUZZ_CHECK(i + 1 < hits.size() && same(later[i], hits[i + 1]));
  return 0;
}
