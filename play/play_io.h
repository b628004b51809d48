#pragma once

#include "core.h"

// The play core's io on this machine: the state files under /tmp, replaced through the
// shared durable routine; the player's and the display's FIFOs; espeak-ng for speech.
// With `player_to_stdout`, player lines go to standard output (which the caller has
// pointed at the player).
PlayIo system_play_io(bool player_to_stdout);

// Waits for /tmp/velm.lock, held until the program ends. False (reported) when the lock
// cannot be had.
bool take_play_lock();
