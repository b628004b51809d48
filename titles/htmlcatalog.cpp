// htmlcatalog: writes the whole collection of the master list as one linked HTML page
// on standard output.

#include "catalog.h"
#include "output.h"
#include "paths.h"
#include "plfile.h"

#include <cstdio>
#include <stdio_ext.h>

int main(int argc, char **argv) {
  (void)argv;
  if (argc != 1) {
    fputs("Usage: htmlcatalog\n", stderr);
    return 1;
  }
  FILE *mpl = pl_open_read(MPL_PATH);
  if (mpl == nullptr) {
    fprintf(stderr, "Could not open MPL file <%s>.\n", MPL_PATH);
    return 1;
  }
  // The page is written in large pieces by this one writer.
  __fsetlocking(stdout, FSETLOCKING_BYCALLER);
  setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  write_catalog(mpl, stdout);
  fclose(mpl);
  // A page cut short by a full disk must not pass for the catalogue.
  return close_stdout("htmlcatalog: ") ? 0 : 1;
}
