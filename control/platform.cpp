// The daemon's own shell, mixer device and resume point behind the seams of control.h.

#include "control.h"
#include "daemon.h"
#include "paths.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int shell_run(const char *command) {
  return system(command); // NOLINT(cert-env33-c): the player scripts are shell
}

int mixer_device_open() {
  return open(MIXER_DEVICE_PATH, O_RDONLY | O_CLOEXEC);
}

int mixer_device_request(int fd, unsigned long request, int *argument) {
  return ioctl(fd, request, argument);
}

void mixer_device_close(int fd) {
  close(fd);
}

int saved_frame() {
  return read_int(FRAMEPOS_PATH);
}
