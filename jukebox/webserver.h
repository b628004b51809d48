#pragma once

// The web catalogue: a web server (busybox httpd) that serves the catalogue page of the
// collection and the song chooser /cgi-bin/choose.sh, and the requests the chooser hands
// to the launcher through /tmp/fifo.web.

#include <string>

struct Jukebox;

// Where the server listens: "ADDRESS:PORT" or "PORT" (on the loopback address 127.0.0.1);
// false for anything else.
bool parse_web_address(const std::string &text, std::string &address, int &port);

// Writes the server's folder (the catalogue page of /tmp/MPL, the chooser), its
// configuration and the request FIFO, then starts the server. Without an address in the
// options it does nothing.
void start_web(Jukebox &jukebox);

// Starts the server again after it ended; gives up after a few quick ends in a row.
void restart_web(Jukebox &jukebox);

// Takes what the chooser wrote into the request FIFO: each line "device list song" makes
// the player scripts play that song.
void take_web_requests(Jukebox &jukebox);

// Stops the server and removes its folder, configuration and FIFO.
void stop_web(Jukebox &jukebox);
