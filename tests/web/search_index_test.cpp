// The web remote's search index on master lists written here and made by the real
// scantree: titles as the catalogue derives them, folded matching, paging, lists and
// songs, the look-ups by address, and master lists that are missing or broken.

#include "sandbox_run.h"
#include "search_index.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class SearchIndexTest : public testing::Test {
protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "search-index-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    mpl_ = dir_ + "/MPL";
  }
  void TearDown() override { system(("rm -rf " + shell_quote(dir_)).c_str()); }

  // Writes the master list and loads it.
  void load(const std::string &content) {
    write_file(mpl_, content);
    ASSERT_TRUE(load_search_index(mpl_.c_str(), index_));
  }

  // The titles of all hits of `query`, songs as "D L S title".
  std::vector<std::string> hits(const std::string &query, size_t *total = nullptr) {
    size_t all = 0;
    std::vector<std::string> found;
    for (const SearchEntry &e : search(index_, query, 0, 1000, &all))
      found.push_back(std::to_string(e.device) + " " + std::to_string(e.list) + " " +
                      std::to_string(e.song) + " " + e.title);
    EXPECT_EQ(all, found.size()) << query;
    if (total != nullptr)
      *total = all;
    return found;
  }

  std::string dir_;
  std::string mpl_;
  SearchIndex index_;
};

using Hits = std::vector<std::string>;

const char *const ACCENTS = "1 0 0 /mnt/music1\n"
                            "1 1 0 /mnt/music1/Lieder/\n"
                            "1 1 1 /mnt/music1/Lieder/01_-_\u00dcber_den_Wolken.mp3\n"
                            "1 1 2 /mnt/music1/Lieder/02 \u00c7a va.mp3\n"
                            "1 1 3 /mnt/music1/Lieder/03 Stra\u00dfe.mp3\n"
                            "1 1 4 /mnt/music1/Lieder/\u00c6on_&_Rock'n'Roll.MP3\n"
                            "1 1 5 /mnt/music1/Lieder/AC-DC (live).mp3\n"
                            "1 1 6 /mnt/music1/Lieder/caf\u00e9\u00d72.mp3\n";

} // namespace

TEST_F(SearchIndexTest, FoldsCaseAccentsAndPunctuation) {
  load(ACCENTS);
  EXPECT_EQ(hits("uber"), Hits{"1 1 1 \u00dcber den Wolken"});
  EXPECT_EQ(hits("\u00fcBER"),
            hits("uber")); // ü in the query, capitals
  EXPECT_EQ(hits("\u00dcber"), hits("uber"));
  EXPECT_EQ(hits("ueber"), Hits{}); // a base letter, not the German spelling
  EXPECT_EQ(hits("ca"), (Hits{"1 1 2 \u00c7a va", "1 1 6 Caf\u00e9\u00d72"}));
  EXPECT_EQ(hits("strasse"), Hits{"1 1 3 Stra\u00dfe"});
  EXPECT_EQ(hits("STRA\u00dfE"), hits("strasse"));
  EXPECT_EQ(hits("aeon"), Hits{"1 1 4 \u00c6on & Rock'n'Roll"});
  // Punctuation is a blank on both sides: it parts words but is never matched itself.
  EXPECT_EQ(hits("rock n roll"), hits("aeon"));
  EXPECT_EQ(hits("n'roll"), hits("aeon"));
  EXPECT_EQ(hits("&"), Hits{});
  EXPECT_EQ(hits("ac/dc"), Hits{"1 1 5 AC-DC (live)"});
  EXPECT_EQ(hits("(LIVE)"), hits("ac/dc"));
  EXPECT_EQ(hits("cafe 2"), Hits{"1 1 6 Caf\u00e9\u00d72"}); // the × parts the words
  EXPECT_EQ(hits("e2"), Hits{});
  // The catalogue's title: no track number, no ending, underscores as blanks.
  EXPECT_EQ(hits("01"), Hits{});
  EXPECT_EQ(hits("mp3"), Hits{});
  EXPECT_EQ(hits("den wolken"), hits("uber"));
  // Nothing to look for matches nothing.
  EXPECT_EQ(hits(""), Hits{});
  EXPECT_EQ(hits("  -- ,, "), Hits{});
}

TEST_F(SearchIndexTest, EveryWordMustOccurInAnyOrder) {
  load("1 0 0 /m\n"
       "1 1 0 /m/Mixed/\n"
       "1 1 1 /m/Mixed/Blue moon.mp3\n"
       "1 1 2 /m/Mixed/Moon river.mp3\n"
       "1 1 3 /m/Mixed/Blue river blues.mp3\n");
  EXPECT_EQ(hits("moon blue"), Hits{"1 1 1 Blue moon"});
  EXPECT_EQ(hits("RIVER   blue"), Hits{"1 1 3 Blue river blues"});
  EXPECT_EQ(hits("river"), (Hits{"1 1 2 Moon river", "1 1 3 Blue river blues"}));
  EXPECT_EQ(hits("blue moon river"), Hits{});
  EXPECT_EQ(hits("blues blue"), Hits{"1 1 3 Blue river blues"});        // a word inside another
  EXPECT_EQ(hits("oo"), (Hits{"1 1 1 Blue moon", "1 1 2 Moon river"})); // parts of words
}

TEST_F(SearchIndexTest, ListsAndSongsByTheirOwnTitlesInTheMasterListsOrder) {
  load("1 0 0 /mnt/music1\n"
       "1 1 0 /mnt/music1/Blue_Album/\n"
       "1 1 1 /mnt/music1/Blue_Album/Red song.mp3\n"
       "1 1 2 /mnt/music1/Blue_Album/blue song.mp3\n"
       "1 2 0 /mnt/music1/~secret/\n"
       "1 2 1 /mnt/music1/~secret/Blue hidden.mp3\n"
       "2 0 0 /mnt/music2\n"
       "2 1 0 /mnt/music2/Green/\n"
       "2 1 1 /mnt/music2/Green/Blue again.mp3\n");
  EXPECT_EQ(hits("blue"),
            (Hits{"1 1 0 Blue Album", "1 1 2 Blue song", "1 2 1 Blue hidden", "2 1 1 Blue again"}));
  // A song's list's title does not make it match.
  EXPECT_EQ(hits("album"), Hits{"1 1 0 Blue Album"});
  EXPECT_EQ(hits("music1"), Hits{});
  // A hidden list is kept with its mark, as the catalogue shows it.
  EXPECT_EQ(hits("secret"), Hits{"1 2 0 Secret (versteckt)"});
  EXPECT_EQ(hits("versteckt"), hits("secret"));

  std::vector<SearchEntry> found = search(index_, "blue", 0, 10, nullptr);
  ASSERT_EQ(found.size(), 4U);
  EXPECT_EQ(found[0].list_title, "Blue Album"); // a list's own title
  EXPECT_EQ(found[1].list_title, "Blue Album");
  EXPECT_EQ(found[2].list_title, "Secret (versteckt)");
  EXPECT_EQ(found[3].list_title, "Green");
  EXPECT_EQ(device_root(index_, 1), "/mnt/music1");
  EXPECT_EQ(device_root(index_, 2), "/mnt/music2");
  EXPECT_EQ(device_root(index_, 3), "");
  EXPECT_EQ(device_root(index_, 0), "");
}

TEST_F(SearchIndexTest, PagesThroughTheHits) {
  std::string mpl = "1 0 0 /m\n1 1 0 /m/Album/\n";
  for (int s = 1; s <= 120; ++s)
    mpl += "1 1 " + std::to_string(s) + " /m/Album/Song_" + std::to_string(1000 + s) + ".mp3\n";
  load(mpl);
  size_t total = 0;
  std::vector<SearchEntry> page = search(index_, "song", 0, 50, &total);
  EXPECT_EQ(total, 120U);
  ASSERT_EQ(page.size(), 50U);
  EXPECT_EQ(page.front().song, 1);
  EXPECT_EQ(page.back().song, 50);
  page = search(index_, "song", 100, 50, &total);
  EXPECT_EQ(total, 120U);
  ASSERT_EQ(page.size(), 20U);
  EXPECT_EQ(page.front().title, "Song 1101");
  EXPECT_EQ(page.back().song, 120);
  page = search(index_, "song", 120, 50, &total);
  EXPECT_TRUE(page.empty());
  EXPECT_EQ(total, 120U);
  page = search(index_, "song", 0, 0, &total);
  EXPECT_TRUE(page.empty());
  EXPECT_EQ(total, 120U);
  // Paging counts only what matches every word.
  page = search(index_, "song 11", 5, 3, &total);
  EXPECT_EQ(total, 22U); // 1011 and 1100 to 1120
  ASSERT_EQ(page.size(), 3U);
  EXPECT_EQ(page[0].title, "Song 1104");
}

// The index keeps no titles but the master list it read: a list replaced by a rescan
// still answers with the titles indexed until the index is loaded again; one rewritten in
// place under it gives no title rather than another entry's.
TEST_F(SearchIndexTest, TitlesComeFromTheListIndexedEvenAfterItWasReplaced) {
  load("1 0 0 /mnt/a\n1 1 0 /mnt/a/Blue/\n1 1 1 /mnt/a/Blue/01_night_train.mp3\n");
  std::string next = mpl_ + ".next";
  write_file(next, "1 0 0 /mnt/b\n1 1 0 /mnt/b/Red/\n1 1 1 /mnt/b/Red/01_day.mp3\n");
  ASSERT_EQ(rename(next.c_str(), mpl_.c_str()), 0);
  EXPECT_EQ(hits("night train"), (Hits{"1 1 1 Night train"}));
  SearchEntry entry;
  ASSERT_TRUE(find_entry(index_, 1, 1, 1, entry));
  EXPECT_EQ(entry.list_title, "Blue");

  load("1 0 0 /mnt/a\n1 1 0 /mnt/a/Blue/\n1 1 1 /mnt/a/Blue/01_night_train.mp3\n");
  write_file(mpl_, "1 0 0 /mnt/a\n1 1 0 /mnt/a/Blue/\n1 2 1 /mnt/a/Blue/01_night_train.mp3\n");
  ASSERT_TRUE(find_entry(index_, 1, 1, 1, entry));
  EXPECT_EQ(entry.title, "");
  EXPECT_EQ(entry.list_title, "Blue");
}

TEST_F(SearchIndexTest, FindsEntriesAndPathsByAddress) {
  load("1 0 0 /mnt/music1\n"
       "1 3 0 /mnt/music1/[03] Live_Set/\n"
       "1 3 7 /mnt/music1/[03] Live_Set/07_-_encore.mp3\n"
       "1 3 7 /mnt/music1/[03] Live_Set/again.mp3\n");
  SearchEntry entry;
  ASSERT_TRUE(find_entry(index_, 1, 3, 7, entry));
  EXPECT_EQ(entry.title, "Encore"); // the first line of an address
  EXPECT_EQ(entry.list_title, "Live Set");
  EXPECT_EQ(entry.device * 100 + entry.list * 10 + entry.song, 137);
  ASSERT_TRUE(find_entry(index_, 1, 3, 0, entry));
  EXPECT_EQ(entry.title, "Live Set");
  EXPECT_EQ(entry.song, 0);
  EXPECT_FALSE(find_entry(index_, 1, 0, 0, entry)); // a device is no entry
  EXPECT_FALSE(find_entry(index_, 1, 3, 8, entry));
  EXPECT_FALSE(find_entry(index_, 2, 3, 7, entry));

  EXPECT_EQ(song_path(mpl_.c_str(), 1, 3, 7), "/mnt/music1/[03] Live_Set/07_-_encore.mp3");
  EXPECT_EQ(song_path(mpl_.c_str(), 1, 3, 9), "");
  EXPECT_EQ(song_path((dir_ + "/none").c_str(), 1, 3, 7), "");
}

TEST_F(SearchIndexTest, SongsWithoutTheirListHaveNoListTitle) {
  load("1 1 1 /m/a/First.mp3\n"
       "1 2 0 /m/b/\n"
       "1 3 1 /m/c/Second.mp3\n");
  SearchEntry entry;
  ASSERT_TRUE(find_entry(index_, 1, 1, 1, entry));
  EXPECT_EQ(entry.list_title, "");
  ASSERT_TRUE(find_entry(index_, 1, 3, 1, entry));
  EXPECT_EQ(entry.list_title, "");
  EXPECT_EQ(hits("first"), Hits{"1 1 1 First"});
}

TEST_F(SearchIndexTest, MissingOrBrokenMasterLists) {
  load("1 0 0 /m\n1 1 0 /m/Old/\n1 1 1 /m/Old/Old song.mp3\n");
  EXPECT_EQ(hits("old").size(), 2U);

  // A master list that is not there empties the index.
  EXPECT_FALSE(load_search_index((dir_ + "/none").c_str(), index_));
  EXPECT_TRUE(index_.records.empty());
  EXPECT_TRUE(index_.text.empty());
  EXPECT_EQ(hits("old"), Hits{});
  SearchEntry entry;
  EXPECT_FALSE(find_entry(index_, 1, 1, 1, entry));

  // So does one that cannot be read as a file.
  EXPECT_FALSE(load_search_index(dir_.c_str(), index_));
  EXPECT_TRUE(index_.records.empty());

  // As every tool reads it, the list ends at the first line that is not a whole entry.
  load("1 0 0 /m\n1 1 0 /m/New/\n1 1 1 /m/New/New song.mp3\nbroken line\n1 1 2 /m/New/Newer.mp3\n");
  EXPECT_EQ(hits("new"), (Hits{"1 1 0 New", "1 1 1 New song"}));
  EXPECT_EQ(hits("old"), Hits{}); // nothing of the list before is left
  load("");
  EXPECT_TRUE(index_.records.empty());
  EXPECT_EQ(hits("new"), Hits{});
  // An over-long line keeps its first 255 characters, as the reader gives them to every
  // tool; the title is made of what is left.
  load("1 1 0 /m/" + std::string(300, 'x') + "/\n1 1 1 /m/" + std::string(300, 'y') +
       "_tail.mp3\n");
  EXPECT_EQ(hits("tail"), Hits{});
  std::vector<SearchEntry> found = search(index_, "yyy", 0, 10, nullptr);
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].title, "Y" + std::string(251, 'y'));
  EXPECT_EQ(found[0].list_title, "X" + std::string(251, 'x'));
}

// The master list of a real folder tree, as scantree makes it in a private sandbox.
TEST(SearchIndexScan, IndexesWhatScantreeWrites) {
  Sandbox sandbox;
  // Named with UTF-8 accents, a track number, a second ending and a hidden list.
  RunResult run =
      sandbox.run("set -e\n"
                  "a='/mnt/d/01_-_Caf\u00e9_Noir'\n"
                  "mkdir -p \"$a\" /mnt/d/~Private /mnt/d/Empty\n"
                  "touch \"$a/01_-_Fr\u00e8re_Jacques.mp3\" \"$a/02. Noir_et_blanc.MP3\" "
                  "\"$a/cover.jpg\" /mnt/d/~Private/secret_song.mp3\n"
                  "scantree /mnt/d 1 >/dev/null\n");
  ASSERT_EQ(run.status, 0) << run.err;
  SearchIndex index;
  ASSERT_TRUE(load_search_index(sandbox.path("/tmp/MPL").c_str(), index));
  EXPECT_EQ(device_root(index, 1), "/mnt/d");

  size_t total = 0;
  std::vector<SearchEntry> found = search(index, "NOIR", 0, 50, &total);
  ASSERT_EQ(total, 2U);
  EXPECT_EQ(found[0].title, "Caf\u00e9 Noir");
  EXPECT_EQ(found[0].song, 0);
  EXPECT_EQ(found[1].title, "Noir et blanc");
  EXPECT_EQ(found[1].list_title, "Caf\u00e9 Noir");

  found = search(index, "frere", 0, 50, &total);
  ASSERT_EQ(total, 1U);
  EXPECT_EQ(found[0].title, "Fr\u00e8re Jacques");
  EXPECT_EQ(
      song_path(sandbox.path("/tmp/MPL").c_str(), found[0].device, found[0].list, found[0].song),
      "/mnt/d/01_-_Caf\u00e9_Noir/01_-_Fr\u00e8re_Jacques.mp3");

  found = search(index, "secret", 0, 50, &total);
  ASSERT_EQ(total, 1U);
  EXPECT_EQ(found[0].title, "Secret song");
  EXPECT_EQ(found[0].list_title, "Private (versteckt)");
  EXPECT_EQ(search(index, "cover", 0, 50, &total).size(), 0U);
  EXPECT_EQ(search(index, "empty", 0, 50, &total).size(), 0U); // no songs: no list
}
