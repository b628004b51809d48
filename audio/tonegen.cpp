// tonegen: writes a short tune as a WAV file (16-bit mono, 44.1 kHz) on standard
// output, for making sample songs with an MP3 encoder.
//
//   tonegen SECONDS FREQUENCY...   (each frequency is one note; the notes share the time)

#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
  if (argc < 3) {
    fputs("usage: tonegen SECONDS FREQUENCY...\n", stderr);
    return 2;
  }
  const int rate = 44100;
  // Whole numbers only: a typing slip must not make a silent or broken file.
  auto number = [](const char *text, double &value) {
    char *end = nullptr;
    value = strtod(text, &end);
    return end != text && *end == '\0' && value >= 0 && value <= 1e6;
  };
  double seconds;
  std::vector<double> notes(static_cast<size_t>(argc - 2));
  bool good = number(argv[1], seconds) && seconds <= 3600;
  for (int i = 2; good && i < argc; ++i)
    good = number(argv[i], notes[static_cast<size_t>(i - 2)]);
  if (!good) {
    fputs("tonegen: SECONDS (up to 3600) and FREQUENCY must be numbers, none below 0\n", stderr);
    return 2;
  }
  long total = static_cast<long>(seconds * rate);
  long per_note = total / static_cast<long>(notes.size());
  auto put32 = [](unsigned long v) {
    for (int i = 0; i < 4; ++i)
      putchar(static_cast<int>((v >> (8 * i)) & 0xff));
  };
  auto put16 = [](unsigned v) {
    putchar(static_cast<int>(v & 0xff));
    putchar(static_cast<int>((v >> 8) & 0xff));
  };
  unsigned long data_bytes = static_cast<unsigned long>(total) * 2;
  fputs("RIFF", stdout);
  put32(36 + data_bytes);
  fputs("WAVEfmt ", stdout);
  put32(16);
  put16(1); // PCM
  put16(1); // mono
  put32(rate);
  put32(rate * 2UL);
  put16(2);
  put16(16);
  fputs("data", stdout);
  put32(data_bytes);
  for (long n = 0; n < total; ++n) {
    size_t note = std::min(notes.size() - 1, static_cast<size_t>(n / per_note));
    double t = static_cast<double>(n) / rate;
    double within = static_cast<double>(n % per_note) / static_cast<double>(per_note);
    double envelope = std::min(1.0, within * 20) * (1.0 - within * 0.6);
    double value = 0.4 * envelope * std::sin(2 * M_PI * notes[note] * t);
    auto sample = static_cast<short>(value * 32767);
    putchar(sample & 0xff);
    putchar((sample >> 8) & 0xff);
  }
  return close_stdout("tonegen: ") ? 0 : 1;
}
