#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A TCP port free on every address of the machine just now (the kernel's choice for a
// socket bound to port 0); -1 when none can be had.
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  socklen_t size = sizeof any;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&any), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&any), &size) == 0)
    port = ntohs(any.sin_port);
  close(fd);
  return port;
}
