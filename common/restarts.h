#pragma once

// How often a child that keeps ending is started again: at most `most` times within
// `window` seconds of the first of a run of restarts.
struct Restarts {
  int count = 0;
  double first = 0; // when the current run of restarts began
};

// Counts a restart at `now`; false when the child has ended too often and is given up.
inline bool restart_allowed(Restarts &restarts, double now, int most, double window) {
  if (restarts.count == 0 || now - restarts.first > window) {
    restarts.count = 0;
    restarts.first = now;
  }
  return ++restarts.count <= most;
}
