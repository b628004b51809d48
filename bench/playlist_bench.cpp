// playlist_bench: times the play list tools on collections of about 100,000 songs and
// prints each figure beside a reference measured in the same run:
//
//   - orderbuild's shuffle against the quadratic placement walk (in process, and the
//     whole program against the walk), with shuf for comparison;
//   - scantree against find on the same tree, and scantree's peak memory on trees whose
//     largest list directory differs;
//   - orderquery and entryquery against grep finding the same line;
//   - htmlcatalog's page of 100,000 songs against one sed pass over the same master list.
//
// Every program is timed from just before fork to just after waitpid on CLOCK_MONOTONIC;
// each figure is the median of several runs, taken in turns with its reference after one
// warm-up run of each. The tools use fixed paths under /tmp and the trees are large, so
// the bench runs only inside the project's sandbox launcher (bench/run.sh starts it so).
//
//   playlist_bench [--runs N] [--walk-runs N] [order|scan|queries|catalog]...
//
// Without section names every section runs.

#include "order.h"
#include "paths.h"
#include "placement_walk.h"

#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------
// Small helpers

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "playlist_bench: %s\n", what.c_str());
  exit(2);
}

std::string read_or_fail(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "r");
  if (fp == nullptr)
    fail("cannot read " + path);
  std::string text;
  char buffer[1 << 16];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, fp)) > 0)
    text.append(buffer, got);
  fclose(fp);
  return text;
}

long count_lines(const std::string &path) {
  std::string text = read_or_fail(path);
  return std::count(text.begin(), text.end(), '\n');
}

long count_of(const std::string &text, const std::string &what) {
  long count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

// The absolute path of a program found on PATH, so every run execs it directly.
std::string find_program(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string::npos)
      fail(std::string("cannot find ") + name + " on PATH");
    start = colon + 1;
  }
}

// ---------------------------------------------------------------------------------------
// Child processes

// Everything the bench makes besides the tools' own files lies in here; it must not exist
// before, so a checkout kept under /tmp can never be mistaken for a generated tree.
const char *const WORK_DIR = "/tmp/playlist-bench";
const std::string OUT_PATH = std::string(WORK_DIR) + "/stdout";
const std::string ERR_PATH = std::string(WORK_DIR) + "/stderr";

struct ChildResult {
  double seconds = 0;
  int status = -1; // exit status, 128 + signal when killed
};

// Runs `argv` (argv[0] an absolute path) with no input and its standard output and error
// in files, and waits for it.
ChildResult run_child(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  ChildResult result;
  double start = now_seconds();
  pid_t pid = fork();
  if (pid < 0)
    fail("cannot fork");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(OUT_PATH.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(ERR_PATH.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0)
      _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
    execv(args[0], args.data());
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      fail("cannot wait");
  }
  result.seconds = now_seconds() - start;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// Peak memory is taken through a fresh copy of this program: a forked child starts out
// holding the pages of its parent and keeps that figure through exec, so the program
// under measure must be forked from a small process.
const std::string RSS_PATH = std::string(WORK_DIR) + "/peak-rss";

// The --peak-rss mode: runs the command and writes its ru_maxrss in KiB to `result_path`;
// exits with the command's status.
int report_peak_rss(const char *result_path, char **command) {
  pid_t pid = fork();
  if (pid < 0)
    return 126;
  if (pid == 0) {
    execv(command[0], command);
    _exit(127);
  }
  int status;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR)
      return 126;
  }
  FILE *fp = fopen(result_path, "w");
  if (fp == nullptr || fprintf(fp, "%ld\n", usage.ru_maxrss) < 0 || fclose(fp) != 0)
    return 126;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string join(const std::vector<std::string> &argv) {
  std::string text;
  for (const std::string &arg : argv)
    text += (text.empty() ? "" : " ") + arg;
  return text;
}

// Runs a child that must end with `expected` status.
ChildResult run_checked(const std::vector<std::string> &argv, int expected = 0) {
  ChildResult result = run_child(argv);
  if (result.status != expected)
    fail(join(argv) + " ended with status " + std::to_string(result.status) + " (expected " +
         std::to_string(expected) + "):\n" + read_or_fail(ERR_PATH));
  return result;
}

// The peak RSS in KiB of `argv`, which must end with status 0.
long peak_rss(const std::vector<std::string> &argv) {
  std::vector<std::string> wrapped{fs::read_symlink("/proc/self/exe").string(), "--peak-rss",
                                   RSS_PATH};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  run_checked(wrapped);
  return atol(read_or_fail(RSS_PATH).c_str());
}

struct Paired {
  double ours;
  double reference;
};

// One warm-up run of each, then `runs` runs of each in turns; the medians.
Paired time_pair(int runs, const std::function<double()> &ours,
                 const std::function<double()> &reference) {
  ours();
  reference();
  std::vector<double> ours_times, reference_times;
  for (int i = 0; i < runs; ++i) {
    ours_times.push_back(ours());
    reference_times.push_back(reference());
  }
  return {median(ours_times), median(reference_times)};
}

// ---------------------------------------------------------------------------------------
// Inputs

struct Shape {
  int lists;
  int songs; // per list
};

const char *const DEVICE_ROOT = "/media/usb0";

std::string list_name(int list) {
  char name[32];
  snprintf(name, sizeof name, "Album %04d", list);
  return name;
}

std::string song_name(int song) {
  char name[32];
  snprintf(name, sizeof name, "Track %05d.mp3", song);
  return name;
}

// A master list of device 1 as scantree writes it: lists of `shape.songs` songs each,
// stopping after `total` songs.
void write_mpl(const char *path, Shape shape, long total) {
  FILE *fp = fopen(path, "w");
  if (fp == nullptr)
    fail(std::string("cannot write ") + path);
  fprintf(fp, "1 0 0 %s\n", DEVICE_ROOT);
  long written = 0;
  for (int list = 1; list <= shape.lists && written < total; ++list) {
    std::string name = list_name(list);
    fprintf(fp, "1 %d 0 %s\n", list, name.c_str());
    for (int song = 1; song <= shape.songs && written < total; ++song, ++written)
      fprintf(fp, "1 %d %d %s/%s/%s\n", list, song, DEVICE_ROOT, name.c_str(),
              song_name(song).c_str());
  }
  if (fclose(fp) != 0)
    fail(std::string("cannot write ") + path);
}

// An order list in sequential order of the same collection.
void write_opl(const char *path, Shape shape) {
  FILE *fp = fopen(path, "w");
  if (fp == nullptr)
    fail(std::string("cannot write ") + path);
  int order = 0;
  for (int list = 1; list <= shape.lists; ++list) {
    for (int song = 1; song <= shape.songs; ++song)
      fprintf(fp, "%i %i %i %i\n", ++order, 1, list, song);
  }
  if (fclose(fp) != 0)
    fail(std::string("cannot write ") + path);
}

// A device tree: `shape.lists` list directories of `shape.songs` empty songs and one
// cover picture each.
void make_tree(const std::string &root, Shape shape) {
  fs::create_directories(root);
  for (int list = 1; list <= shape.lists; ++list) {
    std::string dir = root + "/" + list_name(list);
    if (mkdir(dir.c_str(), 0755) != 0)
      fail("cannot make " + dir);
    for (int song = 0; song <= shape.songs; ++song) {
      std::string file = dir + "/" + (song == 0 ? std::string("cover.jpg") : song_name(song));
      int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0)
        fail("cannot make " + file);
      close(fd);
    }
  }
}

// ---------------------------------------------------------------------------------------

// ---------------------------------------------------------------------------------------
// The figures

const char *const SECTIONS[] = {"order", "scan", "queries", "catalog"};

// A "reference time / our time" figure with a floor.
void add_speedup(const std::string &figure, double ours, const std::string &reference_name,
                 double reference, double at_least) {
  double ratio = reference / ours;
  char target[32];
  snprintf(target, sizeof target, "ref/ours >= %g", at_least);
  add_row({figure, format_time(ours), reference_name + " " + format_time(reference),
           "ref/ours " + format_ratio(ratio), target, ratio >= at_least ? "PASS" : "FAIL"});
}

// An "our time / reference time" figure with a ceiling.
void add_slowdown(const std::string &figure, double ours, const std::string &reference_name,
                  double reference, double at_most) {
  double ratio = ours / reference;
  char target[32];
  snprintf(target, sizeof target, "ours/ref <= %g", at_most);
  add_row({figure, format_time(ours), reference_name + " " + format_time(reference),
           "ours/ref " + format_ratio(ratio), target, ratio <= at_most ? "PASS" : "FAIL"});
}

struct Settings {
  int runs = 9;      // timed runs of each program, after one warm-up
  int walk_runs = 2; // runs of the placement walk; its best run is the reference
  Sections sections;
};

struct Tools {
  std::string scantree, orderbuild, orderquery, entryquery, htmlcatalog;
  std::string find, grep, shuf, sed, truth;
};

const Shape ORDER_SHAPE{1000, 100};
const int ORDER_SONGS = 1000 * 100 - 1; // the order list's capacity

// Any fixed reading; odd, so the seeds m * (q + 1) run through all 16-bit values.
int frozen_clock() {
  return 337;
}

// orderbuild -a: the shuffle in process against the placement walk on the same input and
// clock, the whole program against the walk, and shuf on the same number of lines.
void bench_order(const Settings &settings, const Tools &tools) {
  std::vector<SongAddress> entries;
  for (int list = 1; list <= ORDER_SHAPE.lists; ++list) {
    for (int song = 1; song <= ORDER_SHAPE.songs; ++song)
      entries.push_back({1, list, song});
  }
  entries.resize(ORDER_SONGS);
  std::vector<SongAddress> ours(entries.size()), walked(entries.size()), read_back(ORDER_SONGS);
  write_mpl(MPL_PATH, ORDER_SHAPE, ORDER_SONGS);
  std::string shuf_in = std::string(WORK_DIR) + "/shuf.in";

  // One round times each of our figures once; round 0 only warms up.
  std::vector<double> fills, draws, reads, builds, shufs;
  auto round = [&](bool keep) {
    double start = now_seconds();
    fill_order(entries.data(), ORDER_SONGS, OrderMode::all, ours.data(), frozen_clock);
    double fill = now_seconds() - start;

    // Where the time goes: the draws alone, each after its own re-seeding, and the
    // master list read as orderbuild reads it.
    start = now_seconds();
    unsigned sum = 0;
    for (int q = 0; q < ORDER_SONGS; ++q)
      sum += static_cast<unsigned>(placement_draw(placement_seed(frozen_clock(), q)));
    double draw = now_seconds() - start;
    if (sum == 1) // keeps the loop from being optimised away
      fputs(" ", stderr);

    FILE *mpl = fopen(MPL_PATH, "r");
    if (mpl == nullptr)
      fail(std::string("cannot read ") + MPL_PATH);
    start = now_seconds();
    int count = read_song_entries(mpl, read_back.data(), ORDER_MAX_ENTRIES);
    double read = now_seconds() - start;
    fclose(mpl);
    if (count != ORDER_SONGS)
      fail("read_song_entries read " + std::to_string(count) + " entries");

    double build = run_checked({tools.orderbuild, "-a"}).seconds;
    if (!fs::exists(shuf_in)) // the lines of a first order list
      fs::copy_file(OPL_PATH, shuf_in);
    double shuf = run_checked({tools.shuf, shuf_in}).seconds;
    if (keep) {
      fills.push_back(fill);
      draws.push_back(draw);
      reads.push_back(read);
      builds.push_back(build);
      shufs.push_back(shuf);
    }
  };

  // The walk runs between the rounds, so a change in the machine's load in the meantime
  // reaches both sides.
  fprintf(stderr, "order: %d rounds, placement walk on %s entries %d time(s) in between...\n",
          settings.runs, with_commas(ORDER_SONGS).c_str(), settings.walk_runs);
  round(false);
  double walk = 0;
  int walks_done = 0;
  for (int i = 0; i < settings.runs; ++i) {
    round(true);
    while (walks_done < settings.walk_runs &&
           (i + 1) * (settings.walk_runs + 1) >= (walks_done + 1) * settings.runs) {
      double start = now_seconds();
      placement_walk(entries.data(), ORDER_SONGS, OrderMode::all, walked.data(), frozen_clock);
      double took = now_seconds() - start;
      walk = walks_done++ == 0 ? took : std::min(walk, took);
    }
  }

  bool same = std::equal(ours.begin(), ours.end(), walked.begin(),
                         [](const SongAddress &a, const SongAddress &b) {
                           return a.device == b.device && a.list == b.list && a.song == b.song;
                         });
  long opl_lines = count_lines(OPL_PATH);
  long shuf_lines = count_lines(OUT_PATH);
  if (opl_lines != ORDER_SONGS || shuf_lines != ORDER_SONGS)
    fail("orderbuild wrote " + std::to_string(opl_lines) + " lines, shuf " +
         std::to_string(shuf_lines));

  std::string songs = with_commas(ORDER_SONGS);
  double build = median(builds), shuf = median(shufs);
  add_speedup("fill_order -a, " + songs + " songs, in process", median(fills), "walk", walk, 50);
  add_row({"  same order as the walk (frozen clock)", same ? "yes" : "no", "", "", "identical",
           same ? "OK" : "MISMATCH"});
  add_row(
      {"  the draws alone, re-seeded (srand+rand)", format_time(median(draws)), "", "", "", "-"});
  add_speedup("orderbuild -a, whole program", build, "walk", walk, 50);
  add_row({"  master list read in process", format_time(median(reads)), "", "", "", "-"});
  add_row({"orderbuild -a vs shuf, same lines", format_time(build), "shuf " + format_time(shuf),
           "ref/ours " + format_ratio(shuf / build), "", "-"});
}

// scantree against find on the same warm tree.
void bench_scan_speed(const Settings &settings, const Tools &tools, const std::string &root,
                      Shape shape) {
  Paired scan = time_pair(
      settings.runs,
      [&] {
        unlink(MPL_PATH);
        return run_checked({tools.scantree, root, "1"}).seconds;
      },
      [&] {
        return run_checked({tools.find, root, "-mindepth", "2", "-maxdepth", "2", "-name", "*.mp3"})
            .seconds;
      });
  long songs = static_cast<long>(shape.lists) * shape.songs;
  long mpl_lines = count_lines(MPL_PATH);
  long found = count_lines(OUT_PATH);
  if (mpl_lines != 1 + shape.lists + songs || found != songs)
    fail("scantree wrote " + std::to_string(mpl_lines) + " lines, find found " +
         std::to_string(found));
  add_slowdown("scantree, " + std::to_string(shape.lists) + " lists x " +
                   std::to_string(shape.songs) + " songs",
               scan.ours, "find", scan.reference, 1.5);
}

struct RssFigure {
  Shape shape;
  long scantree_kib;
  long find_kib;
};

long median_rss(int runs, const std::function<long()> &run) {
  std::vector<double> values;
  for (int i = 0; i < runs; ++i)
    values.push_back(static_cast<double>(run()));
  return static_cast<long>(median(values));
}

RssFigure measure_rss(const Tools &tools, const std::string &root, Shape shape) {
  const int runs = 3;
  long scantree = median_rss(runs, [&] {
    unlink(MPL_PATH);
    return peak_rss({tools.scantree, root, "1"});
  });
  long find = median_rss(runs, [&] {
    return peak_rss({tools.find, root, "-mindepth", "2", "-maxdepth", "2", "-name", "*.mp3"});
  });
  return {shape, scantree, find};
}

// scantree's speed on 1000 x 100, and its peak memory on trees of the same total with a
// larger largest list, and on a tenth of the songs with the same largest list.
void bench_scan(const Settings &settings, const Tools &tools) {
  const Shape shapes[] = {{100, 100}, {1000, 100}, {100, 1000}, {10, 10000}};
  std::vector<RssFigure> figures;
  for (Shape shape : shapes) {
    std::string root = std::string(WORK_DIR) + "/music";
    fprintf(stderr, "scan: tree of %d lists x %d songs...\n", shape.lists, shape.songs);
    make_tree(root, shape);
    if (shape.lists == 1000 && shape.songs == 100)
      bench_scan_speed(settings, tools, root, shape);
    figures.push_back(measure_rss(tools, root, shape));
    fs::remove_all(root);
  }
  long floor = median_rss(3, [&] { return peak_rss({tools.truth}); });

  add_note("\nscantree peak RSS (ru_maxrss, median of 3; /bin/true measured "
           "the same way: %s)\n",
           format_kib(floor).c_str());
  add_note("%-22s %10s %14s %16s %12s\n", "tree", "songs", "largest list", "scantree RSS",
           "find RSS");
  for (const RssFigure &f : figures) {
    std::string tree = std::to_string(f.shape.lists) + " lists x " + std::to_string(f.shape.songs);
    add_note("%-22s %10s %14s %16s %12s\n", tree.c_str(),
             with_commas(static_cast<long>(f.shape.lists) * f.shape.songs).c_str(),
             with_commas(f.shape.songs).c_str(), format_kib(f.scantree_kib).c_str(),
             format_kib(f.find_kib).c_str());
  }

  // Ten times the songs in lists of the same size must not need more memory; allow for
  // allocator noise.
  const RssFigure &small = figures[0], &large = figures[1];
  long growth = large.scantree_kib - small.scantree_kib;
  const long slack_kib = 512;
  add_row({"scantree RSS, 1000x100 vs 100x100 (same largest list)", format_kib(large.scantree_kib),
           "100x100 " + format_kib(small.scantree_kib), "+" + format_kib(std::max(0L, growth)),
           "growth <= 0.5 MiB", growth <= slack_kib ? "PASS" : "FAIL"});
  add_row({"scantree RSS, 100x1000 / 10x10000 (same total)",
           format_kib(figures[2].scantree_kib) + " / " + format_kib(figures[3].scantree_kib),
           "1000x100 " + format_kib(large.scantree_kib), "", "", "-"});
}

// The queries take a few milliseconds, so they are run more often.
int query_runs(const Settings &settings) {
  return settings.runs * 4 + 1;
}

// orderquery and entryquery finding the last of 100,000 entries, against grep finding the
// same line.
void bench_queries(const Settings &settings, const Tools &tools) {
  const Shape shape{1000, 100};
  write_opl(OPL_PATH, shape);
  write_mpl(MPL_PATH, shape, 100000);
  std::string last_path =
      std::string(DEVICE_ROOT) + "/" + list_name(1000) + "/" + song_name(100) + "\n";
  int runs = query_runs(settings);

  struct Query {
    std::string figure;
    std::vector<std::string> ours;
    std::vector<std::string> grep;
    std::string ours_output;
    std::string grep_output;
  };
  const Query queries[] = {
      {"orderquery 100000 (last of 100,000)",
       {tools.orderquery, "100000"},
       {tools.grep, "-m1", "^100000 ", OPL_PATH},
       "100000\n",
       "100000 1 1000 100\n"},
      {"orderquery 1 1000 100 (last of 100,000)",
       {tools.orderquery, "1", "1000", "100"},
       {tools.grep, "-m1", " 1 1000 100$", OPL_PATH},
       "100000\n",
       "100000 1 1000 100\n"},
      {"entryquery 1 1000 100 (last of 100,000)",
       {tools.entryquery, "1", "1000", "100"},
       {tools.grep, "-m1", "^1 1000 100 ", MPL_PATH},
       last_path,
       "1 1000 100 " + last_path},
  };
  for (const Query &query : queries) {
    fprintf(stderr, "query: %s...\n", query.figure.c_str());
    std::string ours_out, grep_out;
    Paired times = time_pair(
        runs,
        [&] {
          double took = run_checked(query.ours).seconds;
          ours_out = read_or_fail(OUT_PATH);
          return took;
        },
        [&] {
          double took = run_checked(query.grep).seconds;
          grep_out = read_or_fail(OUT_PATH);
          return took;
        });
    if (ours_out != query.ours_output || grep_out != query.grep_output)
      fail(query.figure + ": unexpected output <" + ours_out + "> / <" + grep_out + ">");
    add_slowdown(query.figure, times.ours, "grep -m1", times.reference, 2);
  }
  std::vector<double> startup;
  for (int i = 0; i <= runs; ++i) {
    double took = run_checked({tools.truth}).seconds;
    if (i > 0)
      startup.push_back(took);
  }
  add_row({"  start-up floor: /bin/true", format_time(median(startup)), "", "", "", "-"});
}

// A master list as scantree writes it for a music stick: lists named after their
// folders, songs by their whole paths with a track number; every seventh artist and every
// ninth song carry an "&", which the page escapes.
void write_catalog_mpl(const char *path, Shape shape) {
  const char *const root = "/mnt/music";
  FILE *fp = fopen(path, "w");
  if (fp == nullptr)
    fail(std::string("cannot write ") + path);
  fprintf(fp, "1 0 0 %s\n", root);
  for (int list = 1; list <= shape.lists; ++list) {
    char artist[64];
    snprintf(artist, sizeof artist, list % 7 == 0 ? "Artist_&_Band_%04d" : "Artist_Name_%04d",
             list);
    fprintf(fp, "1 %d 0 %s\n", list, artist);
    for (int song = 1; song <= shape.songs; ++song)
      fprintf(fp, "1 %d %d %s/%s/%02d_-_%s_%04d.mp3\n", list, song, root, artist, song,
              song % 9 == 0 ? "rock_&_roll" : "some_title", song);
  }
  if (fclose(fp) != 0)
    fail(std::string("cannot write ") + path);
}

// htmlcatalog's page of 1,000 lists of 100 songs against sed putting a tag before every
// line of the same master list; both write into a file.
void bench_catalog(const Settings &settings, const Tools &tools) {
  const Shape shape{1000, 100};
  const long lines = 1 + shape.lists + static_cast<long>(shape.lists) * shape.songs;
  write_catalog_mpl(MPL_PATH, shape);
  fprintf(stderr, "catalog: htmlcatalog and sed on %s lines...\n", with_commas(lines).c_str());

  std::string page;
  long sed_lines = 0;
  Paired times = time_pair(
      settings.runs,
      [&] {
        double took = run_checked({tools.htmlcatalog}).seconds;
        page = read_or_fail(OUT_PATH);
        return took;
      },
      [&] {
        double took = run_checked({tools.sed, "-e", "s/^/<LI>/", MPL_PATH}).seconds;
        sed_lines = count_lines(OUT_PATH);
        return took;
      });
  if (sed_lines != lines)
    fail("sed wrote " + std::to_string(sed_lines) + " lines");

  const std::string closing = "</OL></TABLE></BODY></HTML>\n";
  bool complete = page.starts_with("<HTML>") && page.ends_with(closing);
  long song_links = count_of(page, "HREF=\"/cgi-bin/choose.sh?song=0001");
  long songs = static_cast<long>(shape.lists) * shape.songs;
  bool all_songs = song_links == shape.lists + songs;
  add_slowdown("htmlcatalog, " + with_commas(lines) + " lines", times.ours, "sed", times.reference,
               5);
  add_row({"  whole page, every list and song linked", complete && all_songs ? "yes" : "no", "", "",
           "whole page", complete && all_songs ? "OK" : "MISMATCH"});
  add_note("\nhtmlcatalog page: %s bytes, %ld list and song links; master list %s bytes\n",
           with_commas(static_cast<long>(page.size())).c_str(), song_links,
           with_commas(static_cast<long>(fs::file_size(MPL_PATH))).c_str());
}

Settings parse_settings(int argc, char **argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--runs" || arg == "--walk-runs") && i + 1 < argc) {
      int value = atoi(argv[++i]);
      if (value < 1)
        fail(arg + " needs a positive number");
      (arg == "--runs" ? settings.runs : settings.walk_runs) = value;
    } else if (std::find(std::begin(SECTIONS), std::end(SECTIONS), arg) != std::end(SECTIONS)) {
      settings.sections.names.push_back(arg);
    } else {
      fail("usage: playlist_bench [--runs N] [--walk-runs N] [order|scan|queries|catalog]...");
    }
  }
  return settings;
}

} // namespace

int main(int argc, char **argv) {
  if (argc >= 4 && strcmp(argv[1], "--peak-rss") == 0)
    return report_peak_rss(argv[2], argv + 3);
  Settings settings = parse_settings(argc, argv);
  if (!inside_sandbox())
    fail(std::string("runs only inside the sandbox launcher, as bench/run.sh starts it: it "
                     "writes ") +
         MPL_PATH + ", " + OPL_PATH + " and large trees under /tmp");
  // The same locale for every program; the reference tools are fastest in it.
  setenv("LC_ALL", "C", 1);
  if (!fs::create_directory(WORK_DIR))
    fail(std::string(WORK_DIR) + " exists already");

  std::string bin = VELM_BIN_DIR;
  Tools tools{bin + "/scantree",    bin + "/orderbuild",  bin + "/orderquery",
              bin + "/entryquery",  bin + "/htmlcatalog", find_program("find"),
              find_program("grep"), find_program("shuf"), find_program("sed"),
              find_program("true")};

  std::string load_before = load_average();
  double start = now_seconds();
  if (settings.sections.runs("order"))
    bench_order(settings, tools);
  if (settings.sections.runs("scan"))
    bench_scan(settings, tools);
  if (settings.sections.runs("queries"))
    bench_queries(settings, tools);
  if (settings.sections.runs("catalog"))
    bench_catalog(settings, tools);

  printf("\nprograms: median of %d runs (queries: %d) after one warm-up; placement walk: best "
         "of %d\n%s in all; load average %s before, %s after; %ld cores\n",
         settings.runs, query_runs(settings), settings.walk_runs,
         format_time(now_seconds() - start).c_str(), load_before.c_str(), load_average().c_str(),
         sysconf(_SC_NPROCESSORS_ONLN));
  print_table();
  printf("%s", notes.c_str());
  printf("\n%s\n", all_met ? "all targets met" : "TARGETS MISSED");
  return all_met ? 0 : 1;
}
