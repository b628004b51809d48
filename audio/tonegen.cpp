// tonegen: writes test tones as a WAV file (16-bit, 44.1 kHz) on standard output, for
// making sample songs with an MP3 encoder.
//
//   tonegen [-c] [-2] [-a AMPLITUDE] SECONDS FREQUENCY...
//
// By default each frequency is one note and the notes share the time, one after the
// other, each rising quickly and fading, at a peak of 0.4 of full scale, in one channel.
// With -c the frequencies sound together the whole time: a chord of steady pure tones,
// each of peak amplitude 0.8/N of full scale for N tones, so their sum never clips; the
// level of each is known for measuring. -a gives each tone's peak amplitude instead (a
// fraction of full scale); a chord whose amplitudes add up beyond 1 is refused. With -2
// the file has two channels, both the same.

#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int RATE = 44100;

int usage() {
  fputs("usage: tonegen [-c] [-2] [-a AMPLITUDE] SECONDS FREQUENCY...\n", stderr);
  return 2;
}

// Whole numbers only: a typing slip must not make a silent or broken file.
bool number(const char *text, double &value) {
  char *end = nullptr;
  value = strtod(text, &end);
  return end != text && *end == '\0' && value >= 0 && value <= 1e6;
}

void put32(unsigned long v) {
  for (int i = 0; i < 4; ++i)
    putchar(static_cast<int>((v >> (8 * i)) & 0xff));
}

void put16(unsigned v) {
  putchar(static_cast<int>(v & 0xff));
  putchar(static_cast<int>((v >> 8) & 0xff));
}

void put_header(long frames, unsigned channels) {
  unsigned long data_bytes = static_cast<unsigned long>(frames) * 2 * channels;
  fputs("RIFF", stdout);
  put32(36 + data_bytes);
  fputs("WAVEfmt ", stdout);
  put32(16);
  put16(1); // PCM
  put16(channels);
  put32(RATE);
  put32(RATE * 2UL * channels);
  put16(2 * channels);
  put16(16);
  fputs("data", stdout);
  put32(data_bytes);
}

void put_sample(short sample, unsigned channels) {
  for (unsigned c = 0; c < channels; ++c) {
    putchar(sample & 0xff);
    putchar((sample >> 8) & 0xff);
  }
}

struct Tune {
  bool chord = false;
  unsigned channels = 1;
  double amplitude = -1; // -1: not given
  double seconds = 0;
  std::vector<double> frequencies;
};

// The options before SECONDS; the index of SECONDS, or -1 after a message.
int parse_options(int argc, char **argv, Tune &tune) {
  int at = 1;
  for (; at < argc; ++at) {
    if (strcmp(argv[at], "-c") == 0) {
      tune.chord = true;
    } else if (strcmp(argv[at], "-2") == 0) {
      tune.channels = 2;
    } else if (strcmp(argv[at], "-a") == 0) {
      if (at + 1 >= argc || !number(argv[at + 1], tune.amplitude) || tune.amplitude > 1) {
        fputs("tonegen: AMPLITUDE must be a number from 0 to 1 (of full scale)\n", stderr);
        return -1;
      }
      ++at;
    } else {
      break;
    }
  }
  return at;
}

// Every tone together, steady.
void put_chord(const Tune &tune, long total) {
  for (long n = 0; n < total; ++n) {
    double t = static_cast<double>(n) / RATE, value = 0;
    for (double frequency : tune.frequencies)
      value += tune.amplitude * std::sin(2 * M_PI * frequency * t);
    put_sample(static_cast<short>(std::lround(std::clamp(value, -1.0, 1.0) * 32767)),
               tune.channels);
  }
}

// One note after the other, each rising quickly and fading.
void put_notes(const Tune &tune, long total) {
  const std::vector<double> &notes = tune.frequencies;
  long per_note = std::max(1L, total / static_cast<long>(notes.size()));
  for (long n = 0; n < total; ++n) {
    size_t note = std::min(notes.size() - 1, static_cast<size_t>(n / per_note));
    double t = static_cast<double>(n) / RATE;
    double within = static_cast<double>(n % per_note) / static_cast<double>(per_note);
    double envelope = std::min(1.0, within * 20) * (1.0 - within * 0.6);
    double value = tune.amplitude * envelope * std::sin(2 * M_PI * notes[note] * t);
    put_sample(static_cast<short>(value * 32767), tune.channels);
  }
}

} // namespace

int main(int argc, char **argv) {
  Tune tune;
  int first = parse_options(argc, argv, tune);
  if (first < 0)
    return 2;
  if (argc - first < 2)
    return usage();
  tune.frequencies.resize(static_cast<size_t>(argc - first - 1));
  bool good = number(argv[first], tune.seconds) && tune.seconds <= 3600;
  for (int i = first + 1; good && i < argc; ++i)
    good = number(argv[i], tune.frequencies[static_cast<size_t>(i - first - 1)]);
  if (!good) {
    fputs("tonegen: SECONDS (up to 3600) and FREQUENCY must be numbers, none below 0\n", stderr);
    return 2;
  }
  const double tones = static_cast<double>(tune.frequencies.size());
  if (tune.amplitude < 0)
    tune.amplitude = tune.chord ? 0.8 / tones : 0.4;
  if (tune.chord && tune.amplitude * tones > 1 + 1e-9) {
    fprintf(stderr, "tonegen: %g tones of amplitude %g add up beyond full scale\n", tones,
            tune.amplitude);
    return 2;
  }
  long total = static_cast<long>(tune.seconds * RATE);
  put_header(total, tune.channels);
  if (tune.chord)
    put_chord(tune, total);
  else
    put_notes(tune, total);
  return close_stdout("tonegen: ") ? 0 : 1;
}
