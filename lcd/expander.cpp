#include "expander.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The panel library's port lines (charpanel.h).
constexpr unsigned char PORT_NIBBLE = 0x0F;
constexpr unsigned char PORT_RS = 0x10;
constexpr unsigned char PORT_E = 0x40;

constexpr int PINS = 8;

// The roles, in the order of their places in the wiring; all but RW and the backlight
// must be wired.
const char *const ROLES[8] = {"rs", "rw", "e", "bl", "d4", "d5", "d6", "d7"};
constexpr bool ROLE_NEEDED[8] = {true, false, true, false, true, true, true, true};
constexpr int BACKLIGHT = 3;

// The role of one pin, as a place in the wiring.
bool take_role(const std::string &role, int pin, ExpanderWiring &w, bool (&seen)[PINS],
               std::string *error) {
  if (role == "nc")
    return true;
  int index = -1;
  bool low = role == "/bl";
  for (int i = 0; i < PINS; ++i) {
    if (role == ROLES[i] || (low && i == BACKLIGHT))
      index = i;
  }
  if (index < 0) {
    // Formatted apart: GCC 12 at -O3 warns falsely (-Wrestrict) of strings built here.
    char text[128];
    snprintf(text, sizeof text, "P%d: unknown role \"%.40s\" (rs, rw, e, bl, /bl, d4-d7 or nc)",
             pin, role.c_str());
    *error = text;
    return false;
  }
  if (seen[index]) {
    char text[64];
    snprintf(text, sizeof text, "\"%s\" on two pins", ROLES[index]);
    *error = text;
    return false;
  }
  seen[index] = true;
  int *places[] = {&w.rs,      &w.rw,      &w.e,       &w.backlight,
                   &w.data[0], &w.data[1], &w.data[2], &w.data[3]};
  *places[index] = pin;
  if (index == BACKLIGHT)
    w.backlight_low = low;
  return true;
}

unsigned char pin_bit(int pin) {
  return pin < 0 ? 0 : static_cast<unsigned char>(1u << pin);
}

} // namespace

bool expander_wiring_parse(const char *text, ExpanderWiring *wiring, std::string *error) {
  ExpanderWiring w;
  w.rw = w.backlight = -1;
  bool seen[PINS] = {};
  std::string rest = text;
  int pin = 0;
  for (;;) {
    size_t comma = rest.find(',');
    std::string role = rest.substr(0, comma);
    for (char &c : role)
      c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (pin == PINS) {
      *error = "more than eight pins";
      return false;
    }
    if (!take_role(role, pin, w, seen, error))
      return false;
    ++pin;
    if (comma == std::string::npos)
      break;
    rest.erase(0, comma + 1);
  }
  if (pin != PINS) {
    *error = "eight pins wanted (P0 to P7), " + std::to_string(pin) + " given";
    return false;
  }
  for (int i = 0; i < PINS; ++i) {
    if (ROLE_NEEDED[i] && !seen[i]) {
      *error = std::string("no pin for \"") + ROLES[i] + "\"";
      return false;
    }
  }
  *wiring = w;
  return true;
}

unsigned char expander_byte(const ExpanderWiring &w, unsigned char port_byte) {
  unsigned char byte = 0;
  for (int bit = 0; bit < 4; ++bit) {
    if (port_byte & PORT_NIBBLE & (1u << bit))
      byte |= pin_bit(w.data[bit]);
  }
  if (port_byte & PORT_RS)
    byte |= pin_bit(w.rs);
  if (port_byte & PORT_E)
    byte |= pin_bit(w.e);
  if (!w.backlight_low)
    byte |= pin_bit(w.backlight);
  return byte;
}

void expander_port_out(ExpanderPort &port, unsigned char port_byte) {
  unsigned char bytes[2];
  size_t length = 0;
  bool strobe = (port_byte & PORT_E) != 0;
  if (strobe && !port.strobe)
    bytes[length++] = expander_byte(port.wiring, static_cast<unsigned char>(port_byte & ~PORT_E));
  bytes[length++] = expander_byte(port.wiring, port_byte);
  port.strobe = strobe;
  if (port.write != nullptr && !port.write(port.context, bytes, length)) {
    ++port.failures;
    port.last_error = errno;
  }
}

std::string expander_device_path(const char *device) {
  bool number = *device != '\0';
  for (const char *p = device; *p != '\0'; ++p)
    number = number && isdigit(static_cast<unsigned char>(*p)) != 0;
  return number ? std::string("/dev/i2c-") + device : std::string(device);
}

int expander_open_i2c(const char *device, int address, std::string *error) {
  std::string path = expander_device_path(device);
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    if (errno == ENOENT)
      *error += " (is the i2c-dev module loaded?)";
    return -1;
  }
  if (ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address)) != 0) {
    char hex[8];
    snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(address));
    *error = path + ": address " + hex + ": " + strerror(errno);
    if (errno == EBUSY)
      *error += " (a kernel driver holds it)";
    close(fd);
    return -1;
  }
  return fd;
}

bool expander_i2c_write(void *context, const unsigned char *bytes, size_t length) {
  int fd = *static_cast<const int *>(context);
  for (;;) {
    ssize_t written = write(fd, bytes, length);
    if (written == static_cast<ssize_t>(length))
      return true;
    if (written >= 0) {
      errno = EIO;
      return false;
    }
    if (errno != EINTR)
      return false;
  }
}
