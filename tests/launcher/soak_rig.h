#pragma once

// What the soak and power-cut runs of the whole jukebox share: the processes of the
// sandbox, the sample collection, the jukebox's start and its state files as they must
// look at any moment.

#include <string>
#include <sys/types.h>
#include <vector>

double now_seconds();
std::string read_text(const std::string &path); // empty when missing
bool file_exists(const std::string &path);
void write_text(const std::string &path, const std::string &text);
void run_shell(const std::string &command); // exits the program when it fails
void sleep_seconds(double seconds);

// Where the rig keeps what it watches the jukebox through (the player's output
// "player.out", the stand-in mixer's log "mixer.log", the launcher's standard error
// "velm.err"): /tmp, unless the jukebox's /tmp is a disk that power cuts take back
// (then a folder off it).
extern std::string rig_folder;
std::string rig_file(const std::string &name);

// A process of the sandbox, from /proc.
struct Process {
  pid_t pid;
  pid_t parent;
  std::string name; // as /proc/<pid>/comm has it
};
std::vector<Process> processes();
pid_t find_process(const std::string &name); // the first of that name, or -1
int open_descriptors(pid_t pid);             // -1 when the process is gone
long resident_kib(pid_t pid);                // VmRSS; -1 when the process is gone

// One song of the sample collection: where its list is (under /mnt/music), its title
// (also its file's name) and its length.
struct SampleSong {
  std::string list; // "dev1/A"
  std::string title;
  int seconds;
};
// Encodes the songs with tonegen and lame; the device folders are /mnt/music/dev<N>.
void make_collection(const std::vector<SampleSong> &songs);
std::vector<std::string> collection_devices(const std::vector<SampleSong> &songs);

// Starts the launcher as the tests do: LCD and ID3 titles on, the player's output kept in
// /tmp/player.out, the stand-in mixer logging into /tmp/mixer.log, standard error
// appended to /tmp/velm.err. It leads a process group of its own, which every program
// of the jukebox is in.
pid_t start_velm(const std::vector<std::string> &devices);

// The levels the control daemon writes to the PCM channel for a volume and balance, as
// the fake mixer logs them ("0x3c3c").
std::string pcm_word(int volume, int balance);
std::string level_word(int level);

// The mixer state files as a restart reads them: missing or malformed files give 0, and
// so does a value outside its range.
struct MixerValues {
  int volume = 0, balance = 0, bass = 0, treble = 0;
};
MixerValues saved_mixer_values();

// The song the play core's record holds, "device list song"; empty when none.
std::string chosen_song();

// The state files under /tmp, each absent or holding exactly one well-formed value
// (/tmp/PLAYSTATE: its four lines "key value" in order). Returns one line per file that is
// not so ("/tmp/FRAMEPOS: torn: ..."), with `mpl_songs` the "device list song" addresses
// of the collection.
std::vector<std::string> check_state_files(const std::vector<std::string> &mpl_songs);

// The master list's lines are whole and each one of `reference` (all of them when
// `complete`); the order list's lines are whole and name each song of the collection
// once. Problems as above.
std::vector<std::string> check_play_lists(const std::string &reference, bool complete);

// What /tmp/PLAYSTATE holds (its lines "key value"); nothing when the file is missing.
struct RecordOnDisk {
  bool present = false;
  bool well_formed = false; // song, status, frame and generation, each once and valid
  std::string song;         // "device list song"
  std::string status;       // play, pause, stop
  std::string frame;        // kept, fresh
  long generation = -1;
};
RecordOnDisk read_play_state(const std::vector<std::string> &mpl_songs);

// "device list song" of every song line of a master list.
std::vector<std::string> mpl_addresses(const std::string &mpl);
