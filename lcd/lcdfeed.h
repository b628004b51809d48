#pragma once

// The reading side of the LCD character device, shared by the simulator and the panel
// driver. /dev/lcd is a FIFO that the display daemon writes: the reader makes it, reads
// it for as long as it runs, and when every writer has closed it, opens it again and
// waits for the next writer (the daemon may restart). A recorded byte stream, a file or
// standard input, can be read in its place, once to its end.
//
// The device: a missing /dev/lcd is made as a FIFO (mode 0666) and removed again at the
// end. An existing FIFO is taken as it is and left in place at the end, since a writer may
// already be waiting in open() on it. Anything else there (a real character device, a
// plain file) is left alone: the reader reports it and does not start.

#include <cstddef>

struct LcdFeed {
  int fd = -1;
  const char *path = nullptr;
  bool device = false;    // the FIFO: reopened when its writers have gone
  bool made_fifo = false; // made by us: removed by lcd_feed_close
  size_t last_bytes = 0;  // read after a stop was asked for
};

// SIGINT, SIGTERM and SIGHUP end the reading: lcd_feed_read still returns the bytes
// already waiting in the FIFO (up to a pipe's worth), then Stopped. SIGPIPE is ignored.
// Call before opening.
void lcd_feed_catch_signals();

// Makes or takes the device FIFO at `path` and opens it. False, with a message
// "<program>: <path>: <reason>" on standard error, when it cannot.
bool lcd_feed_open_device(LcdFeed &feed, const char *program, const char *path);

// Opens a recorded stream: a file, or standard input for "-".
bool lcd_feed_open_file(LcdFeed &feed, const char *program, const char *path);

enum class LcdFeedStatus {
  Bytes,      // `length` bytes read
  Idle,       // nothing within the timeout
  WriterGone, // every writer of the device closed it; it is open again for the next
  End,        // the end of a recorded stream
  Stopped,    // a signal asked to stop
  Failed,     // a read error, reported on standard error
};

// Waits at most timeout_ms (-1: without limit) for bytes and reads what is there, at
// most `size` bytes.
LcdFeedStatus lcd_feed_read(LcdFeed &feed, const char *program, char *buffer, size_t size,
                            size_t &length, int timeout_ms);

// Closes the input and removes the FIFO if it was made here.
void lcd_feed_close(LcdFeed &feed);
