#pragma once

// The display's feed of what the panel shows (common/panel_feed.h), in the display's
// poll loop.

#include <poll.h>

inline constexpr int FEED_READERS_MAX = 4;
// The poll entries the feed needs at most: its socket and its readers.
inline constexpr int FEED_POLL_MAX = 1 + FEED_READERS_MAX;

// Listens at DISPLAY_FEED_PATH, in place of a socket left there; anything else there is
// reported and left, and the display runs without its feed.
void feed_init();

// Fills `fds` (FEED_POLL_MAX entries) with what the feed waits for; returns how many.
int feed_poll_fds(pollfd *fds);
// Acts on what poll said of the entries feed_poll_fds gave: new readers, readers gone.
void feed_take(const pollfd *fds, int count);

// Sends the current message to every reader when it differs from the last one sent.
void feed_check();

// Closes the readers and the socket and removes the socket file.
void feed_close();
