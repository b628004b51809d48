#pragma once

// Tests of velm_mixer skip where it cannot run: a cross build made without libfuse3 of its
// architecture (the build says so), or a sandbox that cannot use /dev/fuse (a user other
// than root, to whom the host's /dev/fuse is not open).

#include <gtest/gtest.h>

#include <string>

// Shell text at the start of a test's script: prints "no fuse" and ends the script when
// the sandbox cannot use /dev/fuse.
inline const char *const FUSE_CHECK =
    "if ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then echo 'no fuse'; exit 0; fi\n";

#ifdef VELM_NO_MIXER
#define SKIP_WITHOUT_MIXER_BUILD()                                                                 \
  GTEST_SKIP() << "velm_mixer is not built here (no libfuse3 for this architecture)"
#else
#define SKIP_WITHOUT_MIXER_BUILD() static_cast<void>(0)
#endif

// After the script has run: skips when it found no usable /dev/fuse.
#define SKIP_WITHOUT_FUSE(result)                                                                  \
  do {                                                                                             \
    if ((result).out.find("no fuse") != std::string::npos)                                         \
      GTEST_SKIP() << "this sandbox cannot use /dev/fuse";                                         \
  } while (0)
