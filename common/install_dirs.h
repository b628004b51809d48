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

// `path` (a PATH value) with `first`, then `second` in front, each only once: a folder
// already on it moves to the front. An empty `first` or `second` is left out.
std::string path_with_first(const std::string &path, const std::string &first,
                            const std::string &second);

// Puts the helpers' folder, then the program's own, first on PATH, so every program
// started from here (by execvp, posix_spawnp or through the shell) finds the jukebox's
// own programs before any other of the same name.
void put_helpers_on_path();
