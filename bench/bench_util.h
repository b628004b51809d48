#pragma once

// Timing and formatting shared by the benchmarks.

#include <algorithm>
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
