// The title derivation, and htmlcatalog on texts far past its buffers. The output of the
// titleform tool and the catalogue pages are golden cases (tests/golden/titleform,
// htmlcatalog).

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
