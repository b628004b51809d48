#pragma once

// velm_control: turns control command lines from /tmp/fifo.control into runs of the
// player scripts, jump lines for the player, and mixer settings.

// The three channels.
void ipc_init();
void ipc_read();
void ipc_close();
void ipc_write_player(const char *line);
void ipc_write_display(const char *line);
// Sends the lines written so far; done before the daemon waits for anything.
void ipc_flush();

// Opens /tmp/fifo.player again for player_restart; lines written so far go out first.
void ipc_reopen_player();

// Handles one command line: tests it against the command table in order; a line fires
// at most one row, and a line that fires none is ignored.
void dispatch(const char *line);

// The mixer: values, device and saved settings. mixer_init sets the master level and
// restores the saved settings.
void mixer_init();
void mixer_setvolume(int requested);
void mixer_setbalance(int requested);
void mixer_settone(int bass, int treble);
void mixer_volumeup();
void mixer_volumedown();
void mixer_balanceleft();
void mixer_balanceright();
void mixer_bassup();
void mixer_bassdown();
void mixer_trebleup();
void mixer_trebledown();

// Saves the mixer settings every 10 seconds from now on.
void timer_init();

// The four settings as they are now.
struct MixerSettings {
  int volume;
  int balance;
  int bass;
  int treble;
};
MixerSettings mixer_settings();

// The daemon's hold on the outside world, apart from the FIFOs: the core (the command
// table, the player and mixer operations) reaches the shell, the mixer device and the
// resume point only through these, so a test or a fuzzer can link the core with
// versions of its own. The daemon's are in platform.cpp.

// system(): runs the command line and waits for it.
int shell_run(const char *command);
// open(): /dev/mixer read-only, close-on-exec; -1 with errno set on failure.
int mixer_device_open();
// ioctl() with an int argument; its result.
int mixer_device_request(int fd, unsigned long request, int *argument);
void mixer_device_close(int fd);
// The frame to resume at: /tmp/FRAMEPOS read as an integer state file.
int saved_frame();
