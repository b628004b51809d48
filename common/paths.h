#pragma once

#include <cstddef>
#include <string_view>

// Every file and device the jukebox's programs meet at, in one place. The names under
// /tmp are listed in paths.def, which the scripts' velm-paths.sh is made from.

#define VELM_PATH(name, path) inline constexpr const char name[] = path;
#include "paths.def"
#undef VELM_PATH

// The whole list, by the names the scripts know the paths by.
struct SharedPath {
  const char *name; // such as "STATUS_PATH"
  const char *path;
};
inline constexpr SharedPath SHARED_PATHS[] = {
#define VELM_PATH(name, path) {#name, name},
#include "paths.def"
#undef VELM_PATH
};
inline constexpr size_t SHARED_PATH_COUNT = sizeof SHARED_PATHS / sizeof SHARED_PATHS[0];

// Devices.
inline constexpr const char LCD_DEVICE_PATH[] = "/dev/lcd";
inline constexpr const char MIXER_DEVICE_PATH[] = "/dev/mixer";

// Whether a shell command sends its output into `path` (ends in ">path"), for the fixed
// command texts that name a path of the list.
constexpr bool redirects_to(std::string_view command, std::string_view path) {
  return command.size() > path.size() && command.ends_with(path) &&
         command[command.size() - path.size() - 1] == '>';
}
