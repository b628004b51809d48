#pragma once

// Where a program of the jukebox finds the others. Installed, what a person runs lies in
// <prefix>/bin, what only the jukebox runs in <prefix>/libexec/velm and the web files in
// <prefix>/share/velm; in the build tree everything lies in one folder. Both are found
// from the running program's own place (/proc/self/exe), so nothing depends on where the
// tree was built or installed.

#include <string>

// The folder of the running program; empty when the system does not tell.
std::string program_folder();

// The helpers' folder (<bindir>/../libexec/velm) when it is there, else the program's own.
std::string helper_folder();

// The web files' folder (<bindir>/../share/velm) when it is there, else the program's own.
std::string data_folder();

// Whether `folder` is one of the folders of `path` (a PATH value).
bool on_path(const std::string &path, const std::string &folder);

// `path` (a PATH value) with `first`, then `second` in front, each only once: a folder
// already on it moves to the front. An empty `first` or `second` is left out.
std::string path_with_first(const std::string &path, const std::string &first,
                            const std::string &second);

// For the launcher: an installed helpers' folder first on PATH, so every program started
// from here (by execvp, posix_spawnp or through the shell) finds the jukebox's own
// before any other of the same name; then, as add_helpers_to_path does, the program's own
// folder at the end where it is missing (in the build tree, the helpers' folder too).
void put_helpers_on_path();

// For a program the launcher starts, which may also run on its own: the helpers' folder,
// then the program's own, at the end of PATH, where they are not on it yet. The caller's
// PATH keeps its order, so programs put before them (stand-ins in a test) still win.
void add_helpers_to_path();
