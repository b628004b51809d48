// lircd_stub: a stand-in of lircd's socket for velm_input's tests. It listens at SOCKET
// and follows steps from standard input, one a line:
//
//   accept        waits for a client (at most 20 s)
//   close         closes the client's connection
//   wait MS
//   anything else is sent to the client as a line
//
//   lircd_stub SOCKET

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2 || strlen(argv[1]) >= sizeof(sockaddr_un::sun_path)) {
    fprintf(stderr, "usage: lircd_stub SOCKET <steps\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  alarm(60);
  int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, argv[1]);
  unlink(argv[1]);
  if (server < 0 || bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(server, 4) != 0) {
    fprintf(stderr, "lircd_stub: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  int client = -1;
  char line[512];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    int ms;
    if (sscanf(line, "wait %d", &ms) == 1) { // NOLINT(cert-err34-c)
      timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
      nanosleep(&pause, nullptr);
    } else if (strcmp(line, "accept\n") == 0) {
      client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    } else if (strcmp(line, "close\n") == 0) {
      close(client);
      client = -1;
    } else if (client >= 0) {
      if (write(client, line, strlen(line)) < 0)
        fprintf(stderr, "lircd_stub: %s\n", strerror(errno));
    }
  }
  unlink(argv[1]);
  return 0;
}
