// The mixer's requests: any sequence of requests (a number and an int argument of any
// size, as a program may pass through the device) must leave every level word within
// 0 to 100 a byte, be answered or refused as a driver does, and give the player only
// whole, well-formed commands that fit in one pipe write.

#include "memstream.h"
#include "soft_mixer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool level_word(int word) {
  return (word & ~0xFFFF) == 0 && (word & 0xFF) <= 100 && (word >> 8) <= 100;
}

bool well_formed(const std::string &commands) {
  if (commands.size() > PIPE_BUF || commands.empty() || commands.back() != '\n')
    return false;
  int lines = 0;
  size_t at = 0;
  while (at < commands.size()) {
    size_t end = commands.find('\n', at);
    std::string line = commands.substr(at, end - at);
    int channel, band, used = 0;
    double factor;
    if (sscanf(line.c_str(), "EQ %d %d %lf%n", &channel, &band, &factor, &used) != 3 ||
        static_cast<size_t>(used) != line.size() || channel < 1 || channel > 2 || band < 0 ||
        band >= EQ_BANDS || !(factor >= 0 && factor <= 4.0))
      return false;
    ++lines;
    at = end + 1;
  }
  return lines == 2 * EQ_BANDS;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  SoftMixer mixer;
  // Each request: a byte choosing the number (one of the mixer's, or the next four bytes
  // as any number), a byte for the argument's size (0 to 8), then the argument.
  static const uint32_t known[] = {OSS_READ_DEVMASK, OSS_READ_STEREODEVS, OSS_READ_RECMASK,
                                   OSS_READ_RECSRC,  OSS_READ_CAPS,       OSS_GETVERSION};
  size_t at = 0;
  while (at + 2 <= size) {
    uint8_t choice = data[at++];
    uint32_t cmd;
    if (choice < 16) {
      cmd = OSS_WRITE_CHANNEL + choice;
    } else if (choice < 32) {
      cmd = OSS_READ_CHANNEL + (choice - 16);
    } else if (choice < 38) {
      cmd = known[choice - 32];
    } else {
      if (at + 4 > size)
        break;
      memcpy(&cmd, data + at, 4);
      at += 4;
    }
    size_t arg_size = at < size ? data[at++] % 9 : 0;
    if (at + arg_size > size)
      break;
    MixerAnswer answer = answer_mixer_request(mixer, cmd, data + at, arg_size);
    at += arg_size;
    FUZZ_CHECK(answer.result == 0 || answer.result == -EINVAL || answer.result == -EFAULT);
    for (int word : {mixer.master, mixer.bass, mixer.treble, mixer.pcm})
      FUZZ_CHECK(level_word(word));
    FUZZ_CHECK(well_formed(player_commands(mixer)));
  }
  return 0;
}
