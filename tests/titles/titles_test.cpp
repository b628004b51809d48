// The title derivation, the titleform tool and the catalogue page of htmlcatalog.

#include "sandbox_run.h"
#include "titleform.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The title of `path`, derived in buffers of exactly the documented sizes.
std::string title_of(const std::string &path) {
  char work[TITLE_BUFFER_SIZE];
  char title[TITLE_BUFFER_SIZE];
  title_work_copy(work, path.c_str());
  titleform(work, title);
  return title;
}

} // namespace

TEST(Titleform, Examples) {
  EXPECT_EQ(title_of("/mnt/music1/Some_Band/05_-_first_song.mp3"), "First song");
  EXPECT_EQ(title_of("/mnt/music1/Some_Band/"), "Some Band");
  EXPECT_EQ(title_of("/mnt/music1/[03] The_Wall/"), "The Wall");
  EXPECT_EQ(title_of("/mnt/music1/~private/12. song.MP3"), "Song");
  EXPECT_EQ(title_of("/mnt/music1/~private/"), "Private (versteckt)");
  EXPECT_EQ(title_of("/mnt/music1/a/~b_c.mp3"), "B c (versteckt)");
  EXPECT_EQ(title_of("/mnt/music1/a/99 little steps.mp3"), "Little steps");
  EXPECT_EQ(title_of("/mnt/music1/a/track.mp3.bak"), "Track.mp3.bak");
}

TEST(Titleform, EndingAndSlashRules) {
  EXPECT_EQ(title_of(""), "");
  EXPECT_EQ(title_of("/"), "");
  EXPECT_EQ(title_of("a.mp3"), "A.mp3"); // five characters keep their ending
  EXPECT_EQ(title_of("ab.mp3"), "Ab");
  EXPECT_EQ(title_of("/m/x.Mp3"), "X");
  EXPECT_EQ(title_of("/m/x.mP3"), "X.mP3");
  // The ending is looked at before the slash: a folder named like a song keeps it.
  EXPECT_EQ(title_of("/mnt/x.mp3/"), "X.mp3");
  // Only one slash goes; the last component is then empty.
  EXPECT_EQ(title_of("/mnt/a//"), "");
  // A name that is only the ending leaves the folder's name.
  EXPECT_EQ(title_of("/m/.mp3"), "M");
}

TEST(Titleform, ChangesThePathInPlace) {
  char work[TITLE_BUFFER_SIZE] = "a_b/~c_d.mp3";
  char title[TITLE_BUFFER_SIZE];
  titleform(work, title);
  // Underscores before the last slash stay; the mark is appended to the whole text.
  EXPECT_STREQ(work, "a_b/~C d (versteckt)"); // the capital, too
  EXPECT_STREQ(title, "C d (versteckt)");
}

TEST(Titleform, PrefixStepsOnceEachInOrder) {
  EXPECT_EQ(title_of("/m/1a"), "A");    // one digit, no separator
  EXPECT_EQ(title_of("/m/12x"), "X");   // two digits
  EXPECT_EQ(title_of("/m/123x"), "3x"); // a third digit stays, and is no letter
  EXPECT_EQ(title_of("/m/[1] x"), "X"); // "[", a digit, "]", a blank
  EXPECT_EQ(title_of("/m/]x"), "X");
  EXPECT_EQ(title_of("/m/- x"), "X");      // "-" and the blank after it
  EXPECT_EQ(title_of("/m/-  x"), " x");    // ...but only one blank after the "-"
  EXPECT_EQ(title_of("/m/   x"), " x");    // three blanks lose two
  EXPECT_EQ(title_of("/m/.. x"), ". x");   // "." once
  EXPECT_EQ(title_of("/m/-[1]x"), "[1]x"); // out of order: stays
  EXPECT_EQ(title_of("/m/01_-_"), "");     // nothing left
}

TEST(Titleform, HiddenMarkBeforePrefixAndCapitals) {
  EXPECT_EQ(title_of("/m/~05 song.mp3"), "Song (versteckt)");
  EXPECT_EQ(title_of("/m/~"), "(versteckt)"); // the mark's blank counts as a prefix
  EXPECT_EQ(title_of("/m/a~b"), "A~b");
  EXPECT_EQ(title_of("/m/Zebra"), "Zebra");
  EXPECT_EQ(title_of("/m/\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9"); // above 127: unchanged
  EXPECT_EQ(title_of("/m/{x}"), "{x}");
}

TEST(Titleform, LongPathsKeepTheirLastCharacters) {
  // Paths longer than the buffers keep their end, where the title comes from.
  std::string folder(400, 'f');
  EXPECT_EQ(title_of("/mnt/" + folder + "/07_-_last_song.mp3"), "Last song");
  // The longest name with the mark fills the buffers exactly.
  std::string name = "~" + std::string(254, 'n');
  std::string title = title_of(name);
  EXPECT_EQ(title, "N" + std::string(253, 'n') + " (versteckt)");
  EXPECT_EQ(title.size(), static_cast<size_t>(TITLE_BUFFER_SIZE - 1 - 1));
}

TEST(TitleformTool, PrintsTitleOrUsage) {
  Sandbox sb;
  std::string long_path = "/mnt/" + std::string(1000, 'x') + "/~01 long_road.mp3";
  RunResult r = sb.run("titleform '/mnt/music1/Some_Band/05_-_first_song.mp3' && titleform '' && "
                       "titleform " +
                       shell_quote(long_path));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "First song\n\nLong road (versteckt)\n");
  for (const char *args : {"", "a b"}) {
    r = sb.run(std::string("titleform ") + args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Usage: titleform <pathname>\n");
  }
}

namespace {

// The fixed fragments of the page.
const std::string head =
    "<HTML><HEAD><TITLE>Velm Jukebox</TITLE></HEAD><BODY LINK=#000000 ALINK=#000000>\n"
    "<FONT FACE=\"Arial\"><h1>Velm Jukebox<FONT SIZE=3>&nbsp;&nbsp;&nbsp;made by the Velm "
    "jukebox builders</FONT></h1>\n";
const std::string groups_open = "\n<h2>Gruppen</h2><OL>";
const std::string groups_close = "\n</OL>";
const std::string contents_open =
    "<h2>Inhalt der Gruppen</h2>\n<TABLE WIDTH=98% BORDER=1 CELLPADDING=8>\n";
const std::string contents_close = "</TABLE>\n\n";
const std::string albums_open = "<h2>Inhalt der Alben</h2>\n";
const std::string albums_close = "</OL></TABLE></BODY></HTML>\n";

std::string group_item(const std::string &code, const std::string &title) {
  return "<LI><A HREF=\"#" + code + "\">" + title + "</A> ";
}
std::string group_cell(const std::string &code, const std::string &title, int device) {
  return "<TD WIDTH=50% VALIGN=TOP><A NAME=\"" + code + "\"></A><FONT SIZE=5>" + title +
         "</FONT>&nbsp;&nbsp;&nbsp;<FONT SIZE=4>(Gruppe " + std::to_string(device) +
         ")</FONT><br><hr>\n<OL>\n";
}
std::string list_item(const std::string &code, const std::string &title) {
  return "<LI><A HREF=\"#" + code + "\">" + title + "</A>\n";
}
std::string album_table(const std::string &code, const std::string &title, int device) {
  return "</TABLE><P><TABLE BORDER=1 WIDTH=95% CELLPADDING=8><A NAME=\"" + code +
         "\"></A>\n<TR><TD COLSPAN=2><FONT SIZE=5>" + title +
         "</FONT>&nbsp;&nbsp;&nbsp;<FONT SIZE=4>(Gruppe " + std::to_string(device) +
         ")</FONT></TD></TR>\n";
}
std::string album_cell(int list, const std::string &code, const std::string &title) {
  return "<TD WIDTH=50% VALIGN=TOP>\n<FONT SIZE=5>" + std::to_string(list) +
         "</FONT>&nbsp;&nbsp;&nbsp;<FONT SIZE=4><A NAME=\"" + code +
         "\" HREF=\"/cgi-bin/choose.sh?song=" + code + "\">" + title + "</A></FONT><br><hr>\n<OL>";
}
std::string song_item(const std::string &code, const std::string &title) {
  return "<LI></A><A NAME=\"" + code + "\" HREF=\"/cgi-bin/choose.sh?song=" + code + "\">" + title +
         "</A>\n";
}

} // namespace

TEST(Htmlcatalog, EmptyMasterList) {
  Sandbox sb;
  sb.put("/tmp/MPL", "");
  RunResult r = sb.run("htmlcatalog");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, head + groups_open + groups_close + contents_open + contents_close +
                       albums_open + albums_close);
}

TEST(Htmlcatalog, WholePageByteForByte) {
  // Three devices (the second without lists), a hidden list, numbers of 10,000 and more,
  // and titles holding "&" and "<", escaped on the page.
  Sandbox sb;
  sb.put("/tmp/MPL", "1 0 0 /mnt/one\n"
                     "1 1 0 Rock_&_Roll\n"
                     "1 1 1 /mnt/one/Rock_&_Roll/01_-_a<b>.mp3\n"
                     "1 1 2 /mnt/one/Rock_&_Roll/02 \"quoted\".mp3\n"
                     "1 2 0 ~secret\n"
                     "1 2 1 /mnt/one/~secret/x.mp3\n"
                     "1 3 0 third\n"
                     "1 3 1 /mnt/one/third/t.mp3\n"
                     "2 0 0 /mnt/empty_stick/\n"
                     "10000 0 0 /mnt/big\n"
                     "10000 12345 0 many\n"
                     "10000 12345 10001 /mnt/big/many/last.mp3\n");
  RunResult r = sb.run("htmlcatalog");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected =
      head + groups_open + group_item("000100000000", "One") +
      group_item("000200000000", "Empty stick") + group_item("1000000000000", "Big") +
      groups_close + contents_open +
      // Two cells to a row: a row break before the third.
      "</OL></TD>" + group_cell("000100000000", "One", 1) +
      list_item("000100010000", "Rock &amp; Roll") +
      list_item("000100020000", "Secret (versteckt)") + list_item("000100030000", "Third") +
      "</OL></TD>" + group_cell("000200000000", "Empty stick", 2) + "</OL></TD></TR><TR>" +
      group_cell("1000000000000", "Big", 10000) + list_item("10000123450000", "Many") +
      contents_close + albums_open + album_table("000100000000", "One", 1) + "</OL></TD>" +
      album_cell(1, "000100010000", "Rock &amp; Roll") + song_item("000100010001", "A&lt;b&gt;") +
      song_item("000100010002", "&quot;quoted&quot;") + "</OL></TD>" +
      album_cell(2, "000100020000", "Secret (versteckt)") + song_item("000100020001", "X") +
      "</OL></TD></TR><TR>" + album_cell(3, "000100030000", "Third") +
      song_item("000100030001", "T") + album_table("000200000000", "Empty stick", 2) +
      album_table("1000000000000", "Big", 10000) + "</OL></TD>" +
      album_cell(12345, "10000123450000", "Many") + song_item("100001234510001", "Last") +
      albums_close;
  EXPECT_EQ(r.out, expected);
}

TEST(Htmlcatalog, BrokenLineEndsEachPassButThePageIsWhole) {
  Sandbox sb;
  sb.put("/tmp/MPL", "1 0 0 /mnt/one\n1 1 0 L\nrest of a broken name\n2 0 0 /mnt/two\n");
  RunResult r = sb.run("htmlcatalog");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("Two"), std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - albums_close.size()), albums_close);
  EXPECT_NE(r.out.find(contents_close + albums_open), std::string::npos);
}

TEST(Htmlcatalog, LongTextsStayInTheirBuffers) {
  // Texts far past 255 characters, hidden, full of characters to escape; the sanitizer
  // build watches the buffers.
  std::string folder = "~";
  folder.append(300, '&'); // not "~" + std::string(...): a false -Wrestrict of GCC 12 at -O3
  Sandbox sb;
  sb.put("/tmp/MPL", "1 0 0 /mnt/" + std::string(600, 'r') + "\n1 1 0 " + folder + "\n1 1 1 /mnt/" +
                         folder + "/" + std::string(250, '<') + ".mp3\n");
  RunResult r = sb.run("htmlcatalog");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The list's title: its name as the reader keeps it (255 characters), marked hidden.
  std::string list_title;
  for (int i = 0; i < 254; ++i)
    list_title += "&amp;";
  EXPECT_NE(r.out.find(">" + list_title + " (versteckt)</A>"), std::string::npos);
}

TEST(Htmlcatalog, UsageAndMissingMasterList) {
  Sandbox sb;
  RunResult r = sb.run("htmlcatalog");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Could not open MPL file </tmp/MPL>.\n");
  sb.put("/tmp/MPL", "");
  r = sb.run("htmlcatalog x");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Usage: htmlcatalog\n");
}
