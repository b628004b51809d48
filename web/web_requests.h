#pragma once

// The web remote's requests as plain functions: a request in, an answer out, and what the
// answer asks the server to do (a line for the launcher's request FIFO, a wait for the
// chosen song to play, a live stream). velm_web carries these out; tests and the fuzzer
// call them without sockets.

#include "remote_page.h"
#include "search_index.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The request body a command may have; more gets 413.
inline constexpr size_t WEB_MAX_BODY = 1024;
// The hits of one search answer.
inline constexpr size_t WEB_SEARCH_PAGE = 50;
// How long the chooser waits for the jukebox to play the chosen song, in seconds.
inline constexpr double WEB_CHOOSER_WAIT = 5.0;

struct WebRequest {
  std::string method;
  std::string target; // path and query as the request line has them, undecoded
  std::string host, origin, referer, accept, content_type;
  long content_length = -1; // -1: none given
  std::string body;
};

// Where the answers read their files; velm_web passes the fixed paths, tests their own.
struct WebContext {
  const char *page_path;      // the catalogue page
  const char *mpl_path;       // the master list
  const char *playstate_path; // the play core's record
  const SearchIndex *index = nullptr;
  const RemoteState *state = nullptr;
};

enum class WebAction {
  None,   // send the answer
  Line,   // write fifo_line into the request FIFO, then send the answer (503 if it fails)
  Choose, // write fifo_line, then wait until the song plays (chooser_*)
  Events, // start a live stream of states
};

// What the chooser waits for, and the page it answers with once the song plays.
struct ChooserWait {
  std::string address;    // "D L S", as the record's "song" line names it
  std::string generation; // the record's generation before the request
  std::string page;       // the 200 page
};

struct WebResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  std::string file; // when set: send this file's bytes as the body
  std::vector<std::pair<std::string, std::string>> headers;
  WebAction action = WebAction::None;
  std::string fifo_line; // without its newline
  ChooserWait wait;
};

// The status codes an answer can have.
inline constexpr int WEB_STATUSES[] = {200, 204, 303, 400, 403, 404, 405, 409, 413, 415, 503};

// The answer to a request.
WebResponse handle_request(const WebRequest &request, const WebContext &context);

// The answer when the request line could not be written: the FIFO is missing (the
// jukebox is not running) or nobody took the line.
WebResponse fifo_refused(const WebResponse &wanted, bool fifo_missing);

// The text of one record field ("song", "generation") of the play core's record, "" when
// the record has none.
std::string playstate_field(const std::string &record, const std::string &key);
// Whether the record shows the chosen song chosen anew.
bool chooser_moved(const ChooserWait &wait, const std::string &record);
// The chooser's answers once the song plays, or when it did not in time.
WebResponse chooser_played(const ChooserWait &wait);
WebResponse chooser_timed_out();

// Writes one line (a newline added) into a FIFO opened without waiting and closed again;
// false with *missing true when the path is not a FIFO.
bool write_fifo_line(const char *path, const std::string &line, bool *missing);

// One event of a live stream ("event: state\ndata: JSON\n\n"), and the stream's start.
std::string state_event(const std::string &json);
inline constexpr const char WEB_EVENTS_START[] = "retry: 1000\n\n";

// Percent-decoding of a query or form value ("+" as a blank); false for a bad escape.
bool form_decode(const std::string &text, std::string &out);
// The fields of a query string or form body, decoded; false when one is malformed.
bool parse_form(const std::string &text, std::vector<std::pair<std::string, std::string>> &fields);

// The seconds of a time as the status line shows it ("3:07", "-3:07", "12:07"); -1 for
// anything else.
int parse_status_time(const std::string &text);
