#include "soak_rig.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <regex>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

double now_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void write_text(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void run_shell(const std::string &command) {
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "jukebox_soak: failed: %s\n", command.c_str());
    exit(2);
  }
}

void sleep_seconds(double seconds) {
  if (seconds <= 0)
    return;
  timespec pause;
  pause.tv_sec = static_cast<time_t>(seconds);
  pause.tv_nsec = static_cast<long>((seconds - static_cast<double>(pause.tv_sec)) * 1e9);
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

std::string rig_folder = "/tmp";

std::string rig_file(const std::string &name) {
  return rig_folder + "/" + name;
}

std::vector<Process> processes() {
  std::vector<Process> found;
  DIR *proc = opendir("/proc");
  if (proc == nullptr)
    return found;
  while (dirent *entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0)
      continue;
    std::string stat = read_text("/proc/" + std::string(entry->d_name) + "/stat");
    // "pid (comm) state ppid ..."; the name may hold blanks and parentheses.
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos)
      continue;
    Process p;
    p.pid = pid;
    p.name = stat.substr(open + 1, close - open - 1);
    char state;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &p.parent) != 2 || state == 'Z')
      continue;
    found.push_back(p);
  }
  closedir(proc);
  return found;
}

pid_t find_process(const std::string &name) {
  for (const Process &p : processes()) {
    if (p.name == name)
      return p.pid;
  }
  return -1;
}

int open_descriptors(pid_t pid) {
  DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr)
    return -1;
  int count = 0;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  closedir(dir);
  return count;
}

long resident_kib(pid_t pid) {
  std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  if (at == std::string::npos)
    return -1;
  return atol(status.c_str() + at + 6);
}

void make_collection(const std::vector<SampleSong> &songs) {
  for (const SampleSong &song : songs) {
    std::string dir = "/mnt/music/" + song.list;
    std::string tone = std::to_string(song.seconds) + " " +
                       std::to_string(200 + 20 * static_cast<int>(song.title.back() - '0')) +
                       " 330";
    run_shell("mkdir -p " + dir + " && tonegen " + tone + " | lame --quiet -m m -b 32 --tt " +
              song.title + " --ta Artist - " + dir + "/" + song.title + ".mp3");
  }
}

std::vector<std::string> collection_devices(const std::vector<SampleSong> &songs) {
  std::vector<std::string> devices;
  for (const SampleSong &song : songs) {
    std::string device = "/mnt/music/" + song.list.substr(0, song.list.find('/'));
    if (std::find(devices.begin(), devices.end(), device) == devices.end())
      devices.push_back(device);
  }
  return devices;
}

pid_t start_velm(const std::vector<std::string> &devices) {
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(2);
  }
  if (pid > 0) {
    setpgid(pid, pid);
    return pid;
  }
  setpgid(0, 0);
  // The jukebox runs as usual, whatever priority its starter has.
  sched_param normal = {};
  sched_setscheduler(0, SCHED_OTHER, &normal);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  int err = open(rig_file("velm.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (err >= 0)
    dup2(err, STDERR_FILENO);
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
  }
  for (int fd = 3; fd < 1024; ++fd)
    close(fd);
  setenv("LD_PRELOAD", VELM_FAKEMIXER, 1);
  setenv("VELM_FAKE_MIXER_LOG", rig_file("mixer.log").c_str(), 1);
  std::vector<std::string> args = {"velm", "-l", "-t", "-p", rig_file("player.out")};
  args.insert(args.end(), devices.begin(), devices.end());
  std::vector<char *> argv;
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  execvp("velm", argv.data());
  _exit(127);
}

std::string level_word(int level) {
  char text[16];
  snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(level));
  return text;
}

std::string pcm_word(int volume, int balance) {
  double factor = (100 - (balance < 0 ? -balance : balance)) / 100.0;
  int attenuated = static_cast<int>(factor * volume);
  int left = balance < 0 ? volume : attenuated;
  int right = balance < 0 ? attenuated : volume;
  return level_word(left | right << 8);
}

namespace {

// A mixer state file as "%i" writes it: an optional minus sign and digits without
// leading zeros, nothing else.
bool is_int_text(const std::string &text) {
  static const std::regex form("0|-?[1-9][0-9]*");
  return std::regex_match(text, form);
}

int saved_value(const char *path, int low, int high) {
  std::string text = read_text(path);
  int value = atoi(text.c_str());
  return value >= low && value <= high ? value : 0;
}

} // namespace

MixerValues saved_mixer_values() {
  MixerValues values;
  values.volume = saved_value("/tmp/VOLUME", 0, 100);
  values.balance = saved_value("/tmp/BALANCE", -100, 100);
  values.bass = saved_value("/tmp/BASS", 0, 100);
  values.treble = saved_value("/tmp/TREBLE", 0, 100);
  return values;
}

std::string chosen_song() {
  std::string text = read_text("/tmp/PLAYSTATE");
  if (!text.starts_with("song "))
    return "";
  return text.substr(5, text.find('\n') - 5);
}

std::vector<std::string> check_state_files(const std::vector<std::string> &mpl_songs) {
  std::vector<std::string> problems;
  auto complain = [&](const std::string &path, const std::string &what, const std::string &text) {
    std::string shown;
    for (char c : text.substr(0, 40))
      shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    problems.push_back(path + ": " + what + ": \"" + shown + "\"");
  };
  struct Ranged {
    const char *path;
    int low, high;
  };
  for (const Ranged &f : {Ranged{"/tmp/VOLUME", 0, 100}, Ranged{"/tmp/BALANCE", -100, 100},
                          Ranged{"/tmp/BASS", 0, 100}, Ranged{"/tmp/TREBLE", 0, 100}}) {
    if (!file_exists(f.path))
      continue;
    std::string text = read_text(f.path);
    int value = atoi(text.c_str());
    if (!is_int_text(text) || value < f.low || value > f.high)
      complain(f.path, "not one value", text);
  }
  if (file_exists("/tmp/FRAMEPOS")) {
    std::string text = read_text("/tmp/FRAMEPOS");
    static const std::regex form(" *(0|[1-9][0-9]*)\n");
    if (text.size() != 17 || !std::regex_match(text, form))
      complain("/tmp/FRAMEPOS", "not one frame", text);
  }
  if (file_exists("/tmp/STATUS")) {
    std::string text = read_text("/tmp/STATUS");
    if (text != "play\n" && text != "pause\n" && text != "stop\n" && text != "startup\n")
      complain("/tmp/STATUS", "not one status word", text);
  }
  auto is_song = [&](const std::string &address) {
    return std::find(mpl_songs.begin(), mpl_songs.end(), address) != mpl_songs.end();
  };
  if (file_exists("/tmp/PREPARED")) {
    std::string text = read_text("/tmp/PREPARED");
    if (text.empty() || text.back() != '\n' || !is_song(text.substr(0, text.size() - 1)))
      complain("/tmp/PREPARED", "not one song's address", text);
  }
  if (file_exists("/tmp/PLAYSTATE")) {
    std::string text = read_text("/tmp/PLAYSTATE");
    static const std::regex form("song ([0-9]+ [0-9]+ [0-9]+)\nstatus (play|pause|stop)\n"
                                 "frame (kept|fresh)\ngeneration [0-9]+\n");
    std::smatch parts;
    if (!std::regex_match(text, parts, form) || !is_song(parts[1].str()))
      complain("/tmp/PLAYSTATE", "not a record of one song", text);
  }
  if (file_exists("/tmp/RANDOM")) {
    std::string text = read_text("/tmp/RANDOM");
    if (text.size() != 2 || strchr("sadl", text[0]) == nullptr || text[1] != '\n')
      complain("/tmp/RANDOM", "not one order mode", text);
  }
  for (const char *path : {"/tmp/DEVICE", "/tmp/LIST", "/tmp/SONG"}) {
    if (!file_exists(path))
      continue;
    std::string text = read_text(path);
    static const std::regex form("[0-9]+\n");
    if (!std::regex_match(text, form))
      complain(path, "not one number", text);
  }
  return problems;
}

RecordOnDisk read_play_state(const std::vector<std::string> &mpl_songs) {
  RecordOnDisk state;
  state.present = file_exists("/tmp/PLAYSTATE");
  if (!state.present)
    return state;
  std::string text = read_text("/tmp/PLAYSTATE");
  std::map<std::string, int> seen;
  bool good = !text.empty() && text.back() == '\n';
  std::istringstream lines(text);
  std::string line;
  static const std::regex form("(song|status|frame|generation) (.+)");
  while (std::getline(lines, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, form)) {
      good = false;
      continue;
    }
    std::string key = match[1], value = match[2];
    ++seen[key];
    if (key == "song") {
      state.song = value;
      good = good && std::find(mpl_songs.begin(), mpl_songs.end(), value) != mpl_songs.end();
    } else if (key == "status") {
      state.status = value;
      good = good && (value == "play" || value == "pause" || value == "stop");
    } else if (key == "frame") {
      state.frame = value;
      good = good && (value == "kept" || value == "fresh");
    } else {
      static const std::regex number("0|[1-9][0-9]{0,17}");
      good = good && std::regex_match(value, number);
      state.generation = good ? std::stol(value) : -1;
    }
  }
  state.well_formed = good && seen.size() == 4 && seen["song"] == 1 && seen["status"] == 1 &&
                      seen["frame"] == 1 && seen["generation"] == 1;
  return state;
}

std::vector<std::string> mpl_addresses(const std::string &mpl) {
  std::vector<std::string> songs;
  std::istringstream lines(mpl);
  std::string line;
  while (std::getline(lines, line)) {
    int device, list, song;
    if (sscanf(line.c_str(), "%d %d %d", &device, &list, &song) == 3 && song != 0)
      songs.push_back(std::to_string(device) + " " + std::to_string(list) + " " +
                      std::to_string(song));
  }
  return songs;
}

std::vector<std::string> check_play_lists(const std::string &reference, bool complete) {
  std::vector<std::string> problems;
  std::string mpl = read_text("/tmp/MPL");
  if (!mpl.empty() && mpl.back() != '\n')
    problems.push_back("/tmp/MPL: its last line is torn");
  std::set<std::string> known;
  {
    std::istringstream lines(reference);
    std::string line;
    while (std::getline(lines, line))
      known.insert(line);
  }
  std::istringstream lines(mpl);
  std::string line;
  size_t count = 0;
  while (std::getline(lines, line)) {
    ++count;
    if (!known.contains(line)) {
      problems.push_back("/tmp/MPL: a line not of the collection: \"" + line.substr(0, 60) + "\"");
      break;
    }
  }
  if (complete && mpl != reference)
    problems.push_back("/tmp/MPL: not the collection's master list (" + std::to_string(count) +
                       " lines of " + std::to_string(known.size()) + ")");

  if (!file_exists("/tmp/OPL")) {
    if (complete)
      problems.push_back("/tmp/OPL: missing");
    return problems;
  }
  std::string opl = read_text("/tmp/OPL");
  std::vector<std::string> songs = mpl_addresses(reference);
  std::multiset<std::string> listed;
  std::istringstream order_lines(opl);
  int expected_order = 1;
  static const std::regex form("([1-9][0-9]*) ([0-9]+ [0-9]+ [0-9]+)");
  while (std::getline(order_lines, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, form) || std::stoi(match[1]) != expected_order) {
      problems.push_back("/tmp/OPL: line " + std::to_string(expected_order) + " malformed: \"" +
                         line.substr(0, 40) + "\"");
      return problems;
    }
    listed.insert(match[2]);
    ++expected_order;
  }
  if (!opl.empty() && opl.back() != '\n')
    problems.push_back("/tmp/OPL: its last line is torn");
  if (listed != std::multiset<std::string>(songs.begin(), songs.end()))
    problems.push_back("/tmp/OPL: does not name each song of the collection once");
  return problems;
}
