#pragma once

// The web remote as the launcher runs it: the catalogue page that velm_web serves, the
// request FIFO /tmp/fifo.web through which velm_web hands the jukebox its requests, and
// velm_web itself, started, watched and stopped here.

#include "restarts.h"

#include <string>
#include <sys/types.h>
#include <vector>

// What the web part uses of the program it runs in.
struct WebHost {
  // Starts a program found on PATH with the given standard input and output (-1: the
  // host's own); its standard error goes where the host's children write.
  pid_t (*spawn)(const std::vector<std::string> &argv, int in, int out);
  // Seconds on the monotonic clock.
  double (*now)();
  // A line for the log.
  void (*message)(const char *format, ...) __attribute__((format(printf, 1, 2)));
};

struct WebServer {
  std::string address; // where it listens; port 0: no web server
  int port = 0;
  pid_t pid = -1;
  Restarts restarts;
  int fifo = -1;       // velm_web's requests
  std::string pending; // the start of a request line not yet whole
};

// Where the server listens: "ADDRESS:PORT" (an IPv4 address, or an IPv6 one in brackets:
// "[::1]:8080"; "[::]" takes both families) or "PORT" (on the loopback address 127.0.0.1);
// false for anything else. The address comes back without brackets.
bool parse_web_address(const std::string &text, std::string &address, int &port);

// Writes the server's folder (the catalogue page of /tmp/MPL) and the request FIFO, then
// starts velm_web. Without a port it does
// nothing.
void start_web(WebServer &web, const WebHost &host);

// Writes the catalogue page again (the lists changed) when the server's folder is there.
void refresh_web(const WebServer &web, const WebHost &host);

// Starts the server again after it ended; gives up after a few quick ends in a row.
void restart_web(WebServer &web, const WebHost &host);

// The daemons' FIFOs that the launcher holds open, where the web's command lines go.
struct WebTargets {
  int control = -1; // /tmp/fifo.control
  int display = -1; // /tmp/fifo.display
};

// Takes what the web side wrote into the request FIFO: a line "device list song" makes
// the player scripts play that song; a control line (common/commands.h) goes to the
// control daemon, a display mode line to the display; anything else is logged and
// dropped.
void take_web_requests(WebServer &web, const WebHost &host, const WebTargets &targets);

// Stops the server and removes its folder and FIFO.
void stop_web(WebServer &web);
