#pragma once

// Injected I/O faults for the jukebox's writers. A program runs under fiu-run with
// libfiu's POSIX preload library and one failure point enabled (its errno given as
// failinfo), or with a /tmp that is full: the sandbox's /tmp made a small tmpfs and
// filled up before the program starts. libfiu wraps open, write, fsync, rename, fopen,
// fwrite and the like, but not openat and renameat, with which every file is replaced
// (common/atomic_file.h), and its write and fsync never fail inside a signal handler;
// the stand-in fiuat.so, preloaded before it, takes those four calls under libfiu's
// names (posix/io/oc/openat, posix/io/dir/renameat, posix/io/rw/write,
// posix/io/sync/fsync).
//
// Shell functions the prelude defines inside the sandbox:
//   faulty COMMAND PROGRAM [ARG]...   PROGRAM under fiu-run with the libfiu command
//                                     COMMAND ("enable name=...,failinfo=N"); the
//                                     libraries in $VELM_PRELOAD are preloaded too. With
//                                     $FIU_CTRL set, fiu-ctrl reaches it through
//                                     $FIU_CTRL-PID. With FAULTY_EXEC=1 the shell is
//                                     replaced by it (its pid is the shell's).
//   plain PROGRAM [ARG]...            PROGRAM with $VELM_PRELOAD only (FAULTY_EXEC too)
//   fill_tmp                          fills /tmp up (exits with 99 when it did not)

#include "installed.h"
#include "sandbox_run.h"

// libfiu is installed for the build machine only (its package cannot be installed for two
// architectures at once): in a cross build its preload libraries cannot enter the
// programs under test, so the fault tests skip there, whatever VELM_REQUIRE_ALL says.
#ifdef VELM_CROSS_BUILD
#define SKIP_WITHOUT_FIU()                                                                         \
  GTEST_SKIP() << "libfiu's preload libraries are the build machine's: they cannot enter the "     \
                  "programs of this cross build"
#else
#define SKIP_WITHOUT_FIU() SKIP_WITHOUT("fiu-run")
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <vector>

// One fault: a libfiu command, or (empty) a full /tmp.
struct Fault {
  std::string name;
  std::string enable;
  int error; // the errno the program meets
};

inline Fault fault_point(const std::string &point, int error) {
  return {point + " " +
              (error == ENOSPC ? "ENOSPC"
               : error == EIO  ? "EIO"
                               : strerror(error)),
          "enable name=" + point + ",failinfo=" + std::to_string(error), error};
}

inline const Fault FULL_TMP = {"full /tmp", "", ENOSPC};

// The faults of a file replaced whole through descriptors (replace_file_at): the
// temporary not made, its write, its sync and its rename failing, and a full /tmp.
inline std::vector<Fault> replacement_faults() {
  return {fault_point("posix/io/oc/openat", ENOSPC), fault_point("posix/io/rw/write", ENOSPC),
          fault_point("posix/io/rw/write", EIO),     fault_point("posix/io/sync/fsync", EIO),
          fault_point("posix/io/dir/renameat", EIO), FULL_TMP};
}

// The size of the small /tmp of the full-/tmp cases.
constexpr unsigned long SMALL_TMP = 1UL << 20;

inline std::string fault_prelude() {
  return "FIUAT=" + shell_quote(VELM_FIUAT) + "\n" + R"(
faulty() {
  fiu_command=$1
  shift
  case $fiu_command in
  *name=posix/io/oc/openat,* | *name=posix/io/dir/renameat,* | *name=posix/io/rw/write,* | \
    *name=posix/io/sync/fsync,*) fiu_posix= ;; # fiuat.so's own
  *) fiu_posix=-x ;;
  esac
  # fiu-run's preload library keeps a copy of its commands to the end: not our leak.
  printf 'leak:fiu_run_preload.so\n' >"$VELM_SCRATCH/lsan-fiu.supp"
  export LSAN_OPTIONS="suppressions=$VELM_SCRATCH/lsan-fiu.supp"
  ${FAULTY_EXEC:+exec} fiu-run $fiu_posix -f "${FIU_CTRL:-}" -c "$fiu_command" \
    /bin/sh -c 'LD_PRELOAD="$0 $LD_PRELOAD ${VELM_PRELOAD:-}" exec "$@"' "$FIUAT" "$@"
}
plain() {
  ${FAULTY_EXEC:+exec} env LD_PRELOAD="${VELM_PRELOAD:-}" "$@"
}
fill_tmp() {
  head -c 100000000 /dev/zero >/tmp/fill 2>/dev/null
  if printf x 2>/dev/null >/tmp/.room; then
    echo "fill_tmp: /tmp is not full" >&2
    exit 99
  fi
  rm -f /tmp/.room
}
)";
}

// Shell text running `command` under the fault: the fill comes first for a full /tmp.
inline std::string under(const Fault &fault, const std::string &command) {
  if (fault.enable.empty())
    return "fill_tmp\nplain " + command + "\n";
  return "faulty " + shell_quote(fault.enable) + " " + command + "\n";
}

// Sets the sandbox up for the fault: a small /tmp for a full one.
inline void prepare(Sandbox &sb, const Fault &fault) {
  sb.limit_tmp(fault.enable.empty() ? SMALL_TMP : 0);
}

// The points fiuat.so takes run without libfiu's POSIX preload library (fiu-run without
// -x), the others with it.
inline bool needs_posix_preload(const Fault &fault) {
  for (const char *own : {"posix/io/oc/openat,", "posix/io/dir/renameat,", "posix/io/rw/write,",
                          "posix/io/sync/fsync,"}) {
    if (fault.enable.find(std::string("name=") + own) != std::string::npos)
      return false;
  }
  return !fault.enable.empty();
}

// In a build with the address sanitizer the programs run under fiu-run all the same (the
// sandbox sets ASAN_OPTIONS=verify_asan_link_order=0, so the sanitizer's runtime takes
// the preloaded libraries before it), but libfiu's POSIX preload library makes every
// program built so die of SIGSEGV at its start, whatever is enabled: the cases that need
// it are left out there, and said so.
constexpr char POSIX_PRELOAD_SKIP[] =
    "libfiu's POSIX preload library (fiu-run -x) crashes programs built with the address "
    "sanitizer at their start; its cases run in the other builds";

inline std::vector<Fault> runnable(std::vector<Fault> faults) {
#ifdef VELM_SANITIZED
  std::string left_out;
  for (const Fault &fault : faults) {
    if (needs_posix_preload(fault))
      left_out += " " + fault.name;
  }
  std::erase_if(faults, needs_posix_preload);
  if (!left_out.empty())
    std::cout << "[ LEFT OUT ]" << left_out << ": " << POSIX_PRELOAD_SKIP << "\n";
#endif
  return faults;
}

// For a case of a table: true (said) when the case is left out in this build.
inline bool left_out(const Fault &fault) {
#ifdef VELM_SANITIZED
  if (needs_posix_preload(fault)) {
    std::cout << "[ LEFT OUT ] " << fault.name << ": " << POSIX_PRELOAD_SKIP << "\n";
    return true;
  }
#else
  (void)fault;
#endif
  return false;
}

// Nothing died of a signal, and no sanitizer spoke.
inline void expect_no_crash(const RunResult &r) {
  EXPECT_GE(r.status, 0) << "timed out";
  EXPECT_LT(r.status, 128) << "killed by signal " << r.status - 128;
  for (const char *mark : {"Sanitizer", "runtime error:", "LeakSanitizer"})
    EXPECT_EQ(r.err.find(mark), std::string::npos) << r.err;
}

// The names in the sandbox's /tmp that begin with `name` and a dot: temporaries left.
inline std::string left_beside(const Sandbox &sb, const std::string &name) {
  std::string found;
  for (const auto &entry : std::filesystem::directory_iterator(sb.path("/tmp"))) {
    std::string file = entry.path().filename().string();
    if (file.starts_with(name + "."))
      found += file + "\n";
  }
  return found;
}
