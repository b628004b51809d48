#include "keynames.h"

#include <cstring>

namespace {

bool is_axis_name(const char *name) {
  return strncmp(name, "REL_", 4) == 0;
}

} // namespace

bool find_key_name(const char *name, CodeKind *kind, int *code) {
  for (int i = 0; i < KEY_NAME_COUNT; ++i) {
    if (strcmp(KEY_NAMES[i].name, name) == 0) {
      *kind = is_axis_name(name) ? CodeKind::axis : CodeKind::key;
      *code = KEY_NAMES[i].code;
      return true;
    }
  }
  return false;
}

const char *key_name_of(CodeKind kind, int code) {
  for (int i = 0; i < KEY_NAME_COUNT; ++i) {
    if (KEY_NAMES[i].code == code && is_axis_name(KEY_NAMES[i].name) == (kind == CodeKind::axis))
      return KEY_NAMES[i].name;
  }
  return nullptr;
}
