// The LCD character driver's device file. Each sequence and each row goes out in one
// write. A panel reader that stalls (a simulator stopped in a terminal) must not stop the
// display's loop: a write that cannot go out within 100 ms is dropped, and so is every
// write after it up to the next escape sequence, so a row never lands where a lost
// cursor sequence would not have put it.

#include "display.h"
#include "lcdproto.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

int lcd_out = -1;
bool stalled;   // the last write was dropped: do not wait for the reader again
bool resyncing; // drop everything up to the next escape sequence

constexpr int STALL_WAIT_MS = 100;
constexpr int LCD_OPEN_WAIT_MS = 3000;

bool write_all(const char *bytes, size_t length) {
  while (length > 0) {
    ssize_t done = write(lcd_out, bytes, length);
    if (done > 0) {
      bytes += done;
      length -= static_cast<size_t>(done);
      continue;
    }
    if (done < 0 && errno == EINTR)
      continue;
    if (done < 0 && errno == EAGAIN && !stalled) {
      pollfd out = {lcd_out, POLLOUT, 0};
      if (poll(&out, 1, STALL_WAIT_MS) > 0 && (out.revents & POLLOUT) != 0)
        continue;
    }
    return false;
  }
  return true;
}

} // namespace

bool lcd_device_open() {
  // No O_CREAT: without the device there is nothing to write to. A device that is a
  // FIFO (a simulated panel) without its reader is waited for a while, not for ever: a
  // panel that never comes must not keep the display from its commands.
  for (int waited_ms = 0;; waited_ms += 20) {
    lcd_out = open(LCD_DEVICE_PATH, O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    if (lcd_out >= 0 || (errno != EINTR && (errno != ENXIO || waited_ms >= LCD_OPEN_WAIT_MS)))
      break;
    if (errno == ENXIO)
      usleep(20000);
  }
  if (lcd_out < 0) {
    fprintf(stderr, "velm_display: %s: %s\n", LCD_DEVICE_PATH, strerror(errno));
    return false;
  }
  return true;
}

void lcd_device_write(const char *bytes, size_t length) {
  if (lcd_out < 0 || length == 0)
    return;
  if (resyncing && static_cast<unsigned char>(bytes[0]) != LCD_ESC)
    return;
  bool sent = write_all(bytes, length);
  stalled = resyncing = !sent;
}

void lcd_device_close() {
  if (lcd_out >= 0)
    close(lcd_out);
  lcd_out = -1;
}
