// The play core on state files of any content, a master and an order list of any content
// and every move: no crash, and the record it leaves is well formed (it reads back as
// written) and, when it names a song, names one of the master list.

#include "core.h"
#include "paths.h"
#include "playstate.h"
#include "plfile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>
#include <string>

namespace {

const char *const FILES[] = {PLAYSTATE_PATH, STATUS_PATH, FRAMEPOS_PATH, PREPARED_PATH,
                             RANDOM_PATH,    MPL_PATH,    OPL_PATH};

bool in_master_list(const std::string &mpl, const SongAddress &song) {
  std::string copy = mpl;
  FILE *fp = copy.empty() ? fopen("/dev/null", "re") : fmemopen(copy.data(), copy.size(), "r");
  bool found = false;
  MplEntry entry;
  while (!found && mpl_read_entry(fp, &entry))
    found = entry.device == song.device && entry.list == song.list && entry.song == song.song;
  fclose(fp);
  return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  // The first byte picks the move, the second its numbers; the rest are the files,
  // separated by 0 bytes.
  const PlayVerb verb = static_cast<PlayVerb>(data[0] % (static_cast<int>(PlayVerb::startup) + 1));
  PlayRequest request{verb, {data[1] % 4, data[1] / 4 % 4, data[1] / 16 % 4}};
  std::map<std::string, std::string> files;
  std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
  size_t at = 0;
  for (const char *path : FILES) {
    if (at > text.size())
      break;
    size_t end = text.find('\0', at);
    if (end == std::string::npos)
      end = text.size();
    files[path] = text.substr(at, end - at);
    at = end + 1;
  }

  std::list<std::string> opened;
  PlayIo io;
  io.read = [&](const char *path, std::string &out) {
    auto found = files.find(path);
    if (found == files.end())
      return false;
    out = found->second;
    return true;
  };
  io.replace = [&](const char *path, const std::string &out) {
    files[path] = out;
    return true;
  };
  io.remove = [&](const char *path) {
    files.erase(path);
    return true;
  };
  io.open_list = [&](const char *path) -> FILE * {
    auto found = files.find(path);
    if (found == files.end())
      return nullptr;
    opened.push_back(found->second);
    if (opened.back().empty())
      return fopen("/dev/null", "re");
    return fmemopen(opened.back().data(), opened.back().size(), "r");
  };
  io.player = [](const std::string &) { return true; };
  io.display = [](const std::vector<std::string> &) { return true; };
  io.say = [](const std::string &) {};
  io.report = [](const std::string &) {};
  play_move(io, request);

  auto record = files.find(PLAYSTATE_PATH);
  if (record == files.end())
    return 0;
  PlayState state = parse_play_state(record->second);
  if (format_play_state(parse_play_state(format_play_state(state))) != format_play_state(state))
    abort(); // the record does not read back as it was written
  bool moved = record->second != std::string(text.substr(0, text.find('\0')));
  if (moved && state.has_song && !in_master_list(files[MPL_PATH], state.song))
    abort(); // a song chosen that the master list does not hold
  return 0;
}
