#include "keynames.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_axis_name(const char *name) {
  return strncmp(name, "REL_", 4) == 0;
}

} // namespace

bool find_key_name(const char *name, CodeKind *kind, int *code) {
  // The build sorts the table by name.
  const KeyName *end = KEY_NAMES + KEY_NAME_COUNT;
  const KeyName *found = std::lower_bound(
      KEY_NAMES, end, name, [](const KeyName &k, const char *n) { return strcmp(k.name, n) < 0; });
  if (found == end || strcmp(found->name, name) != 0)
    return false;
  *kind = is_axis_name(name) ? CodeKind::axis : CodeKind::key;
  *code = found->code;
  return true;
}

const char *key_name_of(CodeKind kind, int code) {
  for (int i = 0; i < KEY_NAME_COUNT; ++i) {
    if (KEY_NAMES[i].code == code && is_axis_name(KEY_NAMES[i].name) == (kind == CodeKind::axis))
      return KEY_NAMES[i].name;
  }
  return nullptr;
}
