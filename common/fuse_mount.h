#pragma once

#include <sys/vfs.h>

// Whether `path` lies on a FUSE file system with a server behind it (the mixer device
// that velm_mixer provides); false for a mount whose server has ended, which answers
// nothing.
inline bool is_fuse_mount(const char *path) {
  constexpr long FUSE_SUPER_MAGIC = 0x65735546;
  struct statfs fs;
  return statfs(path, &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC;
}
