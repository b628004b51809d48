#pragma once

#include "atomic_file.h"

#include <cstdio>
#include <sys/types.h>

// The skeleton both daemons share: the debug trace, the command line channel and the
// integer state files.

// Set by the "-d" option; gates debug_trace.
extern bool debug_enabled;

// The tag of the program's trace lines, such as "[velm_control]".
void debug_init(const char *tag);

// Writes "\r\n<tag> <text>\r\n" to standard error when debugging is on. One write call
// with no stdio and no allocation, so it may also be called from a signal handler.
void debug_trace(const char *text);

// The same with printf formatting (not for signal handlers).
void debug_tracef(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "DEBUG messages ENABLED.\n" or "DEBUG messages DISABLED.\n" on standard error.
void debug_report_state();

// One option line of a daemon's usage text.
struct UsageOption {
  char letter;
  const char *text; // such as "Show this help"
};

// Prints a daemon's usage text on standard output and ends the program with status 0:
// the banner line "\n<NAME> version <version> - <what>", "Usage: velm" with the letters
// in `letters` in turn, the option lines ("%s") and an empty line, and where to
// read more.
[[noreturn]] void print_daemon_usage(const char *name, const char *version, const char *what,
                                     const char *letters, const UsageOption *options, int count);

// A command line holds at most 255 characters and its terminator.
inline constexpr int IPC_LINE_SIZE = 256;

// Reads one command line as the pattern "\n%[^\n]" does: white space and empty lines are
// skipped, then the text up to, not including, the next newline is taken. Lines longer
// than 255 characters keep their first 255; the rest of that line is passed over. At the
// end of the file before any character, the line is empty.
void ipc_read_line(FILE *in, char *line);

// True when the stream's buffer already holds a whole further command line, so the
// next ipc_read_line will not wait. It looks into the GNU C library's stream buffer.
bool ipc_line_waiting(FILE *in);

// Opens a FIFO for writing once a reader has it open, trying every 10 ms for at most
// `wait_ms`, also while the path is missing when `wait_for_path`; the descriptor that
// comes back blocks as usual. -1 (errno set) when no reader came in time, when the path
// is not a FIFO (EINVAL), or when the process `reader` (a child, if above 0) has ended.
int fifo_open_writer(const char *path, int wait_ms, bool wait_for_path = false, pid_t reader = -1);

// Reads at most 255 bytes of the file into buffer (256 bytes) as text; a file that
// cannot be opened, or is not a plain file, gives the empty text.
void read_string(char *buffer, const char *path);

// The integer at the start of a state file, converted as atoi does; a missing file
// or one without digits gives 0.
int read_int(const char *path);

// Replaces a state file with the value as "%i" prints it (no newline), as
// write_text_file does, so a power cut leaves the old or the new value, never an empty
// file. Safe in a signal handler. Returns false (errno set) when the file cannot be
// written.
bool write_int_file(const char *path, int value);

// Splits the bytes of a command line channel into lines as ipc_read_line does, for
// readers that take what a FIFO holds without waiting for a whole line.
struct LineAssembler {
  char line[IPC_LINE_SIZE];
  int length = 0;
  bool in_line = false; // past the white space that comes before a line
};

// Takes bytes from p (up to end) until a line is complete: then it is in a.line, p points
// after its newline, and the result is true. False when the bytes ran out first; the
// part of a line seen so far stays in a for the next call.
bool ipc_take_line(LineAssembler &a, const char *&p, const char *end);

// At the end of the input: true, with the line in a.line, when a last line had no
// newline.
bool ipc_take_last_line(LineAssembler &a);
