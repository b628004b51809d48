// The line handling of playwatch, checked against the C library's sscanf with the
// watcher's patterns, and the texts it makes.

#include "convert.h"
#include "lines.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The patterns as the player's output is matched by sscanf. "%0s" is glibc's "%s" of any
// length, which the compiler's format check does not know.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
bool reference_frame(const char *line, FrameStatus *status) {
  static char frame[4096], left[4096], elapsed[4096], fraction1[4096], remaining[4096],
      fraction2[4096];
  int n = sscanf(line, "@F %16[1234567890] %16[1234567890] %8[1234567890].%0s %8[1234567890].%0s",
                 frame, left, elapsed, fraction1, remaining, fraction2);
  if (n != 6)
    return false;
  *status = {parse_atoi(frame), parse_atoi(elapsed), parse_atoi(remaining)};
  return true;
}
#pragma GCC diagnostic pop

bool reference_id3(const char *line, Id3Fields *fields) {
  char title[31] = {}, author[31] = {}, album[31] = {}, year[5] = {}, comment[31] = {};
  static char genre[4096];
  if (sscanf(line, "@I ID3:%30c%30c%30c%4c%30c%4095s", title, author, album, year, comment,
             genre) != 6)
    return false;
  memset(fields, 0, sizeof *fields);
  memcpy(fields->title, title, 30);
  memcpy(fields->author, author, 30);
  memcpy(fields->album, album, 30);
  memcpy(fields->year, year, 4);
  memcpy(fields->comment, comment, 30);
  memcpy(fields->genre, genre, strnlen(genre, 10));
  return true;
}

std::string pad(const std::string &text, size_t width) {
  return (text + std::string(width, ' ')).substr(0, width);
}

// An ID3 line as the player writes it.
std::string id3_line(const std::string &title, const std::string &author, const std::string &album,
                     const std::string &year, const std::string &comment,
                     const std::string &genre) {
  return "@I ID3:" + pad(title, 30) + pad(author, 30) + pad(album, 30) + pad(year, 4) +
         pad(comment, 30) + genre;
}

} // namespace

TEST(FrameLine, MatchesAsSscanfDoes) {
  struct Case {
    std::string line;
    bool matches;
  };
  std::vector<Case> cases = {
      {"@F 0 116 0.00 3.03", true},
      {"@F 1 115 0.31 3.05", true},
      {"@F 123 4567 102.5 5.99", true},
      {"@F\t7\t8\t9.1\t10.2", true},
      {"@F7 8 9.1 10.2", true},               // a blank matches no white space too
      {"@F 7 8 9.1x 10.2y", true},            // fractions are any words
      {"@F 7 8 9.1 10.2 and more", true},     // the rest of the line is not looked at
      {"@F 7 8 9. 1 10.2", true},             // "%0s" skips white space: "1" is the fraction
      {"@F 7 8 9. 10.2", false},              // ... and then takes "10.2" as the fraction
      {"@F 12345678901234567 2.5 3.5", true}, // 16 digits, then the 17th is the next field
      {"@F 1 2 123456789.0 3.5", false},      // nine digits then no point
      {"@F 1 2 12345678.0 3.5", true},
      {"@F -1 2 3.00 4.00", false},
      {"@F 1 2 -3.00 4.00", false},
      {"@F 1 2 3.00 -4.00", false},
      {"@F 1 2 3 4", false}, // seconds without a point
      {"@F 1 2 3.00 4", false},
      {"@F 1 2 3.00 4.", false}, // no fraction
      {"@F 1 2 .5 4.0", false},
      {"@F 1 2 3.00", false},
      {"@F", false},
      {"@f 1 2 3.0 4.0", false},
      {" @F 1 2 3.0 4.0", false}, // leading blanks are gone before matching
      {"@P 0", false},
      {"@I ID3:x", false},
      {"@F +1 2 3.0 4.0", false},
      {"@F 1 2 3.0\r 4.0\r", true},
      {"@F 99999999999999999999 1 2.0 3.0", false}, // the 20 digits give fields 1 and 2
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    FrameStatus ours = {-1, -1, -1}, theirs = {-2, -2, -2};
    bool matched = parse_frame_line(c.line.c_str(), &ours);
    EXPECT_EQ(matched, c.matches);
    EXPECT_EQ(reference_frame(c.line.c_str(), &theirs), matched);
    if (matched) {
      EXPECT_EQ(ours.frame, theirs.frame);
      EXPECT_EQ(ours.elapsed, theirs.elapsed);
      EXPECT_EQ(ours.remaining, theirs.remaining);
    }
  }
  FrameStatus status;
  ASSERT_TRUE(parse_frame_line("@F 1 115 0.31 3.05", &status));
  EXPECT_EQ(status.elapsed, 0);
  EXPECT_EQ(status.remaining, 3);
  ASSERT_TRUE(parse_frame_line("@F 9999999999999999 1 2.0 3.0", &status));
  EXPECT_EQ(status.frame, 2147483647); // clamped to the int range, as atoi does here
  ASSERT_TRUE(parse_frame_line("@F 0002147483647 1 99999999.0 3.0", &status));
  EXPECT_EQ(status.frame, 2147483647);
  EXPECT_EQ(status.elapsed, 99999999);
}

// The matcher of the player's own form of the line agrees with the general one wherever
// it takes a line, and takes the lines the player writes, at any place in the bytes that
// may be read (the bytes here end just after the line, so a read past them is caught by
// the address sanitizer).
TEST(FrameLine, PlayerFormAgreesWithTheGeneralMatch) {
  struct Case {
    std::string line;
    bool taken;
  };
  std::vector<Case> cases = {
      {"@F 0 116 0.00 3.03", true},
      {"@F 89 38194 0.32 997.72", true},
      {"@F 1234567 7654321 12345678.123456789012 87654321.9", true},
      {"@F 9999999999999999 1 2.0 3.0", true}, // 16 digits
      {"@F 2147483648 1 2.0 3.0", true},
      {"@F 1 2 99999999.0 3.0", true},
      {"@F 0002147483647 0000000000000001 00000001.0 00000000.0", true},
      {"@F 12345678 123456789 1.00 2.00", true}, // 8 and 9 digits
      {"@F 123456789012345 0 1.00 2.00", true},  // 15 digits
      {"@F 12345678901234567 2.5 3.5", false},   // 17 digits: the general match splits
      {"@F 12345678901234567 1 2.5 3.5", false}, // ... and finds no match here
      {"@F 1 99999999999999999 2.5 3.5", false},
      {"@F  1 2.00 3.00", false},  // an empty number before the others
      {"@F 1 2 3.00 4 00", false}, // a separator out of place
      {"@F 1 2x3.00 4.00", false},
      {"@F 1x2 3.00 4.00", false},
      {"@F 1 2 3 00 4.00", false},
      {"@F 1 2 3.00.4.00", false},
      {"@F 1 2 3.00 4.00.", false},
      {"@F 1 2 123456789.0 3.5", false}, // nine digits then no point
      {"@F 1 2 3.0 123456789.0", false},
      {"@F 1 2 3.00 4.00 ", false}, // anything after the fraction
      {"@F 1 2 3.00 4.00x", false},
      {"@F 1 2 3.00x 4.00", false},
      {"@F  1 2 3.00 4.00", false}, // other white space
      {"@F\t1 2 3.00 4.00", false},
      {"@F 1 2 3.00 4.00\r", false},
      {"@F1 2 3.00 4.00", false},
      {"@F 1 2 3. 4.00", false},
      {"@F 1 2 3.00 4.", false},
      {"@F 1 2 3 4.00", false},
      {"@F -1 2 3.00 4.00", false},
      {std::string("@F 1 2 3.00 4.00\0", 17) + " 5", false}, // a zero byte ends the text
      {"@F 1 2 3.00", false},
      {"@F", false},
      {"@P 0", false},
      {"", false},
  };
  // Lines of every length around the span that is looked at in one piece.
  for (int digits = 1; digits <= 16; ++digits) {
    std::string number = std::string(static_cast<size_t>(digits - 1), '7') + "3";
    cases.push_back({"@F " + number + " " + number + " 1.00 2.00", true});
    cases.push_back({"@F " + number + " 5 1.00 2.00 ", false});
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    FrameStatus general = {-2, -2, -2};
    bool matches = parse_frame_line(c.line.c_str(), &general);
    // The line and its newline at the very end of what may be read, then followed by more
    // lines, then followed by a zero byte instead of its newline.
    std::string at_end = c.line + "\n";
    std::string followed = c.line + "\n@F 9 9 9.9 9.9\n" + std::string(40, '7');
    std::string unended = c.line + std::string(1, '\0') + "\n" + std::string(40, '7');
    for (const std::string *text : {&at_end, &followed, &unended}) {
      std::vector<char> bytes(text->begin(), text->end());
      int elapsed = -1;
      const char *newline =
          match_player_frame_line(bytes.data(), bytes.data() + bytes.size(), &elapsed);
      if (text == &unended) {
        EXPECT_EQ(newline, nullptr);
        continue;
      }
      EXPECT_EQ(newline != nullptr, c.taken) << (text == &at_end ? "at the end" : "followed");
      if (newline == nullptr)
        continue;
      EXPECT_EQ(newline, bytes.data() + c.line.size());
      EXPECT_TRUE(matches);
      EXPECT_EQ(elapsed, general.elapsed);
    }
  }
}

// The lines of the same second are passed over up to the first line that may ask for
// something: another second, another form, a line longer than the watcher takes whole.
TEST(FrameLine, PassesOverLinesOfTheSameSecond) {
  std::string same = "@F 1 2 7.00 3.00\n@F 2 1 7.50 2.50\n";
  std::string long_same = "@F 3 0 7.99 2." + std::string(700, '0') + "\n";
  struct Case {
    std::string next; // the line after the lines of second 7
    bool passed;      // passed over as well
  } const cases[] = {
      {"@F 3 0 8.00 2.00\n", false},
      {"@F 3 0 7.90 2.10\n", true},
      {"@F 3 0 7.90 2.10 \n", false},
      {"@F  3 0 7.90 2.10\n", false},
      {"@P 0\n", false},
      {long_same, false},
      {"@F 3 0 7.99 2." + std::string(600, '0') + "\n", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.next.substr(0, 40));
    std::string text = same + c.next + "@I x\n";
    const char *end = text.data() + text.size();
    const char *stop = pass_same_second_lines(text.data(), end, 7);
    EXPECT_EQ(stop - text.data(),
              static_cast<long>(c.passed ? same.size() + c.next.size() : same.size()));
    EXPECT_EQ(pass_same_second_lines(text.data(), end, 6), text.data());
  }
}

TEST(FrameLine, TimeTextWrapsMinutesAboveNinetyNine) {
  struct Case {
    int elapsed, remaining;
    const char *text;
  } const cases[] = {
      {31, 115, "+00:31 -01:55"},
      {0, 0, "+00:00 -00:00"},
      {6125, 59, "+02:05 -00:59"},
      {5999, 6000, "+99:59 -00:00"},
      {60 * 250 + 7, 1, "+50:07 -00:01"},
      {99999999, 3599, "+66:39 -59:59"}, // 1666666 minutes: the hundreds go
  };
  for (const auto &c : cases) {
    char text[TIME_TEXT_SIZE];
    format_time_text(text, c.elapsed, c.remaining);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(Id3Line, FieldsOfRealPlayerLines) {
  // As mpg123 1.31 writes them for lame's ID3 tags.
  Id3Fields f;
  ASSERT_TRUE(parse_id3_line("@I ID3:Morning Ferry                 Harbour Lights                "
                             "Low Tide                      1998                              "
                             "Unknown",
                             &f));
  EXPECT_STREQ(f.title, "Morning Ferry                 ");
  EXPECT_STREQ(f.author, "Harbour Lights                ");
  EXPECT_STREQ(f.album, "Low Tide                      ");
  EXPECT_STREQ(f.year, "1998");
  EXPECT_STREQ(f.comment, std::string(30, ' ').c_str());
  EXPECT_STREQ(f.genre, "Unknown");

  // Genre words longer than 10 characters keep 10; the rest of the line is not looked at.
  ASSERT_TRUE(parse_id3_line(id3_line("T", "A", "", "", "", "Instrumental Rock").c_str(), &f));
  EXPECT_STREQ(f.genre, "Instrument");
  ASSERT_TRUE(parse_id3_line(id3_line("T", "A", "", "", "", std::string(600, 'g')).c_str(), &f));
  EXPECT_STREQ(f.genre, "gggggggggg");
}

TEST(Id3Line, MatchesAsSscanfDoes) {
  std::string fields124 = std::string(124, 'x');
  std::vector<std::pair<std::string, bool>> cases = {
      {id3_line("Title", "Author", "Album", "1999", "Comment", "Pop"), true},
      {id3_line("", "", "", "", "", "Pop"), true},
      {id3_line("", "", "", "", "", ""), false},        // no genre word
      {id3_line("", "", "", "", "", " \t "), false},    // nor here
      {id3_line("", "", "", "", "", "  Blues"), true},  // white space before it
      {"@I ID3:" + std::string(123, 'x'), false},       // one character short
      {"@I ID3:" + std::string(123, 'x') + " ", false}, // a blank is a field's
      {"@I ID3:" + fields124, false},                   // fields, then no word
      {"@I ID3:" + fields124 + "g", true},
      {"@IID3:" + fields124 + "g", true},     // the blank matches none
      {"@I \t ID3:" + fields124 + "g", true}, // ... or several
      {"@I ID3 :" + fields124 + "g", false},
      {"@I ID3." + fields124 + "g", false}, // mpg123's "@I ID3.genre:1"
      {"@I {", false},
      {"@I }", false},
      {"@I ID3:", false},
      {"@I", false},
      {"@F ID3:" + fields124 + "g", false},
      {"@I ID3:" + std::string(124, '\t') + "g", true}, // fields take white space
  };
  for (const auto &[line, matches] : cases) {
    SCOPED_TRACE(line);
    Id3Fields ours, theirs;
    bool matched = parse_id3_line(line.c_str(), &ours);
    EXPECT_EQ(matched, matches);
    EXPECT_EQ(reference_id3(line.c_str(), &theirs), matched);
    if (matched) {
      EXPECT_EQ(memcmp(&ours, &theirs, sizeof ours), 0);
    }
  }
}

TEST(Id3Line, TrimTrailingBlanks) {
  struct Case {
    std::string text, trimmed;
  } const cases[] = {
      {"Nineteens" + std::string(21, ' '), "Nineteens"},
      {std::string(30, ' '), " "},
      {" ", " "},
      {"", ""},
      {"a", "a"},
      {"  a  ", "  a"},
      {"tab\t", "tab\t"}, // only blanks go
      {"tab\t  ", "tab\t"},
      {"a b ", "a b"},
  };
  for (const Case &c : cases) {
    std::string buffer = c.text;
    trim_trailing_blanks(buffer.data());
    EXPECT_STREQ(buffer.c_str(), c.trimmed.c_str()) << "'" << c.text << "'";
  }
}

TEST(WatchLine, EffectsOfEachKindOfLine) {
  WatchState state;
  LineEffects fx;
  watch_line(&state, id3_line("Title", "Author", "Album", "1999", "Comment", "Pop").c_str(), &fx);
  EXPECT_EQ(std::string(fx.display, static_cast<size_t>(fx.display_length)),
            "display_setid3tagtitle Author - Title\n");
  EXPECT_EQ(std::string(fx.report, static_cast<size_t>(fx.report_length)),
            "[playwatch]id3tagtitle: >Author - Title<\ntitle:>Title<\nauthor>Author<\nalbum>" +
                pad("Album", 30) + "<\nyear>1999<\ncomment>" + pad("Comment", 30) +
                "<\ngenre>Pop<\n\n");
  EXPECT_FALSE(fx.checkpoint || fx.next_song);

  watch_line(&state, id3_line("", "", "", "", "", "Pop").c_str(), &fx);
  EXPECT_EQ(std::string(fx.display, static_cast<size_t>(fx.display_length)),
            "display_setid3tagtitle   -  \n");

  // The lines of a tag block around the "@I ID3:" line leave the title alone (a block
  // without an ID3v2 title ends with none); its opening, like any other information line,
  // stands for no tag.
  watch_line(&state, "@I {", &fx);
  for (const char *detail : {"@I ID3.genre:255", "@I ID3.track:1", "@I ID3v2.artist:Artist",
                             "@I ID3v2.album:Album", "@I }"}) {
    watch_line(&state, detail, &fx);
    EXPECT_EQ(fx.report_length + fx.display_length, 0) << detail;
  }
  for (const char *other : {"@I {", "@I notag", "@I ID3", "@I ID3v2", "@I }x"}) {
    watch_line(&state, other, &fx);
    EXPECT_EQ(fx.report_length, 0);
    EXPECT_EQ(std::string(fx.display, static_cast<size_t>(fx.display_length)),
              "display_setid3tagtitle (no-id3-tag)\n")
        << other;
  }

  watch_line(&state, "@P 0", &fx);
  EXPECT_TRUE(fx.checkpoint && fx.next_song);
  EXPECT_EQ(fx.checkpoint_frame, 0);
  EXPECT_EQ(fx.display_length + fx.report_length, 0);
  for (const char *other : {"@P 0 ", "@P 1", "@P 00", "@P  0", "@P 2", "@p 0"}) {
    watch_line(&state, other, &fx);
    EXPECT_FALSE(fx.checkpoint || fx.next_song) << other;
    EXPECT_EQ(fx.display_length + fx.report_length, 0) << other;
  }

  char text[FRAMEPOS_TEXT_SIZE];
  EXPECT_EQ(format_framepos(text, 0), 17);
  EXPECT_STREQ(text, "               0\n");
  EXPECT_EQ(format_framepos(text, 2147483647), 17);
  EXPECT_STREQ(text, "      2147483647\n");
}

// Today's tags: the player writes UTF-8 (in a UTF-8 locale) and reports ID3v2 fields on
// lines of their own; the display gets Latin-1, and the whole ID3v2 title at the block's
// end.
TEST(WatchLine, Id3v2TitlesAtTheBlocksEnd) {
  WatchState state;
  LineEffects fx;
  auto display_of = [&](const char *line) {
    watch_line(&state, line, &fx);
    return std::string(fx.display, static_cast<size_t>(fx.display_length));
  };
  const std::string title60 = "Cr\u00e8me br\u00fbl\u00e9e: a title of sixty characters in all, "
                              "no fewer!!";
  ASSERT_EQ(title60.size(), 60U + 3U); // three letters of two bytes each
  // Both tags: the ID3v1 line (its report as the player wrote it, its title in Latin-1),
  // then the ID3v2 title at the close.
  EXPECT_EQ(display_of("@I {"), "display_setid3tagtitle (no-id3-tag)\n");
  std::string v1 = id3_line("Cr\u00e8me br\u00fbl\u00e9e", "Zo\u00eb", "", "2015", "", "Pop");
  EXPECT_EQ(display_of(v1.c_str()), "display_setid3tagtitle Zo\xeb - Cr\xe8me br\xfbl\xe9"
                                    "e\n");
  EXPECT_NE(std::string(fx.report, static_cast<size_t>(fx.report_length))
                .find(">Zo\u00eb - Cr\u00e8me br\u00fbl\u00e9e<"),
            std::string::npos);
  EXPECT_EQ(display_of("@I ID3.genre:255"), "");
  EXPECT_EQ(display_of(("@I ID3v2.title:" + title60).c_str()), "");
  EXPECT_EQ(display_of("@I ID3v2.artist:Zo\u00eb & the Caf\u00e9 Band"), "");
  EXPECT_EQ(display_of("@I ID3v2.album:Caf\u00e9"), "");
  EXPECT_EQ(display_of("@I }"), "display_setid3tagtitle Zo\xeb & the Caf\xe9 Band - "
                                "Cr\xe8me br\xfbl\xe9"
                                "e: a title of sixty characters in all, "
                                "no fewer!!\n");
  // The close of a block with nothing more leaves the title alone.
  EXPECT_EQ(display_of("@I }"), "");

  // ID3v2 only, no artist: the title alone; a field of several lines is joined by blanks.
  EXPECT_EQ(display_of("@I {"), "display_setid3tagtitle (no-id3-tag)\n");
  EXPECT_EQ(display_of("@I ID3v2.title:First line"), "");
  EXPECT_EQ(display_of("@I ID3v2.title:second"), "");
  EXPECT_EQ(display_of("@I }"), "display_setid3tagtitle First line second\n");

  // An artist without a title sets nothing; what a block left unclosed had does not
  // reach the next song's.
  EXPECT_EQ(display_of("@I {"), "display_setid3tagtitle (no-id3-tag)\n");
  EXPECT_EQ(display_of("@I ID3v2.artist:Only Artist"), "");
  EXPECT_EQ(display_of("@I }"), "");
  EXPECT_EQ(display_of("@I {"), "display_setid3tagtitle (no-id3-tag)\n");
  EXPECT_EQ(display_of("@I ID3v2.title:Left open"), "");
  EXPECT_EQ(display_of("@I {"), "display_setid3tagtitle (no-id3-tag)\n");
  EXPECT_EQ(display_of("@I ID3v2.title:Next"), "");
  EXPECT_EQ(display_of("@I }"), "display_setid3tagtitle Next\n");

  // Titles longer than the display keeps are cut to its 127 characters.
  EXPECT_EQ(display_of("@I {"), "display_setid3tagtitle (no-id3-tag)\n");
  EXPECT_EQ(display_of(("@I ID3v2.title:" + std::string(600, 'x')).c_str()), "");
  EXPECT_EQ(display_of(("@I ID3v2.title:" + std::string(600, 'y')).c_str()), "");
  EXPECT_EQ(display_of("@I ID3v2.artist:A"), "");
  EXPECT_EQ(display_of("@I }"),
            "display_setid3tagtitle A - " + std::string(TAG_TITLE_SIZE - 1 - 4, 'x') + "\n");
}
