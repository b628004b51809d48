// The catalogue page as a real browser reads it: htmlcatalog's page of a small collection
// is loaded into headless chromium inside the sandbox, and the document chromium built
// from it (its --dump-dom serialisation) is checked for the sections, the links within
// the page, the links to the song chooser and titles holding markup characters.

#include "installed.h"
#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Shell text run inside the sandbox after the master list is made: writes the page and
// chromium's document of it into the scratch folder. Chromium runs as root, so without
// its own sandbox; it gets a fresh profile and home folder in the scratch folder, and
// needs no network for a file:// page. Exit statuses: 90 htmlcatalog failed, 91 chromium.
const char page_and_dom[] = R"(
s=$VELM_SCRATCH
htmlcatalog >"$s/page.html" || exit 90
mkdir -p "$s/home"
HOME="$s/home" XDG_CONFIG_HOME="$s/home/.config" XDG_CACHE_HOME="$s/home/.cache" \
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$s/profile" --dump-dom "file://$s/page.html" \
  >"$s/dom.html" 2>"$s/chromium.err" || exit 91
)";

// The end of chromium's messages, for a failure report.
std::string chromium_messages(const Sandbox &sb) {
  std::string err = read_file(sb.scratch() + "/chromium.err");
  return err.size() > 3000 ? "..." + err.substr(err.size() - 3000) : err;
}

// Every value of the attribute `name` (as chromium writes attributes: lower case, after
// one blank, in double quotes), in document order.
std::vector<std::string> attribute_values(const std::string &dom, const std::string &name) {
  const std::string opening = " " + name + "=\"";
  std::vector<std::string> values;
  for (size_t at = dom.find(opening); at != std::string::npos; at = dom.find(opening, at)) {
    at += opening.size();
    size_t end = dom.find('"', at);
    if (end == std::string::npos)
      break;
    values.push_back(dom.substr(at, end - at));
  }
  return values;
}

const std::string choose_link = "/cgi-bin/choose.sh?song=";

// True when `text` is a song code: 12 digits.
bool is_code(const std::string &text) {
  return text.size() == 12 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return isdigit(c) != 0; });
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// The text between the first `from` and the next `to` after it; empty when either is missing.
std::string between(const std::string &text, const std::string &from, const std::string &to) {
  size_t start = text.find(from);
  if (start == std::string::npos)
    return "";
  start += from.size();
  size_t end = text.find(to, start);
  return end == std::string::npos ? "" : text.substr(start, end - start);
}

std::string code(int device, int list, int song) {
  char text[40];
  snprintf(text, sizeof text, "%04d%04d%04d", device, list, song);
  return text;
}

// The codes of a master list's entries by kind.
struct Codes {
  std::set<std::string> devices, lists, songs;
};

Codes codes_of(const std::string &mpl) {
  Codes codes;
  std::istringstream lines(mpl);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    int device, list, song;
    if (!(fields >> device >> list >> song))
      continue;
    (list == 0   ? codes.devices
     : song == 0 ? codes.lists
                 : codes.songs)
        .insert(code(device, list, song));
  }
  return codes;
}

} // namespace

TEST(CatalogBrowser, CollectionPageParsesWithWorkingLinks) {
  SKIP_WITHOUT("chromium");
  Sandbox sb;
  // Device 1: two lists, one of them hidden, the other of four songs, one song named with
  // markup characters; device 2: one list; device 3: no list, only a stray file.
  RunResult r = sb.run(std::string(R"(
    a="/mnt/one/Harbour_Lights"
    mkdir -p "$a" /mnt/one/~secret /mnt/two/Paper_Kites /mnt/three
    touch "$a/01 Morning Ferry.mp3" "$a/02 Rock & <Roll>.mp3" "$a/03 Salt_and_Rope.mp3" \
      "$a/04 Lighthouse.mp3" /mnt/one/~secret/quiet.mp3 /mnt/two/Paper_Kites/string.mp3 \
      /mnt/three/notes.txt
    scantree /mnt/one 1 >/dev/null && scantree /mnt/two 2 >/dev/null &&
      scantree /mnt/three 3 >/dev/null || exit 89
  )") + page_and_dom,
                       "", 90000);
  ASSERT_EQ(r.status, 0) << r.err << (r.status == 91 ? chromium_messages(sb) : "");
  const std::string dom = read_file(sb.scratch() + "/dom.html");
  const Codes codes = codes_of(sb.read("/tmp/MPL"));
  ASSERT_EQ(codes.devices.size(), 3u);
  ASSERT_EQ(codes.lists.size(), 3u);
  ASSERT_EQ(codes.songs.size(), 6u);

  // The three sections, in this order.
  size_t groups = dom.find("<h2>Gruppen</h2>");
  size_t group_contents = dom.find("<h2>Inhalt der Gruppen</h2>");
  size_t album_contents = dom.find("<h2>Inhalt der Alben</h2>");
  ASSERT_NE(groups, std::string::npos) << dom;
  ASSERT_NE(group_contents, std::string::npos) << dom;
  ASSERT_NE(album_contents, std::string::npos) << dom;
  EXPECT_LT(groups, group_contents);
  EXPECT_LT(group_contents, album_contents);

  // Every link within the page reaches an anchor; together they lead to every device and
  // every list. Every other link chooses a list or a song by its 12-digit code, and every
  // list and song has one such link.
  std::vector<std::string> names = attribute_values(dom, "name");
  std::set<std::string> anchors(names.begin(), names.end());
  std::set<std::string> targets, chosen;
  for (const std::string &href : attribute_values(dom, "href")) {
    if (href.starts_with("#")) {
      EXPECT_TRUE(anchors.count(href.substr(1))) << "no anchor for the link " << href;
      targets.insert(href.substr(1));
    } else if (href.starts_with(choose_link) && is_code(href.substr(choose_link.size()))) {
      EXPECT_TRUE(chosen.insert(href.substr(choose_link.size())).second)
          << "chosen twice: " << href;
    } else {
      ADD_FAILURE() << "unexpected link " << href;
    }
  }
  std::set<std::string> devices_and_lists = codes.devices;
  devices_and_lists.insert(codes.lists.begin(), codes.lists.end());
  EXPECT_EQ(targets, devices_and_lists);
  std::set<std::string> lists_and_songs = codes.lists;
  lists_and_songs.insert(codes.songs.begin(), codes.songs.end());
  EXPECT_EQ(chosen, lists_and_songs);

  // The title with "&" and "<" is text: chromium writes the characters of a text node
  // back as entities, and no <roll> element came out of the name.
  std::string lower = dom;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  EXPECT_EQ(lower.find("<roll"), std::string::npos) << "a <roll> element was made:\n" << dom;
  const std::string rock_text = ">Rock &amp; &lt;Roll&gt;</a>";
  EXPECT_EQ(count_of(dom, rock_text), 1u) << dom; // NOLINT(readability-suspicious-call-argument)
  // ... as the text of its song's link: <a name="CODE" href="/cgi-bin/choose.sh?song=CODE">
  size_t rock = dom.find(rock_text);
  size_t tag = rock == std::string::npos ? rock : dom.rfind("<a ", rock);
  if (tag != std::string::npos) {
    std::string rock_link = dom.substr(tag, rock - tag);
    std::string rock_code = between(rock_link, "name=\"", "\"");
    EXPECT_TRUE(is_code(rock_code)) << rock_link;
    EXPECT_EQ(rock_link, "<a name=\"" + rock_code + "\" href=\"" + choose_link + rock_code + "\"");
  }

  // The hidden list is shown, marked, in the second and the third section.
  EXPECT_EQ(count_of(dom, ">Secret (versteckt)</a>"), 2u) << dom;

  // Three devices in the second section: two cells in the first row, the third in a
  // second; the device without lists has an empty list.
  std::string second = dom.substr(group_contents, album_contents - group_contents);
  EXPECT_EQ(count_of(second, "<tr>"), 2u) << second;
  EXPECT_EQ(count_of(between(second, "<tr>", "</tr>"), "<td "), 2u) << second;
  EXPECT_NE(second.find("(Gruppe 3)</font><br><hr>\n<ol>\n</ol></td></tr>"), std::string::npos)
      << second;

  // The list of four songs is one numbered list of four items, in file name order.
  std::string songs = between(dom, ">Harbour Lights</a></font><br><hr>\n<ol>", "</ol>");
  EXPECT_EQ(count_of(songs, "<li>"), 4u) << songs;
  size_t first = songs.find(">Morning Ferry</a>");
  size_t second_song = songs.find(">Rock &amp; &lt;Roll&gt;</a>");
  size_t third = songs.find(">Salt and Rope</a>");
  size_t fourth = songs.find(">Lighthouse</a>");
  EXPECT_TRUE(first < second_song && second_song < third && third < fourth &&
              fourth != std::string::npos)
      << songs;

  // The device without lists still has its own table, holding only its header row.
  std::string third_table =
      between(dom, "<a name=\"" + code(3, 0, 0) + "\"></a><table", "</table>");
  EXPECT_EQ(count_of(third_table, "<tr>"), 1u) << dom;
  EXPECT_NE(third_table.find("(Gruppe 3)"), std::string::npos) << dom;
}

TEST(CatalogBrowser, EmptyMasterListGivesTheBarePage) {
  SKIP_WITHOUT("chromium");
  Sandbox sb;
  RunResult r = sb.run(std::string(": >/tmp/MPL\n") + page_and_dom, "", 90000);
  ASSERT_EQ(r.status, 0) << r.err << (r.status == 91 ? chromium_messages(sb) : "");
  const std::string dom = read_file(sb.scratch() + "/dom.html");
  EXPECT_NE(dom.find("<title>Velm Jukebox</title>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<h2>Gruppen</h2><ol>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<h2>Inhalt der Gruppen</h2>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<h2>Inhalt der Alben</h2>"), std::string::npos) << dom;
  // No entries: no links, no anchors, no list items, and the stray closing tags made
  // nothing of their own.
  EXPECT_TRUE(attribute_values(dom, "href").empty()) << dom;
  EXPECT_TRUE(attribute_values(dom, "name").empty()) << dom;
  EXPECT_EQ(count_of(dom, "<li>"), 0u) << dom;
  EXPECT_EQ(count_of(dom, "<td"), 0u) << dom;
}

TEST(CatalogBrowser, ScreenshotToolDrawsThePage) {
  SKIP_WITHOUT("chromium");
  Sandbox sb;
  std::string tool = shell_quote(std::string(source_dir()) + "/tools/catalog-screenshot.sh");
  RunResult r = sb.run(R"(
    mkdir -p /mnt/one/List && touch /mnt/one/List/song.mp3
    scantree /mnt/one 1 >/dev/null || exit 89
    htmlcatalog >"$VELM_SCRATCH/page.html" || exit 90
    )" + tool + R"( "$VELM_SCRATCH/page.html" "$VELM_SCRATCH/page.png"
  )",
                       "", 90000);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, sb.scratch() + "/page.png\n");
  // A PNG of the window's size (its header chunk holds width and height, big-endian);
  // the tool's throw-away profile is gone again.
  std::string png = read_file(sb.scratch() + "/page.png");
  ASSERT_GT(png.size(), 33u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  auto big_endian = [&](size_t at) {
    uint32_t value = 0;
    for (size_t i = at; i < at + 4; ++i)
      value = value << 8 | static_cast<unsigned char>(png[i]);
    return value;
  };
  EXPECT_EQ(big_endian(16), 1200u);
  EXPECT_EQ(big_endian(20), 1600u);
  for (const auto &entry : std::filesystem::directory_iterator(sb.scratch()))
    EXPECT_EQ(entry.path().filename().string().find("catalog-screenshot"), std::string::npos)
        << entry.path();
}
