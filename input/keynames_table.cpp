#include "keynames.h"

#include <linux/input-event-codes.h>

// The rows, {"KEY_ESC", KEY_ESC}, ..., sorted by name, are made by the build from the
// header's list of names (input/CMakeLists.txt).
const KeyName KEY_NAMES[] = {
#include "keynames_table.inc"
};
const int KEY_NAME_COUNT = sizeof KEY_NAMES / sizeof KEY_NAMES[0];
