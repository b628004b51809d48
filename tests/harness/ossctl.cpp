// ossctl: one ioctl() request on a mixer device, as an OSS program makes it, for the
// tests of the mixer: opens DEVICE read-only, passes the int VALUE (0 when not given) with
// REQUEST (a number, such as 0xC0044D04), closes, and prints "0x<value>" (the int the
// request answered with) or "error: <the system's text>".
//
//   ossctl DEVICE REQUEST [VALUE]

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    fputs("usage: ossctl DEVICE REQUEST [VALUE]\n", stderr);
    return 2;
  }
  unsigned long request = strtoul(argv[2], nullptr, 0);
  int value = argc == 4 ? static_cast<int>(strtol(argv[3], nullptr, 0)) : 0;
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    printf("error: %s\n", strerror(errno));
    return 1;
  }
  int result = ioctl(fd, request, &value);
  int saved = errno;
  close(fd);
  if (result != 0) {
    printf("error: %s\n", strerror(saved));
    return 1;
  }
  printf("0x%X\n", static_cast<unsigned>(value));
  return 0;
}
