#include "install_dirs.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The installed folders relative to the programs' folder, from the build (GNUInstallDirs).
#ifndef VELM_HELPERS_FROM_BIN
#error "VELM_HELPERS_FROM_BIN must be defined by the build"
#endif
#ifndef VELM_DATA_FROM_BIN
#error "VELM_DATA_FROM_BIN must be defined by the build"
#endif

namespace {

bool is_folder(const std::string &path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `relative` below the program's folder when that is a folder, else the program's folder.
std::string installed_or_own(const char *relative) {
  std::string own = program_folder();
  if (own.empty())
    return own;
  std::string installed = own + "/" + relative;
  return is_folder(installed) ? installed : own;
}

} // namespace

bool on_path(const std::string &path, const std::string &folder) {
  size_t start = 0;
  for (;;) {
    size_t end = path.find(':', start);
    if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, folder) ==
        0)
      return true;
    if (end == std::string::npos)
      return false;
    start = end + 1;
  }
}

std::string program_folder() {
  char exe[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0)
    return "";
  std::string path(exe, static_cast<size_t>(length));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string helper_folder() {
  return installed_or_own(VELM_HELPERS_FROM_BIN);
}

std::string data_folder() {
  return installed_or_own(VELM_DATA_FROM_BIN);
}

std::string path_with_first(const std::string &path, const std::string &first,
                            const std::string &second) {
  std::vector<std::string> folders;
  for (const std::string *folder : {&first, &second}) {
    if (!folder->empty() && std::find(folders.begin(), folders.end(), *folder) == folders.end())
      folders.push_back(*folder);
  }
  size_t ours = folders.size();
  size_t start = 0;
  for (;;) {
    size_t end = path.find(':', start);
    std::string folder = path.substr(start, end == std::string::npos ? end : end - start);
    // An empty entry (the current folder) stays where it was written.
    if (folder.empty() || std::find(folders.begin(), folders.begin() + static_cast<long>(ours),
                                    folder) == folders.begin() + static_cast<long>(ours))
      folders.push_back(folder);
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  std::string result;
  for (size_t i = 0; i < folders.size(); ++i)
    result += (i > 0 ? ":" : "") + folders[i];
  return result;
}

void put_helpers_on_path() {
  const char *path = getenv("PATH");
  std::string value = path != nullptr ? path : "/usr/bin:/bin";
  std::string helpers = helper_folder(), own = program_folder();
  // Installed: the helpers' folder first. In the build tree it is the program's own
  // folder, which goes last where it is missing, as for a daemon.
  if (!helpers.empty() && helpers != own)
    value = path_with_first(value, helpers, "");
  setenv("PATH", value.c_str(), 1);
  add_helpers_to_path();
}

void add_helpers_to_path() {
  const char *path = getenv("PATH");
  std::string value = path != nullptr ? path : "/usr/bin:/bin";
  for (const std::string &folder : {helper_folder(), program_folder()}) {
    if (folder.empty() || on_path(value, folder))
      continue;
    value += ":" + folder;
  }
  setenv("PATH", value.c_str(), 1);
}
