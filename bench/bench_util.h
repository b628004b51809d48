#pragma once

// Timing and formatting shared by the benchmarks.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
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
  size_t total = 2 * 5;
  for (size_t w : width)
    total += w;
  printf("%s\n", std::string(total, '-').c_str());
  for (const Row &row : rows)
    line(cells(row));
}
