#include "daemon.h"

#include "convert.h"
#include "format.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

bool debug_enabled = false;

namespace {

const char *trace_tag = "";

// Appends src to the text at p, never past end; returns the new end.
char *append(char *p, const char *end, const char *src) {
  while (*src != '\0' && p < end)
    *p++ = *src++;
  return p;
}

} // namespace

void debug_init(const char *tag) {
  trace_tag = tag;
}

void debug_trace(const char *text) {
  if (!debug_enabled)
    return;
  char line[512];
  const char *end = line + sizeof line - 2;
  char *p = line;
  *p++ = '\r';
  *p++ = '\n';
  p = append(p, end, trace_tag);
  p = append(p, end, " ");
  p = append(p, end, text);
  *p++ = '\r';
  *p++ = '\n';
  int saved = errno;
  ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(p - line));
  (void)ignored;
  errno = saved;
}

void debug_tracef(const char *format, ...) {
  if (!debug_enabled)
    return;
  char text[IPC_LINE_SIZE + 128];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  debug_trace(text);
}

void print_daemon_usage(const char *name, const char *version, const char *what,
                        const char *letters, const UsageOption *options, int count) {
  printf("\n%s version %s - %s, by the velm builders\n", name, version, what);
  printf("Usage: velm");
  for (const char *letter = letters; *letter != '\0'; ++letter)
    printf(" [-%c]", *letter);
  printf("\n");
  for (int i = 0; i < count; ++i)
    printf("\t%c\t%s\n", options[i].letter, options[i].text);
  printf("\n");
  printf("For additional information read documentation in usr/doc of the distribution\n");
  printf("Velm jukebox: see README.md of its sources; contact: the velm builders\n\n");
  exit(0);
}

void debug_report_state() {
  fputs(debug_enabled ? "DEBUG messages ENABLED.\n" : "DEBUG messages DISABLED.\n", stderr);
}

void ipc_read_line(FILE *in, char *line) {
  int c;
  do
    c = getc(in);
  while (c != EOF && (c == ' ' || (c >= '\t' && c <= '\r')));
  int length = 0;
  for (; c != EOF && c != '\n'; c = getc(in)) {
    if (length < IPC_LINE_SIZE - 1)
      line[length++] = static_cast<char>(c);
  }
  line[length] = '\0';
  if (c == '\n')
    ungetc(c, in);
}

bool ipc_line_waiting(FILE *in) {
  const char *p = in->_IO_read_ptr;
  const char *end = in->_IO_read_end;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
    ++p;
  return p < end && memchr(p, '\n', static_cast<size_t>(end - p)) != nullptr;
}

int fifo_open_writer(const char *path, int wait_ms, bool wait_for_path, pid_t reader) {
  for (int waited = 0;; waited += 10) {
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
      }
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    bool waiting = errno == ENXIO || (errno == ENOENT && wait_for_path);
    if (!waiting || waited >= wait_ms)
      return -1;
    if (reader > 0 && waitpid(reader, nullptr, WNOHANG) == reader)
      return -1;
    usleep(10000);
  }
}

void read_string(char *buffer, const char *path) {
  buffer[0] = '\0';
  // Only a plain file is read: a FIFO or device put in a state file's place under /tmp
  // must not hold the reader up (the open does not wait, and nothing is read from it).
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  size_t length = 0;
  while (length < IPC_LINE_SIZE - 1) {
    ssize_t got = read(fd, buffer + length, IPC_LINE_SIZE - 1 - length);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    length += static_cast<size_t>(got);
  }
  buffer[length] = '\0';
  close(fd);
}

int read_int(const char *path) {
  char text[IPC_LINE_SIZE];
  read_string(text, path);
  return parse_atoi(text);
}

bool write_int_file(const char *path, int value) {
  char text[16];
  auto size = static_cast<size_t>(put_decimal(text, value) - text);
  return write_text_file(path, text, size);
}

bool ipc_take_line(LineAssembler &a, const char *&p, const char *end) {
  while (p < end) {
    char c = *p++;
    if (!a.in_line) {
      if (c == ' ' || (c >= '\t' && c <= '\r'))
        continue;
      a.in_line = true;
      a.length = 0;
    }
    if (c == '\n') {
      a.line[a.length] = '\0';
      a.in_line = false;
      return true;
    }
    if (a.length < IPC_LINE_SIZE - 1)
      a.line[a.length++] = c;
  }
  return false;
}

bool ipc_take_last_line(LineAssembler &a) {
  if (!a.in_line)
    return false;
  a.line[a.length] = '\0';
  a.in_line = false;
  return true;
}
