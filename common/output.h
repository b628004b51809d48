#pragma once

#include <cstdio>

// Flushes and closes a stream that a program wrote its result to, so that a write that
// failed, now or earlier (a full disk, a closed descriptor), is not taken for success.
// On failure writes "<prefix><name>: <reason>\n" to standard error and returns false;
// the prefix is the program's own ("htmlcatalog: ", "[scantree]"). The stream is closed
// either way.
bool close_output(FILE *fp, const char *prefix, const char *name);

// close_output for standard output, named "standard output".
bool close_stdout(const char *prefix);
