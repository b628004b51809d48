#pragma once

// Timing and formatting shared by the benchmarks.

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

inline std::string format_kib(long kib) {
  char text[32];
  snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024);
  return text;
}

inline std::string format_ratio(double ratio) {
  char text[32];
  snprintf(text, sizeof text, ratio >= 100 ? "%.0fx" : "%.2fx", ratio);
  return text;
}

// The machine's load average over the last minute: other work on the machine slows the
// figures down, ours and the references alike.
inline std::string load_average() {
  FILE *fp = fopen("/proc/loadavg", "r");
  char text[64] = "?";
  if (fp != nullptr) {
    if (fscanf(fp, "%63s", text) != 1)
      strcpy(text, "?");
    fclose(fp);
  }
  return text;
}

inline double median(std::vector<double> values) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

inline double now_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline std::string with_commas(long n) {
  std::string digits = std::to_string(n), text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      text += ',';
    text += digits[i];
  }
  return text;
}

// The sections a bench was asked to run: all of them when none was named.
struct Sections {
  std::vector<std::string> names;
  bool runs(const std::string &name) const {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
  }
};

// Measuring

// The value below which `share` of the sorted values lie (nearest rank).
inline double percentile(std::vector<double> values, double share) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  auto rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
  return values[std::max<size_t>(rank, 1) - 1];
}

inline std::string format_time(double seconds) {
  char text[32];
  if (seconds >= 1)
    snprintf(text, sizeof text, "%.2f s", seconds);
  else if (seconds >= 1e-3)
    snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
  else
    snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
  return text;
}

inline std::string read_text(const std::string &path) {
  FILE *fp = fopen(path.c_str(), "r");
  if (fp == nullptr)
    return "";
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, fp)) > 0)
    text.append(buffer, got);
  fclose(fp);
  return text;
}

// The sandbox launcher's first process carries its command line; outside of it /proc/1
// is the machine's init.
inline bool inside_sandbox() {
  std::string cmdline = read_text("/proc/1/cmdline");
  return std::filesystem::path(cmdline.c_str()).filename() == "sandbox";
}

// A field of /proc/<pid>/status in KiB, such as "VmHWM".
inline long status_kib(pid_t pid, const char *field) {
  std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find(std::string(field) + ":");
  return at == std::string::npos ? 0 : atol(status.c_str() + at + strlen(field) + 1);
}

struct Cpu {
  double schedstat = 0; // seconds on a processor, from /proc/<pid>/schedstat
  double stat = 0;      // user + system time, from /proc/<pid>/stat (clock ticks)
};

inline Cpu cpu_of(pid_t pid) {
  Cpu cpu;
  std::string dir = "/proc/" + std::to_string(pid);
  cpu.schedstat =
      static_cast<double>(strtoull(read_text(dir + "/schedstat").c_str(), nullptr, 10)) * 1e-9;
  // The fields after the command name in parentheses: utime and stime are the 12th and
  // 13th of them.
  std::string stat = read_text(dir + "/stat");
  size_t at = stat.rfind(')');
  if (at == std::string::npos)
    return cpu;
  const char *p = stat.c_str() + at + 1;
  unsigned long long fields[13] = {};
  for (int i = 0; i < 13 && *p != '\0'; ++i) {
    while (*p == ' ')
      ++p;
    char *end = nullptr;
    fields[i] = strtoull(p, &end, 10);
    p = end;
    while (*p != ' ' && *p != '\0') // the state is a letter
      ++p;
  }
  cpu.stat =
      static_cast<double>(fields[11] + fields[12]) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return cpu;
}

// The result table

struct Row {
  std::string figure;
  std::string ours;
  std::string reference;
  std::string ratio;
  std::string target;
  std::string result; // PASS, FAIL, OK, MISMATCH or "-" for figures without a target
};

inline std::vector<Row> rows;
inline bool all_met = true;
inline std::string notes; // printed after the table

__attribute__((format(printf, 1, 2))) inline void add_note(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  notes += text;
}

inline void add_row(Row row) {
  if (row.result == "FAIL" || row.result == "MISMATCH")
    all_met = false;
  rows.push_back(std::move(row));
}

inline void print_table() {
  const char *headers[] = {"figure", "ours", "reference", "ratio", "target", "result"};
  size_t width[6];
  for (int c = 0; c < 6; ++c)
    width[c] = strlen(headers[c]);
  auto cells = [](const Row &row) {
    return std::vector<std::string>{row.figure, row.ours,   row.reference,
                                    row.ratio,  row.target, row.result};
  };
  for (const Row &row : rows) {
    auto cell = cells(row);
    for (size_t c = 0; c < 6; ++c)
      width[c] = std::max(width[c], cell[c].size());
  }
  auto line = [&](const std::vector<std::string> &cell) {
    for (size_t c = 0; c < 6; ++c)
      printf("%-*s%s", static_cast<int>(width[c]), cell[c].c_str(), c < 5 ? "  " : "\n");
  };
  printf("\n");
  line({headers[0], headers[1], headers[2], headers[3], headers[4], headers[5]});
  size_t total = 2UL * 5;
  for (size_t w : width)
    total += w;
  printf("%s\n", std::string(total, '-').c_str());
  for (const Row &row : rows)
    line(cells(row));
}
