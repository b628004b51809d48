#include "playstate.h"

#include "convert.h"

#include <climits>
#include <sstream>
#include <vector>

namespace {

// The words of one line, split at blanks and tabs.
std::vector<std::string> words_of(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string word;
  while (in >> word)
    words.push_back(word);
  return words;
}

bool positive(const std::string &text, int *value) {
  long n;
  if (!parse_long(text.c_str(), 1, INT_MAX, &n))
    return false;
  *value = static_cast<int>(n);
  return true;
}

} // namespace

PlayState parse_play_state(const std::string &text) {
  PlayState state;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> w = words_of(line);
    if (w.empty())
      continue;
    if (w[0] == "song" && w.size() == 4) {
      SongAddress song{};
      if (positive(w[1], &song.device) && positive(w[2], &song.list) &&
          positive(w[3], &song.song)) {
        state.song = song;
        state.has_song = true;
      }
    } else if (w[0] == "status" && w.size() == 2) {
      if (w[1] == "play")
        state.status = PlayStatus::play;
      else if (w[1] == "pause")
        state.status = PlayStatus::pause;
      else
        state.status = PlayStatus::stop;
    } else if (w[0] == "frame" && w.size() == 2) {
      state.frame_kept = w[1] == "kept";
    } else if (w[0] == "generation" && w.size() == 2) {
      long n;
      if (parse_long(w[1].c_str(), 0, INT_MAX, &n))
        state.generation = static_cast<int>(n);
    }
  }
  return state;
}

std::string format_play_state(const PlayState &state) {
  std::string text;
  if (state.has_song)
    text += "song " + std::to_string(state.song.device) + " " + std::to_string(state.song.list) +
            " " + std::to_string(state.song.song) + "\n";
  text += std::string("status ") + status_word(state.status) + "\n";
  text += std::string("frame ") + (state.frame_kept ? "kept" : "fresh") + "\n";
  text += "generation " + std::to_string(state.generation) + "\n";
  return text;
}

int next_generation(int generation) {
  return generation == INT_MAX ? 0 : generation + 1;
}

const char *status_word(PlayStatus status) {
  switch (status) {
  case PlayStatus::play:
    return "play";
  case PlayStatus::pause:
    return "pause";
  default:
    return "stop";
  }
}
