#include "output.h"

#include <cerrno>
#include <cstring>

namespace {

int cause() {
  return errno != 0 ? errno : EIO;
}

} // namespace

bool close_output(FILE *fp, const char *prefix, const char *name) {
  int error = 0;
  errno = 0;
  if (fflush(fp) != 0)
    error = cause();
  else if (ferror(fp) != 0)
    error = EIO; // an earlier write failed and the C library kept no cause
  errno = 0;
  if (fclose(fp) != 0 && error == 0)
    error = cause();
  if (error == 0)
    return true;
  fprintf(stderr, "%s%s: %s\n", prefix, name, strerror(error));
  return false;
}

bool close_stdout(const char *prefix) {
  return close_output(stdout, prefix, "standard output");
}
