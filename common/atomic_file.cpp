#include "atomic_file.h"

#include "format.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool write_all(int fd, const char *text, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    text += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Closes what the caller opened, keeping the errno of the failure being reported.
void close_keeping_errno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

} // namespace

bool replace_begin(Replacement &r, int dir_fd, const char *name, mode_t mode) {
  r.dir_fd = dir_fd;
  r.name = name;
  r.fd = -1;
  // "<name>.<pid>": a name of this process's own, so two programs replacing the same file
  // never take each other's temporary.
  size_t length = strlen(name);
  if (length + 12 > sizeof r.temp) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(r.temp, name, length);
  r.temp[length] = '.';
  *put_decimal(r.temp + length + 1, static_cast<int>(getpid())) = '\0';

  unlinkat(dir_fd, r.temp, 0);
  r.fd = openat(dir_fd, r.temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                mode != 0 ? mode : 0666);
  if (r.fd < 0)
    return false;
  if (mode != 0 && fchmod(r.fd, mode) != 0) {
    replace_abandon(r);
    return false;
  }
  return true;
}

bool replace_commit(Replacement &r) {
  bool ok = fsync(r.fd) == 0;
  int saved = errno;
  if (close(r.fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  r.fd = -1;
  if (!ok || renameat(r.dir_fd, r.temp, r.dir_fd, r.name) != 0) {
    if (ok)
      saved = errno;
    unlinkat(r.dir_fd, r.temp, 0);
    errno = saved;
    return false;
  }
  // Make the rename itself durable.
  fsync(r.dir_fd);
  return true;
}

void replace_abandon(Replacement &r) {
  int saved = errno;
  if (r.fd >= 0)
    close(r.fd);
  r.fd = -1;
  unlinkat(r.dir_fd, r.temp, 0);
  errno = saved;
}

bool replace_file_at(int dir_fd, const char *name, const char *text, size_t size, mode_t mode) {
  Replacement r;
  if (!replace_begin(r, dir_fd, name, mode))
    return false;
  if (!write_all(r.fd, text, size)) {
    replace_abandon(r);
    return false;
  }
  return replace_commit(r);
}

int open_folder_of(const char *path, const char **name) {
  // The folder's path, assembled without allocation.
  char dir[PATH_MAX];
  const char *slash = strrchr(path, '/');
  size_t dir_length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
  if (dir_length >= sizeof dir) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (dir_length == 0) {
    dir[0] = slash == nullptr ? '.' : '/';
    dir_length = 1;
  } else {
    memcpy(dir, path, dir_length);
  }
  dir[dir_length] = '\0';
  *name = slash == nullptr ? path : slash + 1;
  int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 && errno == EACCES)
    dir_fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return dir_fd;
}

bool write_text_file(const char *path, const char *text, size_t size, mode_t mode) {
  const char *name;
  int dir_fd = open_folder_of(path, &name);
  if (dir_fd < 0)
    return false;
  bool ok = replace_file_at(dir_fd, name, text, size, mode);
  close_keeping_errno(dir_fd);
  return ok;
}

bool atomic_open(AtomicFile *file, const char *target) {
  const char *name;
  int dir_fd = open_folder_of(target, &name);
  if (dir_fd < 0)
    return false;
  if (!replace_begin(file->replacement, dir_fd, name)) {
    close_keeping_errno(dir_fd);
    return false;
  }
  // The stream has a descriptor of its own, so the replacement's stays open for the sync
  // once the stream is closed.
  int stream_fd = fcntl(file->replacement.fd, F_DUPFD_CLOEXEC, 0);
  file->fp = stream_fd >= 0 ? fdopen(stream_fd, "w") : nullptr;
  if (file->fp == nullptr) {
    if (stream_fd >= 0)
      close_keeping_errno(stream_fd);
    replace_abandon(file->replacement);
    close_keeping_errno(dir_fd);
    return false;
  }
  return true;
}

bool atomic_commit(AtomicFile *file) {
  Replacement &r = file->replacement;
  bool ok = fflush(file->fp) == 0 && ferror(file->fp) == 0;
  int saved = errno;
  if (fclose(file->fp) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  file->fp = nullptr;
  if (ok) {
    ok = replace_commit(r);
    saved = errno;
  } else {
    replace_abandon(r);
  }
  close(r.dir_fd);
  errno = saved;
  return ok;
}
