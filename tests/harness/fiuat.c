/* Failure points for calls that libfiu's POSIX preload library cannot fail in the
 * jukebox's programs, preloaded before it into a program under test (fiu-run -x):
 *
 *   openat    posix/io/oc/openat     libfiu 1.1 does not wrap it; files are replaced
 *   renameat  posix/io/dir/renameat  with openat and renameat (common/atomic_file.h)
 *   write     posix/io/rw/write      libfiu wraps these, but passes every call through
 *   fsync     posix/io/sync/fsync    while the process is inside another wrapped call
 *                                    (its recursion guard), so a save made in a signal
 *                                    handler that interrupted a wrapped read never fails
 *
 * Each call asks libfiu (fiu_fail, loaded with fiu-run's preload library) under the name
 * libfiu gives it, so `fiu-run -x -c 'enable name=posix/io/dir/renameat,failinfo=5'`
 * makes every renameat fail with errno 5 (EIO), and fiu-ctrl enables and disables the
 * points as usual; without failinfo the errno is EIO. A call that does not fail goes to
 * the kernel. Without libfiu loaded (no fiu-run) nothing fails.
 *
 * With VELM_FIU_ONLY set to a program's name, only that program's calls fail here: the
 * programs it starts, which inherit the preloads and libfiu's enabled points, pass these
 * four calls to the kernel (libfiu's own points still fail in all of them). */

#define _GNU_SOURCE
/* The stand-in defines openat and openat64 both, as the C library does: the build's
 * large-file setting (which makes openat a name of openat64 on 32-bit machines) is not
 * for it. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef int (*fiu_fail_fn)(const char *);
typedef void *(*fiu_failinfo_fn)(void);

static fiu_fail_fn fail;
static fiu_failinfo_fn failinfo;

/* Looked up before main, so that a call in a signal handler allocates nothing. */
__attribute__((constructor)) static void look_up(void) {
  const char *only = getenv("VELM_FIU_ONLY");
  if (only != NULL && *only != '\0' && strcmp(only, program_invocation_short_name) != 0)
    return;
  fail = (fiu_fail_fn)dlsym(RTLD_DEFAULT, "fiu_fail");
  failinfo = (fiu_failinfo_fn)dlsym(RTLD_DEFAULT, "fiu_failinfo");
}

/* Whether the failure point fails this call; errno is then set. */
static int fails(const char *point) {
  int saved = errno;
  if (fail == NULL || !fail(point)) {
    errno = saved;
    return 0;
  }
  long info = failinfo == NULL ? 0 : (long)failinfo();
  errno = info != 0 ? (int)info : EIO;
  return 1;
}

static int open_at(int dir_fd, const char *path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    mode = va_arg(args, mode_t);
  if (fails("posix/io/oc/openat"))
    return -1;
  return (int)syscall(SYS_openat, dir_fd, path, flags, mode);
}

int openat(int dir_fd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_at(dir_fd, path, flags, args);
  va_end(args);
  return fd;
}

int openat64(int dir_fd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_at(dir_fd, path, flags, args);
  va_end(args);
  return fd;
}

int renameat(int old_dir_fd, const char *old_path, int new_dir_fd, const char *new_path) {
  if (fails("posix/io/dir/renameat"))
    return -1;
  return (int)syscall(SYS_renameat, old_dir_fd, old_path, new_dir_fd, new_path);
}

ssize_t write(int fd, const void *buffer, size_t size) {
  if (fails("posix/io/rw/write"))
    return -1;
  return syscall(SYS_write, fd, buffer, size);
}

int fsync(int fd) {
  if (fails("posix/io/sync/fsync"))
    return -1;
  return (int)syscall(SYS_fsync, fd);
}
