#include "panel_feed.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>

namespace {

PanelFeed sample() {
  PanelFeed feed;
  feed.rows[0] = "1/002/03 PLAY -02:15 all";
  feed.rows[1] = std::string(10, '\xff') + "              ";
  feed.title = "Zo\xeb & the Band - Song";
  feed.status = "PLAY";
  feed.device = 1;
  feed.list = 2;
  feed.song = 3;
  feed.time = "-02:15";
  feed.order = "all";
  feed.mode = 2;
  feed.volume = 72;
  feed.balance = -30;
  feed.bass = 48;
  feed.treble = 0;
  return feed;
}

const std::string SAMPLE_TEXT = "row0 1/002/03 PLAY -02:15 all\n"
                                "row1 " +
                                std::string(10, '\xff') +
                                "              \n"
                                "title Zo\xeb & the Band - Song\n"
                                "status PLAY\ndevice 1\nlist 2\nsong 3\ntime -02:15\norder all\n"
                                "mode 2\nvolume 72\nbalance -30\nbass 48\ntreble 0\n";

bool parses(const std::string &text, PanelFeed &feed) {
  return parse_panel_feed(text.data(), text.size(), feed);
}

bool parses(const std::string &text) {
  PanelFeed feed;
  return parses(text, feed);
}

// The sample's text with the line of `key` given the value `value`.
std::string with_value(const std::string &key, const std::string &value) {
  std::string text = SAMPLE_TEXT;
  size_t at = text.find(key + " ");
  size_t end = text.find('\n', at);
  return text.replace(at + key.size() + 1, end - at - key.size() - 1, value);
}

} // namespace

TEST(PanelFeed, FormatsEveryFieldInOrderAndReadsItBack) {
  EXPECT_EQ(format_panel_feed(sample()), SAMPLE_TEXT);
  PanelFeed feed;
  ASSERT_TRUE(parses(SAMPLE_TEXT, feed));
  EXPECT_TRUE(feed == sample());
  PanelFeed other = sample();
  other.treble = 1;
  EXPECT_FALSE(feed == other);

  // Empty texts and the extremes of int survive.
  PanelFeed edges;
  edges.device = INT_MIN;
  edges.list = INT_MAX;
  std::string text = format_panel_feed(edges);
  EXPECT_NE(text.find("title \nstatus \n"), std::string::npos) << text;
  EXPECT_NE(text.find("device -2147483648\nlist 2147483647\n"), std::string::npos) << text;
  ASSERT_TRUE(parses(text, feed));
  edges.rows[0] = edges.rows[1] = std::string(24, ' '); // empty rows go out blank
  EXPECT_TRUE(feed == edges);
}

TEST(PanelFeed, RowsAreFittedAndLineEndsOrNulsSentAsQuestionMarks) {
  PanelFeed feed = sample();
  feed.rows[0] = "short";
  feed.rows[1] = std::string(30, 'x');
  feed.title = std::string("a\nb\0c", 5);
  feed.time = std::string(1, '\n');
  feed.rows[0][2] = '\n';
  std::string text = format_panel_feed(feed);
  EXPECT_NE(text.find("row0 sh?rt" + std::string(19, ' ') + "\nrow1 " + std::string(24, 'x') +
                      "\ntitle a?b?c\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("time ?\n"), std::string::npos);
  PanelFeed back;
  ASSERT_TRUE(parses(text, back));
  EXPECT_EQ(back.title, "a?b?c");
  EXPECT_EQ(back.rows[1], std::string(24, 'x'));
}

TEST(PanelFeed, RejectsAnythingButOneWholeMessage) {
  EXPECT_FALSE(parses(""));
  EXPECT_FALSE(parses(SAMPLE_TEXT.substr(0, SAMPLE_TEXT.size() - 1))); // last line end
  EXPECT_FALSE(parses(SAMPLE_TEXT + "treble 0\n"));                    // a line more
  EXPECT_FALSE(parses(SAMPLE_TEXT + "\n"));
  // A line missing, two swapped, a key unknown or spelt otherwise.
  std::string text = SAMPLE_TEXT;
  EXPECT_FALSE(parses(text.erase(text.find("song 3\n"), 7)));
  text = SAMPLE_TEXT;
  text.replace(text.find("bass 48\ntreble 0\n"), 17, "treble 0\nbass 48\n");
  EXPECT_FALSE(parses(text));
  text = SAMPLE_TEXT;
  EXPECT_FALSE(parses(text.replace(text.find("order"), 5, "Order")));
  text = SAMPLE_TEXT;
  EXPECT_FALSE(parses(text.replace(text.find("mode 2"), 6, "mode\t2")));
  text = SAMPLE_TEXT;
  EXPECT_FALSE(parses(text.replace(text.find("mode 2"), 6, "mode2")));
  // A NUL anywhere, even inside a text.
  text = SAMPLE_TEXT;
  EXPECT_FALSE(parses(text.replace(text.find("Band"), 1, std::string(1, '\0'))));

  // Rows of 23 or 25 bytes.
  EXPECT_FALSE(parses(with_value("row0", std::string(23, ' '))));
  EXPECT_FALSE(parses(with_value("row1", std::string(25, ' '))));
  EXPECT_TRUE(parses(with_value("row1", std::string(24, '\x7f'))));

  // Numbers only as the formatter writes them.
  for (const char *bad : {"", "-", "+1", " 1", "1 ", "01", "-0", "00", "1x", "0x10", "2147483648",
                          "-2147483649", "99999999999"})
    EXPECT_FALSE(parses(with_value("volume", bad))) << bad;
  for (const char *good : {"0", "-1", "100", "2147483647", "-2147483648"}) {
    PanelFeed feed;
    ASSERT_TRUE(parses(with_value("balance", good), feed)) << good;
    EXPECT_EQ(feed.balance, std::stoi(good));
  }

  // A message as long as allowed, and one byte longer.
  std::string title(PANEL_FEED_MAX - SAMPLE_TEXT.size() + sample().title.size(), 't');
  std::string longest = with_value("title", title);
  ASSERT_EQ(longest.size(), PANEL_FEED_MAX);
  EXPECT_TRUE(parses(longest));
  EXPECT_FALSE(parses(with_value("title", title + "t")));
}
