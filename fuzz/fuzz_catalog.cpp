// Fuzzer of the catalogue page. The input is a master list; write_catalog renders it into
// memory. The page must begin with "<HTML>" and end with its closing tags, and no byte of
// an entry's text may reach it unescaped:
//
//   - every "<" begins one of the page's own tags and every "&" one of its entities;
//   - the page holds as many "<", ">" and double quotes as the page of a skeleton list,
//     which has the same entries with a marker byte for each text;
//   - the page is exactly that skeleton page with the markers replaced, in page order,
//     by the escaped reference titles of the entries' texts.

#include "catalog.h"
#include "memstream.h"
#include "plfile.h"
#include "title_reference.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The one-byte text of every skeleton entry: its title is itself, and no fixed fragment
// of the page holds it.
constexpr char kMarker = '\x01';

std::string render(FILE *mpl) {
  char *buffer = nullptr;
  size_t length = 0;
  FILE *out = open_memstream(&buffer, &length);
  FUZZ_CHECK(out != nullptr);
  write_catalog(mpl, out);
  FUZZ_CHECK(fclose(out) == 0);
  std::string page(buffer, length);
  free(buffer);
  return page;
}

std::string escaped(const std::string &text) {
  std::string html;
  for (char c : text) {
    switch (c) {
    case '&':
      html += "&amp;";
      break;
    case '<':
      html += "&lt;";
      break;
    case '>':
      html += "&gt;";
      break;
    case '"':
      html += "&quot;";
      break;
    default:
      html += c;
    }
  }
  return html;
}

bool starts_with_one_of(const std::string &page, size_t at,
                        std::initializer_list<const char *> texts) {
  return std::any_of(texts.begin(), texts.end(),
                     [&](const char *text) { return page.compare(at, strlen(text), text) == 0; });
}

// Every "<" opens a tag the page writes itself, every "&" an entity of the page or of
// the escaping.
bool only_own_markup(const std::string &page) {
  static const std::string_view tags[] = {
      "HTML",   "/HTML", "HEAD", "/HEAD", "TITLE", "/TITLE", "BODY", "/BODY", "FONT", "/FONT",
      "h1",     "/h1",   "h2",   "/h2",   "OL",    "/OL",    "LI",   "A",     "/A",   "TABLE",
      "/TABLE", "TR",    "/TR",  "TD",    "/TD",   "P",      "br",   "hr"};
  for (size_t at = page.find_first_of("<&"); at != std::string::npos;
       at = page.find_first_of("<&", at + 1)) {
    if (page[at] == '<') {
      size_t name_end = page.find_first_of(" >", at);
      if (name_end == std::string::npos)
        return false;
      std::string_view name(page.data() + at + 1, name_end - at - 1);
      if (std::find(std::begin(tags), std::end(tags), name) == std::end(tags))
        return false;
    } else if (!starts_with_one_of(page, at, {"&nbsp;", "&amp;", "&lt;", "&gt;", "&quot;"})) {
      return false;
    }
  }
  return true;
}

// How many "<", ">" and double quotes the text holds, in one pass.
std::array<size_t, 3> markup_counts(const std::string &text) {
  std::array<size_t, 3> counts = {};
  for (char c : text) {
    counts[0] += c == '<' ? 1 : 0;
    counts[1] += c == '>' ? 1 : 0;
    counts[2] += c == '"' ? 1 : 0;
  }
  return counts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  MemStream mpl(data, size);
  if (mpl.get() == nullptr)
    return 0;
  std::string page = render(mpl.get());

  const std::string closing = "</OL></TABLE></BODY></HTML>\n";
  FUZZ_CHECK(page.starts_with("<HTML>"));
  FUZZ_CHECK(page.ends_with(closing));
  FUZZ_CHECK(only_own_markup(page));

  // The entries every pass reads, and the skeleton list of the same entries.
  rewind(mpl.get());
  std::vector<MplEntry> entries;
  MplEntry entry;
  while (mpl_read_entry(mpl.get(), &entry))
    entries.push_back(entry);
  std::string skeleton_list;
  for (const MplEntry &e : entries)
    skeleton_list += std::to_string(e.device) + " " + std::to_string(e.list) + " " +
                     std::to_string(e.song) + " " + kMarker + "\n";
  MemStream skeleton_mpl(reinterpret_cast<const uint8_t *>(skeleton_list.data()),
                         skeleton_list.size());
  FUZZ_CHECK(skeleton_mpl.get() != nullptr);
  std::string skeleton = render(skeleton_mpl.get());

  FUZZ_CHECK(markup_counts(page) == markup_counts(skeleton));

  // The titles in page order: the devices, then the devices and lists, then every entry.
  std::vector<std::string> titles;
  for (int pass = 1; pass <= 3; ++pass) {
    for (const MplEntry &e : entries) {
      bool shown = pass == 3 || e.list == 0 || (pass == 2 && e.song == 0);
      if (shown)
        titles.push_back(escaped(reference_title(e.text).title));
    }
  }
  std::string expected;
  expected.reserve(page.size());
  size_t next = 0;
  for (char c : skeleton) {
    if (c == kMarker) {
      FUZZ_CHECK(next < titles.size());
      expected += titles[next++];
    } else {
      expected += c;
    }
  }
  FUZZ_CHECK(next == titles.size());
  FUZZ_CHECK(page == expected);
  return 0;
}
