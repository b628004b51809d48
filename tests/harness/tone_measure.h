#pragma once

// Measuring raw audio for the sound tests and benchmarks: signed 16-bit little-endian
// stereo frames (what the player writes and `velm -s` records), read into one sequence
// of samples per channel. Levels are of sample values, where full scale is 32767 (the
// peak tonegen gives an amplitude of 1). Windows are given in frames from the start; a
// window reaching past the end is cut there.

#include <cstddef>
#include <string>
#include <vector>

constexpr double FULL_SCALE = 32767;
constexpr double AUDIO_RATE = 44100;

struct StereoAudio {
  std::vector<double> left, right;
  size_t frames() const { return left.size(); }
  // 0: left, 1: right.
  const std::vector<double> &channel(int which) const { return which == 0 ? left : right; }
};

// The frames of `bytes`; a part of a frame at the end is left out.
StereoAudio stereo_from_bytes(const std::string &bytes);
// The frames of the file at `path` (none when it cannot be read).
StereoAudio stereo_from_file(const std::string &path);

// The root mean square of `count` samples from `start` (0 for none).
double rms(const std::vector<double> &samples, size_t start, size_t count);

// The peak amplitude of the sinusoid of `frequency` Hz in `count` samples from `start`:
// a Goertzel filter at exactly that frequency over the Hann-windowed samples, so a tone
// that does not fill whole periods of the window is measured as well, and tones a few
// dozen periods of the window apart do not reach each other.
double tone_amplitude(const std::vector<double> &samples, size_t start, size_t count,
                      double frequency, double rate = AUDIO_RATE);

// The same as a level in dB relative to the amplitude `reference` (by default full scale:
// dBFS); -400 for no trace of the tone at all.
double tone_db(const std::vector<double> &samples, size_t start, size_t count, double frequency,
               double reference = FULL_SCALE, double rate = AUDIO_RATE);

// Where the sound starts: the first frame of the first window of `window` frames (the
// windows laid end to end from the start) whose RMS is above `threshold`, in either
// channel; -1 when there is none.
long sound_start(const StereoAudio &audio, size_t window, double threshold);
