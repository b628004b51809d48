#pragma once

// Every file and device the jukebox's programs meet at, in one place.

// Play list files and the look-up results left for the player scripts.
inline constexpr const char MPL_PATH[] = "/tmp/MPL";
inline constexpr const char OPL_PATH[] = "/tmp/OPL";
inline constexpr const char DEVICE_PATH[] = "/tmp/DEVICE";
inline constexpr const char LIST_PATH[] = "/tmp/LIST";
inline constexpr const char SONG_PATH[] = "/tmp/SONG";

// Command line channels between the daemons, the player and the input side.
inline constexpr const char FIFO_CONTROL_PATH[] = "/tmp/fifo.control";
inline constexpr const char FIFO_PLAYER_PATH[] = "/tmp/fifo.player";
inline constexpr const char FIFO_DISPLAY_PATH[] = "/tmp/fifo.display";

// Small state files.
inline constexpr const char STATUS_PATH[] = "/tmp/STATUS";
inline constexpr const char FRAMEPOS_PATH[] = "/tmp/FRAMEPOS";
inline constexpr const char VOLUME_PATH[] = "/tmp/VOLUME";
inline constexpr const char BALANCE_PATH[] = "/tmp/BALANCE";
inline constexpr const char BASS_PATH[] = "/tmp/BASS";
inline constexpr const char TREBLE_PATH[] = "/tmp/TREBLE";

// Devices.
inline constexpr const char LCD_DEVICE_PATH[] = "/dev/lcd";
inline constexpr const char MIXER_DEVICE_PATH[] = "/dev/mixer";
