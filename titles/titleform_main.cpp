// titleform: prints the display title of a path.

#include "output.h"
#include "titleform.h"

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    fputs("Usage: titleform <pathname>\n", stderr);
    return 1;
  }
  char path[TITLE_BUFFER_SIZE];
  char title[TITLE_BUFFER_SIZE];
  title_work_copy(path, argv[1]);
  titleform(path, title);
  printf("%s\n", title);
  return close_stdout("titleform: ") ? 0 : 1;
}
