/* Failure points for the calls libfiu's POSIX preload library does not wrap, preloaded
 * after it into a program under test (fiu-run -x): the jukebox replaces its files with
 * openat and renameat, which libfiu 1.1 leaves alone. Each call asks libfiu first, under
 * the name libfiu would give it:
 *
 *   openat    posix/io/oc/openat
 *   renameat  posix/io/dir/renameat
 *
 * so `fiu-run -x -c 'enable name=posix/io/dir/renameat,failinfo=5'` makes every renameat
 * fail with errno 5 (EIO); without failinfo the errno is EIO. Without libfiu loaded (no
 * fiu-run) the calls go to the kernel unchanged.
 *
 * With VELM_FIU_ONLY set to a program's name, only that program's calls may fail: the
 * programs it starts, which inherit the preloads and libfiu's enabled points, pass these
 * two calls to the kernel (libfiu's own points still fail in all of them). */

#define _GNU_SOURCE
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

/* Whether the failure point fails this call; errno is then set. */
static int fails(const char *point) {
  static fiu_fail_fn fail;
  static fiu_failinfo_fn failinfo;
  static int looked;
  if (!looked) {
    const char *only = getenv("VELM_FIU_ONLY");
    if (only == NULL || *only == '\0' || strcmp(only, program_invocation_short_name) == 0) {
      fail = (fiu_fail_fn)dlsym(RTLD_DEFAULT, "fiu_fail");
      failinfo = (fiu_failinfo_fn)dlsym(RTLD_DEFAULT, "fiu_failinfo");
    }
    looked = 1;
  }
  if (fail == NULL || !fail(point))
    return 0;
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
