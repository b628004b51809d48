// search_bench: the web remote's search index on a master list of 99,999 songs in 1,000
// lists with names as collections have them (words, numbers, accents), and each figure
// beside a reference measured in the same run:
//
//   - the index's load time, against the master list's plain read with mpl_read_entry;
//   - its resident memory (the growth of VmRSS over the load) and its exact size;
//   - the time of one answer (50 hits at most) for typical queries, against a naive scan
//     that folds every title anew for each query; both must give the same answers.
//
// The master list lies in a folder of its own under /tmp, so the bench runs only inside
// the project's sandbox launcher (bench/run.sh starts it so).
//
//   search_bench [--runs N]

#include "bench_util.h"
#include "plfile.h"
#include "search_index.h"

#include <malloc.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "search_bench: %s\n", what.c_str());
  exit(2);
}

const char *const WORK_DIR = "/tmp/search-bench";
const std::string MPL = std::string(WORK_DIR) + "/MPL";
constexpr int LISTS = 1000;
constexpr int SONGS = 99999;
constexpr int DEVICES = 2;

// A small fixed generator, so every run indexes the same collection.
struct Random {
  unsigned long long state = 0x9E3779B97F4A7C15ULL;
  unsigned next(unsigned bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>((state >> 33) % bound);
  }
};

const char *const WORDS[] = {
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
constexpr unsigned WORD_COUNT = sizeof WORDS / sizeof WORDS[0];

std::string words(Random &random, int count, char blank) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0)
      text += blank;
    text += WORDS[random.next(WORD_COUNT)];
  }
  return text;
}

// A list folder: "Artist_-_Album", "[07] Album" or "Artist - Album (1987)".
std::string list_name(Random &random, int list) {
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
std::string song_name(Random &random, int song) {
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
void write_mpl() {
  FILE *fp = fopen(MPL.c_str(), "w");
  if (fp == nullptr)
    fail("cannot write " + MPL);
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
    fail("cannot write " + MPL);
}

// A collection of the same size that one word matches whole: lists "Tracks 0001", songs
// "Track 00001" (scantree's order again), the worst case of a search.
void write_uniform_mpl(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "w");
  if (fp == nullptr)
    fail("cannot write " + path);
  fprintf(fp, "1 0 0 /media/usb0\n");
  int written = 0;
  for (int list = 1; list <= LISTS; ++list) {
    fprintf(fp, "1 %d 0 /media/usb0/Tracks_%04d/\n", list, list);
    for (int song = 1; song <= 100 && written < SONGS; ++song, ++written)
      fprintf(fp, "1 %d %d /media/usb0/Tracks_%04d/Track_%05d.mp3\n", list, song, list,
              written + 1);
  }
  if (fclose(fp) != 0)
    fail("cannot write " + path);
}

// The reference matcher: each title folded anew, one character at a time, for every query.
std::string naive_fold(const std::string &text) {
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

std::vector<std::string> naive_words(const std::string &query) {
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

std::vector<SearchEntry> naive_search(const SearchIndex &index, const std::string &query,
                                      size_t count, size_t *total) {
  std::vector<std::string> wanted = naive_words(query);
  std::vector<SearchEntry> hits;
  *total = 0;
  if (wanted.empty())
    return hits;
  for (const SearchIndex::Record &record : index.records) {
    std::string folded = naive_fold(index.text.c_str() + record.title);
    bool all = true;
    for (const std::string &word : wanted)
      all = all && folded.find(word) != std::string::npos;
    if (!all)
      continue;
    if (hits.size() < count) {
      SearchEntry entry;
      entry.device = record.device;
      entry.list = record.list;
      entry.song = record.song;
      entry.title = index.text.c_str() + record.title;
      hits.push_back(entry);
    }
    ++*total;
  }
  return hits;
}

bool same_hits(const std::vector<SearchEntry> &a, const std::vector<SearchEntry> &b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].device != b[i].device || a[i].list != b[i].list || a[i].song != b[i].song ||
        a[i].title != b[i].title)
      return false;
  }
  return true;
}

long rss_kib() {
  malloc_trim(0);
  return status_kib(getpid(), "VmRSS");
}

struct Query {
  const char *what;
  std::string text;
};

// Times `runs` answers of 50 hits at most to `query`, ours and the naive scan's in turns,
// and adds the median and the worst; our times go to `all_ours` too.
void time_query(const SearchIndex &index, const Query &query, int runs,
                std::vector<double> &all_ours) {
  std::vector<double> ours, reference;
  size_t total = 0, naive_total = 0;
  bool same = true;
  for (int i = 0; i < runs; ++i) {
    double start = now_seconds();
    std::vector<SearchEntry> hits = search(index, query.text, 0, 50, &total);
    ours.push_back(now_seconds() - start);
    start = now_seconds();
    std::vector<SearchEntry> naive = naive_search(index, query.text, 50, &naive_total);
    reference.push_back(now_seconds() - start);
    same = same && total == naive_total && same_hits(hits, naive);
  }
  all_ours.insert(all_ours.end(), ours.begin(), ours.end());
  double worst = *std::max_element(ours.begin(), ours.end());
  double median_ours = median(ours), median_ref = median(reference);
  std::string figure = std::string(query.what) + " \"" + query.text + "\" (" +
                       with_commas(static_cast<long>(total)) + " hits)";
  add_row({figure + " median", format_time(median_ours), "naive " + format_time(median_ref),
           "ref/ours " + format_ratio(median_ref / median_ours), "< 100 ms",
           !same               ? "MISMATCH"
           : median_ours < 0.1 ? "PASS"
                               : "FAIL"});
  add_row({figure + " worst", format_time(worst),
           "naive " + format_time(*std::max_element(reference.begin(), reference.end())), "-",
           "< 100 ms",
           !same         ? "MISMATCH"
           : worst < 0.1 ? "PASS"
                         : "FAIL"});
}

} // namespace

int main(int argc, char **argv) {
  int runs = 21;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0) {
      runs = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: search_bench [--runs N]\n");
      return 2;
    }
  }
  if (!inside_sandbox())
    fail("runs only inside the sandbox launcher (bench/run.sh search)");
  if (mkdir(WORK_DIR, 0755) != 0)
    fail(std::string("cannot make ") + WORK_DIR + " (it must not exist before)");
  write_mpl();
  printf("search_bench: %s songs in %d lists, %d runs each, load average %s\n",
         with_commas(SONGS).c_str(), LISTS, runs, load_average().c_str());

  // The memory first, while the process holds little else.
  long before = rss_kib();
  auto *index = new SearchIndex;
  double start = now_seconds();
  if (!load_search_index(MPL.c_str(), *index))
    fail("cannot load " + MPL);
  double first_load = now_seconds() - start;
  long after = rss_kib();
  size_t bytes = index->text.capacity() + index->records.capacity() * sizeof(SearchIndex::Record);
  bytes += index->device_roots.capacity() * sizeof(std::string);
  for (const std::string &root : index->device_roots)
    bytes += root.size() + 1;
  long rss = after - before;
  add_row({"index resident (VmRSS growth)", format_kib(rss), "-", "-", "< 8.0 MiB",
           rss < 8L * 1024 ? "PASS" : "FAIL"});
  add_row({"index exact size", format_kib(static_cast<long>(bytes / 1024)), "-", "-", "-", "-"});
  add_note("records: %zu (%zu bytes each), text: %zu bytes\n", index->records.size(),
           sizeof(SearchIndex::Record), index->text.size());

  // Load time against the plain read of the same file.
  std::vector<double> loads{first_load}, reads;
  for (int i = 0; i < 5; ++i) {
    start = now_seconds();
    FILE *fp = pl_open_read(MPL.c_str());
    MplEntry entry;
    long lines = 0;
    while (mpl_read_entry(fp, &entry))
      ++lines;
    fclose(fp);
    reads.push_back(now_seconds() - start);
    if (lines != SONGS + LISTS + DEVICES)
      fail("the master list has " + std::to_string(lines) + " lines");
    SearchIndex again;
    start = now_seconds();
    load_search_index(MPL.c_str(), again);
    loads.push_back(now_seconds() - start);
  }
  add_row({"load (median of 6)", format_time(median(loads)), "read " + format_time(median(reads)),
           "ours/ref " + format_ratio(median(loads) / median(reads)), "-", "-"});

  const std::vector<Query> queries = {
      {"one short word", "liebe"},
      {"an accented word", "\u00fcber"},
      {"two words", "blue nacht"},
      {"a word and a number", "part 3"},
      {"a word that matches nothing", "xylophonz"},
      {"one letter", "e"},
  };
  std::vector<double> all_ours;
  for (const Query &query : queries)
    time_query(*index, query, runs, all_ours);
  delete index;

  // The worst case: every entry matches, the answer takes 50 of them.
  std::string uniform = std::string(WORK_DIR) + "/MPL.uniform";
  write_uniform_mpl(uniform);
  index = new SearchIndex;
  if (!load_search_index(uniform.c_str(), *index))
    fail("cannot load " + uniform);
  time_query(*index, {"a word that matches every entry", "track"}, runs, all_ours);
  delete index;

  add_row({"all queries median", format_time(median(all_ours)), "-", "-", "< 100 ms",
           median(all_ours) < 0.1 ? "PASS" : "FAIL"});
  add_row({"all queries worst", format_time(*std::max_element(all_ours.begin(), all_ours.end())),
           "-", "-", "< 100 ms",
           *std::max_element(all_ours.begin(), all_ours.end()) < 0.1 ? "PASS" : "FAIL"});

  print_table();
  printf("\n%s", notes.c_str());
  printf("%s\n", all_met ? "all targets met" : "some targets missed");
  return all_met ? 0 : 1;
}
