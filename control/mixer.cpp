#include "control.h"
#include "daemon.h"
#include "paths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The four settings. The save timer's handler reads them at any moment.
volatile sig_atomic_t volume;  // 0..100, the PCM level in percent
volatile sig_atomic_t balance; // -100..100; below 0 lowers the right side, above 0 the left
volatile sig_atomic_t bass;    // 0..100
volatile sig_atomic_t treble;  // 0..100

constexpr int STEP = 4;

// Requests and channel bits of the OSS mixer interface.
constexpr unsigned long SOUND_MIXER_READ_DEVMASK = 0x80044DFE;
constexpr unsigned long SOUND_MIXER_WRITE_VOLUME = 0xC0044D00;
constexpr unsigned long SOUND_MIXER_WRITE_BASS = 0xC0044D01;
constexpr unsigned long SOUND_MIXER_WRITE_TREBLE = 0xC0044D02;
constexpr unsigned long SOUND_MIXER_WRITE_PCM = 0xC0044D04;
constexpr int SOUND_MASK_VOLUME = 0x01;
constexpr int SOUND_MASK_BASS = 0x02;
constexpr int SOUND_MASK_TREBLE = 0x04;
constexpr int SOUND_MASK_PCM = 0x10;
constexpr int MASTER_LEVEL = 0x5A5A; // 90 left, 90 right

// Opens the mixer for one request; on failure traces "<who>: Failed to open ...".
int mixer_open(const char *who) {
  int fd = mixer_device_open();
  if (fd < 0)
    debug_tracef("%s: Failed to open mixer device (%s): %s", who, MIXER_DEVICE_PATH,
                 strerror(errno));
  return fd;
}

// The channels the mixer has; a failed request counts as none.
int device_mask(int fd) {
  int mask = 0;
  if (mixer_device_request(fd, SOUND_MIXER_READ_DEVMASK, &mask) != 0)
    return 0;
  return mask;
}

void write_level(int fd, unsigned long request, int level) {
  mixer_device_request(fd, request, &level);
}

void oss_setmaster() {
  int fd = mixer_open("oss_setvolume");
  if (fd < 0)
    return;
  if (device_mask(fd) & SOUND_MASK_VOLUME)
    write_level(fd, SOUND_MIXER_WRITE_VOLUME, MASTER_LEVEL);
  mixer_device_close(fd);
}

void oss_setvolume(int left, int right) {
  int fd = mixer_open("oss_setvolume()");
  if (fd < 0)
    return;
  if (device_mask(fd) & SOUND_MASK_PCM)
    write_level(fd, SOUND_MIXER_WRITE_PCM, left | right << 8);
  mixer_device_close(fd);
}

void oss_settone(int bass_level, int treble_level) {
  int fd = mixer_open("oss_settone");
  if (fd < 0)
    return;
  int mask = device_mask(fd);
  if (!(mask & SOUND_MASK_BASS)) {
    mixer_device_close(fd);
    debug_trace("oss_settone: failed to set bass");
    return;
  }
  write_level(fd, SOUND_MIXER_WRITE_BASS, bass_level | bass_level << 8);
  if (!(mask & SOUND_MASK_TREBLE)) {
    mixer_device_close(fd);
    debug_trace("oss_settone: failed to set treble");
    return;
  }
  write_level(fd, SOUND_MIXER_WRITE_TREBLE, treble_level | treble_level << 8);
  mixer_device_close(fd);
}

// "<word> %i": a display command line with its value.
void display_value(const char *word, int value) {
  char line[48];
  snprintf(line, sizeof line, "%s %i", word, value);
  ipc_write_display(line);
}

// Runs in the SIGALRM handler: only calls that are safe there.
void write_setting(const char *path, int value) {
  if (!write_int_file(path, value)) {
    static const char message[] = "\r\n[velm_control] write_string failed\r\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
  }
}

void mixer_save() {
  debug_trace("mixer_save");
  write_setting(VOLUME_PATH, volume);
  write_setting(BALANCE_PATH, balance);
  write_setting(BASS_PATH, bass);
  write_setting(TREBLE_PATH, treble);
}

// Installed for SIGALRM alone.
void timer_handler(int /*signal_number*/) {
  int saved = errno;
  mixer_save();
  errno = saved;
}

} // namespace

void mixer_setvolume(int requested) {
  if (requested >= 0 && requested <= 100)
    volume = requested;
  int v = volume;
  int b = balance;
  // The attenuated side: the factor first, then the product, truncated.
  double factor = (100 - (b < 0 ? -b : b)) / 100.0;
  int attenuated = static_cast<int>(factor * v);
  int left = b < 0 ? v : attenuated;
  int right = b < 0 ? attenuated : v;
  debug_tracef("mixer_setvolume %i %i", left, right);
  display_value("display_setvolume", v);
  oss_setvolume(left, right);
}

void mixer_setbalance(int requested) {
  if (requested >= -100 && requested <= 100)
    balance = requested;
  debug_tracef("mixer_setbalance %i", static_cast<int>(balance));
  display_value("display_setbalance", balance);
  mixer_setvolume(volume);
}

void mixer_settone(int requested_bass, int requested_treble) {
  if (requested_bass >= 0 && requested_bass <= 100)
    bass = requested_bass;
  if (requested_treble >= 0 && requested_treble <= 100)
    treble = requested_treble;
  debug_tracef("mixer_settone %i %i", static_cast<int>(bass), static_cast<int>(treble));
  display_value("display_setbass", bass);
  display_value("display_settreble", treble);
  oss_settone(bass, treble);
}

MixerSettings mixer_settings() {
  return {volume, balance, bass, treble};
}

void mixer_volumeup() {
  debug_trace("mixer_volumeup");
  mixer_setvolume(volume + STEP);
}
void mixer_volumedown() {
  debug_trace("mixer_volumedown");
  mixer_setvolume(volume - STEP);
}
void mixer_balanceleft() {
  debug_trace("mixer_balanceleft");
  mixer_setbalance(balance - STEP);
}
void mixer_balanceright() {
  debug_trace("mixer_balanceright");
  mixer_setbalance(balance + STEP);
}
void mixer_bassup() {
  debug_trace("mixer_bassup");
  mixer_settone(bass + STEP, treble);
}
void mixer_bassdown() {
  debug_trace("mixer_bassdown");
  mixer_settone(bass - STEP, treble);
}
void mixer_trebleup() {
  debug_trace("mixer_trebleup");
  mixer_settone(bass, treble + STEP);
}
void mixer_trebledown() {
  debug_trace("mixer_trebledown");
  mixer_settone(bass, treble - STEP);
}

namespace {

void mixer_load() {
  debug_trace("mixer_load");
  mixer_setbalance(read_int(BALANCE_PATH));
  mixer_setvolume(read_int(VOLUME_PATH));
  int saved_treble = read_int(TREBLE_PATH);
  int saved_bass = read_int(BASS_PATH);
  mixer_settone(saved_bass, saved_treble);
}

} // namespace

void mixer_init() {
  oss_setmaster();
  mixer_load();
}

void timer_init() {
  struct sigaction action = {};
  action.sa_handler = timer_handler;
  action.sa_flags = SA_RESTART; // a read or wait the save interrupts goes on
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  struct itimerval every_10s = {{10, 0}, {10, 0}};
  setitimer(ITIMER_REAL, &every_10s, nullptr);
}
