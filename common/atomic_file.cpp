#include "atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool atomic_open(AtomicFile *file, const char *target) {
  file->target = target;
  file->temp = file->target + ".XXXXXX";
  int fd = mkostemp(file->temp.data(), O_CLOEXEC);
  if (fd < 0)
    return false;
  // mkstemp creates the file for its owner only; give it the mode fopen would have.
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0666 & ~mask) != 0 || (file->fp = fdopen(fd, "w")) == nullptr) {
    int saved = errno;
    close(fd);
    unlink(file->temp.c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool atomic_commit(AtomicFile *file) {
  bool ok = fflush(file->fp) == 0 && ferror(file->fp) == 0 && fsync(fileno(file->fp)) == 0;
  int saved = errno;
  if (fclose(file->fp) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  file->fp = nullptr;
  if (ok && rename(file->temp.c_str(), file->target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(file->temp.c_str());
    errno = saved;
    return false;
  }
  // Make the rename itself durable.
  std::string dir = file->target.substr(0, file->target.rfind('/') + 1);
  int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}
