/* Stand-in OSS mixer for tests, preloaded into a program under test. The test makes
 * /dev/mixer an ordinary file (the sandbox's /dev is private); every ioctl() on a
 * descriptor of that file is answered here instead of by a driver:
 *
 *   SOUND_MIXER_READ_DEVMASK  gives the mask in VELM_FAKE_MIXER_MASK ("0x17", "23"; all
 *                             four channels 0x17 when unset), or fails with EINVAL when
 *                             that variable is "fail";
 *   SOUND_MIXER_WRITE_VOLUME, _BASS, _TREBLE, _PCM  are taken as they come;
 *   any other request         fails with EINVAL.
 *
 * Each request is appended to the file named by VELM_FAKE_MIXER_LOG as one line:
 * "READ_DEVMASK" (or "READ_DEVMASK failed"), "WRITE_PCM 0x3c3c" and so on with the level
 * word in hex, "REQUEST 0x<number>" for one the mixer does not know. A request on a
 * descriptor that was not opened read-only is preceded by the line "NOT_READ_ONLY".
 * The ioctls on every other descriptor go to the kernel unchanged. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#define MIXER_PATH "/dev/mixer"
#define READ_DEVMASK 0x80044DFEUL
#define DEFAULT_MASK 0x17

static int is_mixer(int fd) {
  char link[64], target[sizeof MIXER_PATH + 1];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target);
  return length == (ssize_t)strlen(MIXER_PATH) && memcmp(target, MIXER_PATH, (size_t)length) == 0;
}

static void log_line(const char *line) {
  const char *path = getenv("VELM_FAKE_MIXER_LOG");
  if (path == NULL || *path == '\0')
    return;
  int saved = errno;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char text[96];
    int length = snprintf(text, sizeof text, "%s\n", line);
    ssize_t ignored = write(fd, text, (size_t)length);
    (void)ignored;
    close(fd);
  }
  errno = saved;
}

static const char *write_name(unsigned long request) {
  switch (request) {
  case 0xC0044D00UL:
    return "WRITE_VOLUME";
  case 0xC0044D01UL:
    return "WRITE_BASS";
  case 0xC0044D02UL:
    return "WRITE_TREBLE";
  case 0xC0044D04UL:
    return "WRITE_PCM";
  default:
    return NULL;
  }
}

static int mixer_request(int fd, unsigned long request, int *value) {
  char line[64];
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY)
    log_line("NOT_READ_ONLY");
  if (request == READ_DEVMASK) {
    const char *mask = getenv("VELM_FAKE_MIXER_MASK");
    if (mask != NULL && strcmp(mask, "fail") == 0) {
      log_line("READ_DEVMASK failed");
      errno = EINVAL;
      return -1;
    }
    *value = mask == NULL || *mask == '\0' ? DEFAULT_MASK : (int)strtol(mask, NULL, 0);
    log_line("READ_DEVMASK");
    return 0;
  }
  const char *name = write_name(request);
  if (name == NULL) {
    snprintf(line, sizeof line, "REQUEST 0x%08lx", request);
    log_line(line);
    errno = EINVAL;
    return -1;
  }
  snprintf(line, sizeof line, "%s 0x%04x", name, (unsigned)*value);
  log_line(line);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void *argument = va_arg(args, void *);
  va_end(args);
  if (is_mixer(fd))
    return mixer_request(fd, request, (int *)argument);
  return (int)syscall(SYS_ioctl, fd, request, argument);
}
