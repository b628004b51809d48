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

#include "bench_collection.h"
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
void time_query(const SearchIndex &index, const NaiveIndex &naive_index, const Query &query,
                int runs, std::vector<double> &all_ours) {
  std::vector<double> ours, reference;
  size_t total = 0, naive_total = 0;
  bool same = true;
  for (int i = 0; i < runs; ++i) {
    double start = now_seconds();
    std::vector<SearchEntry> hits = search(index, query.text, 0, 50, &total);
    ours.push_back(now_seconds() - start);
    start = now_seconds();
    std::vector<SearchEntry> naive = naive_search(naive_index, query.text, 50, &naive_total);
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
  write_mpl(MPL);
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
  NaiveIndex naive;
  if (!naive_load(MPL.c_str(), naive))
    fail("cannot load " + MPL);
  for (const Query &query : queries)
    time_query(*index, naive, query, runs, all_ours);
  delete index;

  // The worst case: every entry matches, the answer takes 50 of them.
  std::string uniform = std::string(WORK_DIR) + "/MPL.uniform";
  write_uniform_mpl(uniform);
  index = new SearchIndex;
  if (!load_search_index(uniform.c_str(), *index))
    fail("cannot load " + uniform);
  if (!naive_load(uniform.c_str(), naive))
    fail("cannot load " + uniform);
  time_query(*index, naive, {"a word that matches every entry", "track"}, runs, all_ours);
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
