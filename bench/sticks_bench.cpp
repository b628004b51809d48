// sticks_bench: a stick of 10,000 songs (100 lists of 100) plugged into a running jukebox
// (velm -m), timed from its mount until its songs are in the order list /tmp/OPL and on
// the web catalogue's page. The stick is a real ext4 file system on a loop device, the
// mount the kernel's; the launcher sees it in its mount table watch, scans it, builds the
// order list, writes the page and has the play core start the music. Target: under 1 s
// (median of the runs). The tools the launcher runs for it are then timed alone, to show
// where the time goes.
//
// The jukebox works at its fixed paths and the stick needs a loop device and a mount,
// so the bench runs only as root inside the project's sandbox launcher (bench/run.sh
// sticks starts it so).
//
//   sticks_bench [--runs N] [--songs N]

#include "free_port.h"
#include "paths.h"

#include "bench_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

[[noreturn]] void fail(const std::string &what) {
  fprintf(stderr, "sticks_bench: %s\n", what.c_str());
  exit(2);
}

void shell(const std::string &command) {
  if (system(command.c_str()) != 0)
    fail("failed: " + command);
}

const char MEDIA[] = "/mnt/media";
const char STICK[] = "/mnt/media/BIG";

// The stick's image: `lists` lists of 100 songs, one real MP3 linked under every name,
// and a loop device for it (the nodes made in the sandbox's /dev).
std::string make_stick(int lists) {
  shell("tonegen 1 440 | lame --quiet -m m -b 32 --tt Song --ta Bench - /mnt/one.mp3");
  shell("mkdir -p /mnt/staging && cd /mnt/staging && for l in $(seq -w 1 " + std::to_string(lists) +
        "); do mkdir list$l; for s in $(seq -w 1 100); do ln /mnt/one.mp3 list$l/song$s.mp3; "
        "done; done");
  shell("truncate -s 64M /mnt/stick.img && mkfs.ext4 -q -F -N " +
        std::to_string(lists * 100 + 1000) +
        " -U 0b0b0b0b-0b0b-4b0b-8b0b-0b0b0b0b0b0b -L BIG -d /mnt/staging /mnt/stick.img");
  std::string nodes = "[ -e /dev/loop-control ] || mknod /dev/loop-control c 10 237; "
                      "for d in /sys/block/loop*; do n=${d##*/}; [ -e /dev/$n ] || "
                      "mknod /dev/$n b $(tr : ' ' <$d/dev) 2>/dev/null; done; true";
  for (int attempt = 0; attempt < 10; ++attempt) {
    shell(nodes);
    FILE *out = popen("losetup -f --show /mnt/stick.img 2>/dev/null", "re");
    char line[128] = "";
    bool got = out != nullptr && fgets(line, sizeof line, out) != nullptr;
    if (out != nullptr && pclose(out) == 0 && got) {
      std::string device = line;
      if (!device.empty() && device.back() == '\n')
        device.pop_back();
      return device;
    }
    usleep(100000);
  }
  fail("no loop device for the stick");
}

struct Stamp {
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const Stamp &o) const {
    return inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec;
  }
};

Stamp stamp_of(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0)
    return {};
  return {st.st_ino, st.st_size, st.st_mtim};
}

long count_lines(const std::string &text) {
  return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

// Waits until the order list holds `songs` songs and the page names the last list (or,
// with `songs` 0, until both are empty of the stick again); the seconds from `start`.
double await_lists(double start, long songs, const std::string &last_list) {
  Stamp opl_seen{}, page_seen{};
  bool opl_done = false, page_done = false;
  while (now_seconds() - start < 60) {
    Stamp opl = stamp_of(OPL_PATH), page = stamp_of(WEB_PAGE_PATH);
    if (!(opl == opl_seen)) {
      opl_seen = opl;
      opl_done = count_lines(read_text(OPL_PATH)) == songs;
    }
    if (!(page == page_seen)) {
      page_seen = page;
      page_done = (read_text(WEB_PAGE_PATH).find(last_list) != std::string::npos) == (songs > 0);
    }
    if (opl_done && page_done)
      return now_seconds() - start;
    usleep(500);
  }
  fail("the lists did not follow the stick within 60 s");
}

double time_of(const std::string &command) {
  double start = now_seconds();
  shell(command);
  return now_seconds() - start;
}

} // namespace

int main(int argc, char **argv) {
  int runs = 7;
  int songs = 10000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc)
      runs = atoi(argv[++i]);
    else if (arg == "--songs" && i + 1 < argc)
      songs = atoi(argv[++i]);
    else
      fail("usage: sticks_bench [--runs N] [--songs N]");
  }
  if (runs < 1 || songs < 100)
    fail("--runs needs at least 1, --songs at least 100");
  if (!inside_sandbox() || geteuid() != 0)
    fail("run me as root inside the sandbox launcher (sudo bench/run.sh sticks)");
  signal(SIGPIPE, SIG_IGN);
  setenv("PATH", (std::string(VELM_BIN_DIR) + ":" + getenv("PATH")).c_str(), 1);
  int lists = (songs + 99) / 100;
  songs = lists * 100;

  printf("sticks_bench: a stick of %s songs mounted into the running jukebox (load %s)\n",
         with_commas(songs).c_str(), load_average().c_str());
  fprintf(stderr, "sticks: making the stick...\n");
  std::string device = make_stick(lists);
  char last[32]; // as the page shows the list: its title
  snprintf(last, sizeof last, "List%0*d", static_cast<int>(std::to_string(lists).size()), lists);
  std::string last_list = last;

  shell(std::string("mkdir -p ") + STICK);
  int web_port = free_port();
  if (web_port < 0)
    fail("no free port");
  pid_t launcher = fork();
  if (launcher == 0) {
    int log = open("/tmp/bench.velm.err", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(log, STDERR_FILENO);
    std::string port = std::to_string(web_port);
    execlp("velm", "velm", "-n", "-w", port.c_str(), "-m", MEDIA, static_cast<char *>(nullptr));
    _exit(127);
  }
  // The jukebox is up once its page is there (it says "NO MUSIC" meanwhile).
  double up = now_seconds();
  while (stamp_of(WEB_PAGE_PATH).inode == 0) {
    if (now_seconds() - up > 30)
      fail("the jukebox did not start its web catalogue");
    usleep(10000);
  }
  usleep(500000);

  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    fprintf(stderr, "sticks: run %d of %d\n", run + 1, runs);
    double start = now_seconds();
    if (mount(device.c_str(), STICK, "ext4", 0, nullptr) != 0)
      fail("mount " + device + ": " + strerror(errno));
    times.push_back(await_lists(start, songs, last_list));
    // Pulled out again, and the lists back to no song before the next run.
    double pulled = now_seconds();
    if (umount2(STICK, MNT_DETACH) != 0)
      fail(std::string("umount: ") + strerror(errno));
    await_lists(pulled, 0, last_list);
    usleep(300000);
  }
  kill(launcher, SIGTERM);
  int status = 0;
  waitpid(launcher, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    fail("velm did not end with status 0 (see /tmp/bench.velm.err)");

  double mid = median(times);
  add_row({"stick of " + with_commas(songs) + " songs plugged in to OPL and page, median of " +
               std::to_string(runs),
           format_time(mid), "", "", "< 1 s", mid < 1 ? "PASS" : "FAIL"});
  add_row(
      {"slowest run", format_time(*std::max_element(times.begin(), times.end())), "", "", "", "-"});

  // Where the time goes: the launcher's steps alone, on the stick mounted.
  if (mount(device.c_str(), STICK, "ext4", 0, nullptr) != 0)
    fail("mount " + device + ": " + strerror(errno));
  // Readers in place of the player and the display, which the play core tells.
  shell("rm -f /tmp/fifo.player /tmp/fifo.display && mkfifo /tmp/fifo.player /tmp/fifo.display "
        "&& for f in player display; do (while :; do cat /tmp/fifo.$f; done >/dev/null &) ; done");
  std::vector<double> scan, order, page, rescan;
  for (int run = 0; run < 3; ++run) {
    scan.push_back(
        time_of(std::string("rm -f /tmp/MPL && scantree ") + STICK + " 1 >/dev/null 2>&1"));
    order.push_back(time_of("orderbuild >/dev/null 2>&1"));
    page.push_back(time_of("htmlcatalog >/tmp/bench.page.html"));
    rescan.push_back(time_of("rm -f /tmp/PLAYSTATE && velm_play rescan >/dev/null 2>&1"));
  }
  umount2(STICK, MNT_DETACH);
  shell("losetup -d " + device);
  add_row({"  scantree of the stick", format_time(median(scan)), "", "", "", "-"});
  add_row({"  orderbuild", format_time(median(order)), "", "", "", "-"});
  add_row({"  htmlcatalog", format_time(median(page)), "", "", "", "-"});
  add_row(
      {"  velm_play rescan (the first song chosen)", format_time(median(rescan)), "", "", "", "-"});
  print_table();
  add_note("\nEach run: mount(2) of the stick's ext4 file system (loop device) below %s, until "
           "/tmp/OPL holds its %s songs and /tmp/velm-www/index.html names its last list; then "
           "a lazy unmount and the lists back to none.\n",
           MEDIA, with_commas(songs).c_str());
  printf("%s", notes.c_str());
  return all_met ? 0 : 1;
}
