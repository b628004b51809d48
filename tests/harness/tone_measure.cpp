#include "tone_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>

namespace {

// The samples [start, start + count) that are there.
size_t available(const std::vector<double> &samples, size_t start, size_t count) {
  return start >= samples.size() ? 0 : std::min(count, samples.size() - start);
}

} // namespace

StereoAudio stereo_from_bytes(const std::string &bytes) {
  StereoAudio audio;
  size_t frames = bytes.size() / 4;
  audio.left.reserve(frames);
  audio.right.reserve(frames);
  auto sample = [&](size_t at) {
    auto low = static_cast<unsigned char>(bytes[at]),
         high = static_cast<unsigned char>(bytes[at + 1]);
    return static_cast<double>(static_cast<int16_t>(static_cast<uint16_t>(low | high << 8)));
  };
  for (size_t frame = 0; frame < frames; ++frame) {
    audio.left.push_back(sample(frame * 4));
    audio.right.push_back(sample(frame * 4 + 2));
  }
  return audio;
}

StereoAudio stereo_from_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return stereo_from_bytes(std::string(std::istreambuf_iterator<char>(in), {}));
}

double rms(const std::vector<double> &samples, size_t start, size_t count) {
  count = available(samples, start, count);
  if (count == 0)
    return 0;
  double sum = 0;
  for (size_t i = start; i < start + count; ++i)
    sum += samples[i] * samples[i];
  return std::sqrt(sum / static_cast<double>(count));
}

double tone_amplitude(const std::vector<double> &samples, size_t start, size_t count,
                      double frequency, double rate) {
  count = available(samples, start, count);
  if (count < 2)
    return 0;
  const double omega = 2 * M_PI * frequency / rate, coefficient = 2 * std::cos(omega);
  double s1 = 0, s2 = 0, weights = 0;
  for (size_t i = 0; i < count; ++i) {
    double hann =
        0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(count - 1));
    double s0 = hann * samples[start + i] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
    weights += hann;
  }
  // |X(omega)| of the windowed samples; a sinusoid of amplitude A gives A/2 of the weights.
  double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2 * std::sqrt(std::max(0.0, power)) / weights;
}

double tone_db(const std::vector<double> &samples, size_t start, size_t count, double frequency,
               double reference, double rate) {
  double amplitude = tone_amplitude(samples, start, count, frequency, rate);
  return amplitude <= 0 ? -400 : std::max(-400.0, 20 * std::log10(amplitude / reference));
}

long sound_start(const StereoAudio &audio, size_t window, double threshold) {
  if (window == 0)
    return -1;
  for (size_t start = 0; start < audio.frames(); start += window) {
    if (rms(audio.left, start, window) > threshold || rms(audio.right, start, window) > threshold)
      return static_cast<long>(start);
  }
  return -1;
}
