#pragma once

// The collection of the web remote's benchmarks: a master list of 99,999 songs in 1,000
// lists with names as collections have them (words, numbers, accents), the same on every
// run, and a naive search over it, the reference of the search index.

#include "plfile.h"
#include "search_index.h"
#include "titleform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

[[noreturn]] inline void bench_collection_fail(const std::string &what) {
  fprintf(stderr, "%s\n", what.c_str());
  exit(2);
}

inline constexpr int LISTS = 1000;
inline constexpr int SONGS = 99999;
inline constexpr int DEVICES = 2;

// A small fixed generator, so every run indexes the same collection.
struct Random {
  unsigned long long state = 0x9E3779B97F4A7C15ULL;
  unsigned next(unsigned bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>((state >> 33) % bound);
  }
};

inline const char *const WORDS[] = {
    "Liebe",         "Nacht",        "\u00dcber",     "Stra\u00dfe", "Caf\u00e9",
    "Se\u00f1or",    "Gar\u00e7on",  "Blau",          "Sommer",      "Winter",
    "Herz",          "M\u00e4dchen", "Fenster",       "Regen",       "Sonne",
    "Mond",          "Stern",        "Zeit",          "Traum",       "Lied",
    "Tanz",          "K\u00f6nigin", "Fr\u00fchling", "\u00c9lan",   "No\u00ebl",
    "Coraz\u00f3n",  "Canci\u00f3n", "Noche",         "D\u00eda",    "Amour",
    "\u00c9t\u00e9", "R\u00eave",    "Soleil",        "F\u00eate",   "Love",
    "Night",         "Heart",        "Blue",          "River",       "Road",
    "Home",          "Dream",        "Fire",          "Rain",        "Summer",
    "Dancing",       "Forever",      "Midnight",      "Crazy",       "Little",
    "Baby",          "World",        "Time",          "Light",       "Dark",
    "Shadow",        "Angel",        "Paradise",      "Highway",     "City",
    "Street",        "Train",        "Radio",         "Money",       "Gold",
    "Silver",        "Ocean",        "Wild",          "Sweet",       "Cold",
    "Golden",        "Morning",      "Lonely",        "Yesterday",   "Tomorrow",
    "Kiss",          "Girl",         "Boy",           "Moon",        "Star",
    "Sky",           "Wind",         "Stone",         "Rock",        "Roll",
    "Soul",          "Funk",         "Jazz",          "Blues",       "Song",
    "Ballad",        "Waltz",        "Tango",         "Samba",       "Bossa",
    "Nova",          "Paris",        "Berlin",        "Wien",        "Z\u00fcrich"};
inline constexpr unsigned WORD_COUNT = sizeof WORDS / sizeof WORDS[0];

inline std::string words(Random &random, int count, char blank) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0)
      text += blank;
    text += WORDS[random.next(WORD_COUNT)];
  }
  return text;
}

// A list folder: "Artist_-_Album", "[07] Album" or "Artist - Album (1987)".
inline std::string list_name(Random &random, int list) {
  char number[32];
  switch (random.next(3)) {
  case 0:
    return words(random, 2, '_') + "_-_" + words(random, 1 + static_cast<int>(random.next(3)), '_');
  case 1:
    snprintf(number, sizeof number, "[%02d] ", list % 100);
    return number + words(random, 2, ' ');
  default:
    snprintf(number, sizeof number, " (%d)", 1960 + list % 60);
    return words(random, 1, ' ') + " - " + words(random, 2, ' ') + number;
  }
}

// A song file: "07_-_Some_Words.mp3", "07. Some words (Live).MP3", "Words Part 2.mp3".
inline std::string song_name(Random &random, int song) {
  char number[32];
  std::string name;
  switch (random.next(3)) {
  case 0:
    snprintf(number, sizeof number, "%02d_-_", song);
    name = number + words(random, 2 + static_cast<int>(random.next(3)), '_') + ".mp3";
    break;
  case 1:
    snprintf(number, sizeof number, "%02d. ", song);
    name = number + words(random, 1 + static_cast<int>(random.next(3)), ' ') +
           (random.next(4) == 0 ? " (Live)" : "") + ".MP3";
    break;
  default:
    snprintf(number, sizeof number, " Part %u", 1 + random.next(4));
    name = words(random, 2, ' ') + number + ".mp3";
    break;
  }
  return name;
}

// The master list as scantree writes it: two devices of 500 lists, 100 songs a list (the
// last one 99).
inline void write_mpl(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "w");
  if (fp == nullptr)
    bench_collection_fail("cannot write " + path);
  Random random;
  int written = 0;
  for (int device = 1; device <= DEVICES; ++device) {
    std::string root = "/media/usb" + std::to_string(device - 1);
    fprintf(fp, "%d 0 0 %s\n", device, root.c_str());
    for (int list = 1; list <= LISTS / DEVICES; ++list) {
      std::string dir = root + "/" + list_name(random, list);
      fprintf(fp, "%d %d 0 %s/\n", device, list, dir.c_str());
      for (int song = 1; song <= 100 && written < SONGS; ++song, ++written)
        fprintf(fp, "%d %d %d %s/%s\n", device, list, song, dir.c_str(),
                song_name(random, song).c_str());
    }
  }
  if (fclose(fp) != 0)
    bench_collection_fail("cannot write " + path);
}

// A collection of the same size that one word matches whole: lists "Tracks 0001", songs
// "Track 00001" (scantree's order again), the worst case of a search.
inline void write_uniform_mpl(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "w");
  if (fp == nullptr)
    bench_collection_fail("cannot write " + path);
  fprintf(fp, "1 0 0 /media/usb0\n");
  int written = 0;
  for (int list = 1; list <= LISTS; ++list) {
    fprintf(fp, "1 %d 0 /media/usb0/Tracks_%04d/\n", list, list);
    for (int song = 1; song <= 100 && written < SONGS; ++song, ++written)
      fprintf(fp, "1 %d %d /media/usb0/Tracks_%04d/Track_%05d.mp3\n", list, song, list,
              written + 1);
  }
  if (fclose(fp) != 0)
    bench_collection_fail("cannot write " + path);
}

// The reference matcher: each title folded anew, one character at a time, for every query.
inline std::string naive_fold(const std::string &text) {
  static const char *const latin1 =
      "aaaaaaAceeeeiiiidnooooo ouuuuyTSaaaaaaAceeeeiiiidnooooo ouuuuyTy";
  std::string out = " ";
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
    if (isalnum(c) != 0 && c < 0x80) {
      out += static_cast<char>(tolower(c));
    } else if (c < 0x80) {
      out += ' ';
    } else if ((c == 0xC2 || c == 0xC3) && (next & 0xC0) == 0x80) {
      char base = c == 0xC2 ? ' ' : latin1[next - 0x80];
      out += base == 'A' ? "ae" : base == 'T' ? "th" : base == 'S' ? "ss" : std::string(1, base);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + " ";
}

inline std::vector<std::string> naive_words(const std::string &query) {
  std::vector<std::string> result;
  std::string folded = naive_fold(query), word;
  for (char c : folded) {
    if (c != ' ') {
      word += c;
    } else if (!word.empty()) {
      result.push_back(word);
      word.clear();
    }
  }
  return result;
}

// The naive scan's collection: every list and song with its title as a plain string.
struct NaiveIndex {
  std::vector<SearchEntry> entries;
};

inline bool naive_load(const char *path, NaiveIndex &naive) {
  naive.entries.clear();
  FILE *mpl = pl_open_read(path);
  if (mpl == nullptr)
    return false;
  MplEntry line;
  while (mpl_read_entry(mpl, &line)) {
    if (line.list == 0)
      continue;
    char work[TITLE_BUFFER_SIZE];
    char title[TITLE_BUFFER_SIZE];
    title_work_copy(work, line.text);
    titleform(work, title);
    SearchEntry entry;
    entry.device = line.device;
    entry.list = line.list;
    entry.song = line.song;
    entry.title = title;
    naive.entries.push_back(entry);
  }
  fclose(mpl);
  return true;
}

inline std::vector<SearchEntry> naive_search(const NaiveIndex &index, const std::string &query,
                                             size_t count, size_t *total) {
  std::vector<std::string> wanted = naive_words(query);
  std::vector<SearchEntry> hits;
  *total = 0;
  if (wanted.empty())
    return hits;
  for (const SearchEntry &entry : index.entries) {
    std::string folded = naive_fold(entry.title);
    bool all = true;
    for (const std::string &word : wanted)
      all = all && folded.find(word) != std::string::npos;
    if (!all)
      continue;
    if (hits.size() < count)
      hits.push_back(entry);
    ++*total;
  }
  return hits;
}
