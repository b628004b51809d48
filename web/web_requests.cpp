#include "web_requests.h"

#include "commands.h"
#include "plfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

const char TEXT[] = "text/plain; charset=utf-8";
const char HTML[] = "text/html; charset=utf-8";
const char JSON[] = "application/json";

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool all_digits(const std::string &text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_with_nocase(const std::string &text, const std::string &head) {
  if (text.size() < head.size())
    return false;
  for (size_t i = 0; i < head.size(); ++i) {
    if (lower(text[i]) != lower(head[i]))
      return false;
  }
  return true;
}

WebResponse text_answer(int status, const std::string &text) {
  WebResponse r;
  r.status = status;
  r.content_type = TEXT;
  r.body = text + "\n";
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

WebResponse not_allowed(const char *allow) {
  WebResponse r = text_answer(405, std::string("Only ") + allow + " here.");
  r.headers.emplace_back("Allow", allow);
  return r;
}

bool read_whole(const char *path, std::string &content) {
  content.clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buffer[8192];
  ssize_t n;
  while (ok && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      ok = errno == EINTR;
      continue;
    }
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

// ---- The chooser, as the shell chooser of the busybox server answered.

WebResponse refuse(const std::string &why) {
  return text_answer(400, "Not a song of the catalogue: " + why + ".");
}

// A number as the catalogue page writes it: four digits with leading zeros, or more
// digits without.
bool page_number(const std::string &text) {
  return text.size() == 4 || (text.size() > 4 && text[0] != '0');
}

struct Address {
  int device, list, song;
  bool operator==(const Address &) const = default;
};

// The addresses the code can be split into, device and list above 0.
std::vector<Address> code_splits(const std::string &code) {
  std::vector<Address> out;
  size_t n = code.size();
  for (size_t a = 4; a <= 9; ++a) {
    for (size_t b = 4; b <= 9; ++b) {
      if (n < a + b + 4 || n > a + b + 9)
        continue;
      std::string d = code.substr(0, a), l = code.substr(a, b), s = code.substr(a + b);
      if (!page_number(d) || !page_number(l) || !page_number(s))
        continue;
      Address at = {std::stoi(d), std::stoi(l), std::stoi(s)};
      if (at.device > 0 && at.list > 0 && std::find(out.begin(), out.end(), at) == out.end())
        out.push_back(at);
    }
  }
  return out;
}

// The songs of the master list the splits name: each song line named as a song, and the
// first song of each list named as a list (song 0).
std::vector<Address> chosen_songs(const char *mpl_path, const std::vector<Address> &wanted) {
  std::vector<Address> songs, lists, firsts;
  FILE *fp = pl_open_read(mpl_path);
  if (fp == nullptr)
    return songs;
  MplEntry e;
  while (mpl_read_entry(fp, &e)) {
    if (e.list == 0 || e.song == 0)
      continue;
    Address song = {e.device, e.list, e.song}, list = {e.device, e.list, 0};
    if (std::find(wanted.begin(), wanted.end(), song) != wanted.end()) {
      songs.push_back(song);
    } else if (std::find(wanted.begin(), wanted.end(), list) != wanted.end() &&
               std::find(lists.begin(), lists.end(), list) == lists.end()) {
      lists.push_back(list);
      firsts.push_back(song);
    }
  }
  fclose(fp);
  songs.insert(songs.end(), firsts.begin(), firsts.end());
  return songs;
}

// The title the page shows for the entry `code`: the text after its link up to the last
// "</A>" of that line, HTML already.
std::string page_title(const std::string &page, const std::string &code) {
  std::string link = "HREF=\"/cgi-bin/choose.sh?song=" + code + "\">";
  size_t at = page.find(link);
  if (at == std::string::npos)
    return "";
  size_t start = at + link.size();
  size_t line_end = page.find('\n', start);
  std::string text =
      page.substr(start, line_end == std::string::npos ? line_end : line_end - start);
  size_t last = text.rfind("</A>");
  return last == std::string::npos ? "" : text.substr(0, last);
}

std::string four_digits(int n) {
  char text[16];
  snprintf(text, sizeof text, "%04d", n);
  return text;
}

WebResponse choose(const std::string &query, const WebContext &context) {
  if (!query.starts_with("song="))
    return refuse("the query needs the one parameter song=CODE");
  std::string code = query.substr(5);
  if (code.empty())
    return refuse("the code is empty");
  if (!all_digits(code))
    return refuse("a code is made of digits only");
  if (code.size() < 12 || code.size() > 27)
    return refuse("a code has 12 to 27 digits");

  std::vector<Address> found = chosen_songs(context.mpl_path, code_splits(code));
  if (found.empty())
    return text_answer(404, "The catalogue has no song or list with the code " + code + ".");
  if (found.size() > 1)
    return text_answer(409, "The code " + code + " names more than one entry.");
  const Address &song = found[0];
  std::string song_code =
      four_digits(song.device) + four_digits(song.list) + four_digits(song.song);
  std::string page;
  read_whole(context.page_path, page);
  std::string title = page_title(page, song_code);
  if (title.empty())
    return text_answer(404, "The catalogue page does not show the code " + code + ".");

  std::string record;
  read_whole(context.playstate_path, record);
  std::string what = title;
  if (code != song_code)
    what += ", the first song of " + page_title(page, code);

  WebResponse r;
  r.action = WebAction::Choose;
  r.wait.address = std::to_string(song.device) + " " + std::to_string(song.list) + " " +
                   std::to_string(song.song);
  r.fifo_line = r.wait.address;
  r.wait.generation = playstate_field(record, "generation");
  r.wait.page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Now "
                "playing</title></head>\n<body><p id=\"playing\">Now playing: " +
                what + "</p>\n<p><a href=\"/catalog#" + code +
                "\">Back to the catalogue</a></p></body></html>\n";
  return r;
}

// ---- Commands.

// The host of an origin or referer ("http://HOST[/...]"), "" when it is not one.
std::string url_host(const std::string &url) {
  size_t start;
  if (starts_with_nocase(url, "http://"))
    start = 7;
  else if (starts_with_nocase(url, "https://"))
    start = 8;
  else
    return "";
  size_t end = url.find_first_of("/?#", start);
  return url.substr(start, end == std::string::npos ? end : end - start);
}

bool same_host(const std::string &a, const std::string &b) {
  return a.size() == b.size() && starts_with_nocase(a, b);
}

// A command comes from a page of this server: its Origin, else its Referer, names the
// Host it was sent to. A page elsewhere may make a browser post to us, but its browser
// then names that page's origin.
bool same_origin(const WebRequest &request) {
  if (request.host.empty())
    return false;
  const std::string &from = !request.origin.empty() ? request.origin : request.referer;
  std::string host = url_host(from);
  return !host.empty() && same_host(host, request.host);
}

// Three numbers of 1 to 9 digits, one blank between them.
bool address_line(const std::string &text) {
  size_t first = text.find(' ');
  size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
  if (second == std::string::npos)
    return false;
  std::string parts[3] = {text.substr(0, first), text.substr(first + 1, second - first - 1),
                          text.substr(second + 1)};
  return std::all_of(std::begin(parts), std::end(parts),
                     [](const std::string &p) { return all_digits(p) && p.size() <= 9; });
}

const std::string *field(const Fields &fields, const char *key) {
  const std::string *found = nullptr;
  for (const auto &[k, v] : fields) {
    if (k == key) {
      if (found != nullptr)
        return nullptr;
      found = &v;
    }
  }
  return found;
}

// The line of a key's form: the key word, with the number typed beside it where the
// form has one; false unless the launcher would take it.
bool key_line(const Fields &fields, const std::string *number, std::string &line) {
  const std::string *key = field(fields, "key");
  if (key == nullptr)
    return false;
  line = *key;
  if (number != nullptr)
    line += " " + *number;
  return (is_control_line(line.c_str()) || is_display_mode_line(line.c_str())) &&
         line.find('\0') == std::string::npos;
}

WebResponse command(const WebRequest &request, const WebContext &context, bool play) {
  if (!same_origin(request))
    return text_answer(403, "Commands are taken from the jukebox's own pages only.");
  if (request.content_length > static_cast<long>(WEB_MAX_BODY) ||
      request.body.size() > WEB_MAX_BODY)
    return text_answer(413, "The request is too large.");
  if (!starts_with_nocase(request.content_type, "application/x-www-form-urlencoded"))
    return text_answer(415, "A command is sent as a form.");
  Fields fields;
  // A key's form without the script sends the number typed beside the key word as a
  // field of its own ("number=12&key=player_gotosong"); nothing else comes with a key.
  if (!parse_form(request.body, fields))
    return text_answer(400, "A command is one field of a form.");
  const std::string *number = play ? nullptr : field(fields, "number");
  if (fields.size() != (number != nullptr ? 2U : 1U))
    return text_answer(400, "A command is one field of a form.");
  std::string line;
  if (!play) {
    if (!key_line(fields, number, line))
      return text_answer(400, "Not a key of the jukebox.");
  } else if (const std::string *address = field(fields, "address")) {
    if (!address_line(*address))
      return text_answer(400, "An address is three numbers: device, list and song.");
    line = *address;
  } else if (const std::string *code = field(fields, "code")) {
    WebResponse chosen = choose("song=" + *code, context);
    if (chosen.action != WebAction::Choose)
      return chosen;
    line = chosen.fifo_line;
  } else {
    return text_answer(400, "A song is chosen by address or code.");
  }
  WebResponse r;
  r.action = WebAction::Line;
  r.fifo_line = line;
  if (request.accept.find("application/json") != std::string::npos) {
    r.status = 204;
  } else {
    r.status = 303;
    r.content_type = TEXT;
    r.body = "Done.\n";
    r.headers.emplace_back("Location", "/");
  }
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

// ---- Pages.

bool parse_from(const Fields &fields, size_t &from) {
  from = 0;
  const std::string *text = nullptr;
  for (const auto &[k, v] : fields) {
    if (k == "from")
      text = &v;
    else if (k != "q")
      return false;
  }
  if (text == nullptr)
    return true;
  if (!all_digits(*text) || text->size() > 9)
    return false;
  from = std::stoul(*text);
  return true;
}

WebResponse search_answer(const std::string &query, const WebContext &context, bool json) {
  Fields fields;
  size_t from = 0;
  if (!parse_form(query, fields) || !parse_from(fields, from))
    return text_answer(400, "A search takes q=WORDS and from=N.");
  const std::string *q = field(fields, "q");
  std::string words = q != nullptr ? *q : "";
  size_t total = 0;
  std::vector<SearchEntry> hits;
  if (context.index != nullptr)
    hits = search(*context.index, words, from, WEB_SEARCH_PAGE, &total);
  WebResponse r;
  r.headers.emplace_back("Cache-Control", "no-store");
  if (json) {
    r.content_type = JSON;
    r.body = render_search_json(hits, total, from);
  } else {
    r.content_type = HTML;
    r.body = render_remote_page(*context.state, words, hits, total, from, "");
  }
  return r;
}

} // namespace

bool form_decode(const std::string &text, std::string &out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      auto hex = [](char h) {
        if (is_digit(h))
          return h - '0';
        h = lower(h);
        return h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
      };
      if (i + 2 >= text.size())
        return false;
      int high = hex(text[i + 1]), low = hex(text[i + 2]);
      if (high < 0 || low < 0)
        return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

bool parse_form(const std::string &text, Fields &fields) {
  fields.clear();
  if (text.empty())
    return true;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('&', start);
    std::string part = text.substr(start, end == std::string::npos ? end : end - start);
    size_t equals = part.find('=');
    std::string key, value;
    if (part.empty() || equals == std::string::npos || !form_decode(part.substr(0, equals), key) ||
        !form_decode(part.substr(equals + 1), value))
      return false;
    fields.emplace_back(key, value);
    if (end == std::string::npos)
      return true;
    start = end + 1;
  }
}

WebResponse handle_request(const WebRequest &request, const WebContext &context) {
  size_t mark = request.target.find('?');
  std::string path = request.target.substr(0, mark);
  std::string query = mark == std::string::npos ? "" : request.target.substr(mark + 1);
  bool get = request.method == "GET" || request.method == "HEAD";
  bool post = request.method == "POST";

  if (path == "/cgi-bin/choose.sh") {
    // A choice is a GET as the catalogue's links make it, never a HEAD.
    if (request.method != "GET")
      return not_allowed("GET");
    return choose(query, context);
  }
  if (path == "/key" || path == "/play") {
    if (!post)
      return not_allowed("POST");
    return command(request, context, path == "/play");
  }
  bool known = path == "/" || path == "/catalog" || path == "/search" || path == "/search.json" ||
               path == "/state.json" || path == "/events";
  if (!known)
    return text_answer(404, "Nothing here.");
  if (!get)
    return not_allowed("GET, HEAD");
  if (path == "/search" || path == "/search.json")
    return search_answer(query, context, path == "/search.json");
  if (!query.empty())
    return text_answer(400, "This page takes no query.");

  WebResponse r;
  r.headers.emplace_back("Cache-Control", "no-store");
  if (path == "/") {
    r.content_type = HTML;
    r.body = render_remote_page(*context.state, "", {}, 0, 0, "");
  } else if (path == "/catalog") {
    struct stat st;
    if (stat(context.page_path, &st) != 0 || !S_ISREG(st.st_mode))
      return text_answer(404, "The catalogue is not written yet.");
    r.content_type = HTML;
    r.file = context.page_path;
  } else if (path == "/state.json") {
    r.content_type = JSON;
    r.body = render_state_json(*context.state);
  } else {
    r.content_type = "text/event-stream";
    r.action = WebAction::Events;
  }
  return r;
}

WebResponse fifo_refused(const WebResponse &wanted, bool fifo_missing) {
  if (fifo_missing)
    return text_answer(503, "The jukebox is not running.");
  (void)wanted;
  return text_answer(503, "The jukebox did not take the request.");
}

std::string playstate_field(const std::string &record, const std::string &key) {
  std::string head = key + " ";
  size_t start = 0;
  while (start < record.size()) {
    size_t end = record.find('\n', start);
    std::string line = record.substr(start, end == std::string::npos ? end : end - start);
    if (line.starts_with(head))
      return line.substr(head.size());
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  return "";
}

bool chooser_moved(const ChooserWait &wait, const std::string &record) {
  return playstate_field(record, "song") == wait.address &&
         playstate_field(record, "generation") != wait.generation;
}

WebResponse chooser_played(const ChooserWait &wait) {
  WebResponse r;
  r.content_type = HTML;
  r.body = wait.page;
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

WebResponse chooser_timed_out() {
  return text_answer(503, "The jukebox did not move to the song.");
}

bool write_fifo_line(const char *path, const std::string &line, bool *missing) {
  struct stat st;
  *missing = stat(path, &st) != 0 || !S_ISFIFO(st.st_mode);
  if (*missing)
    return false;
  // Without a reader the open fails at once (ENXIO) instead of waiting for one.
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  std::string text = line + "\n";
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

std::string state_event(const std::string &json) {
  return "event: state\ndata: " + json + "\n\n";
}

int parse_status_time(const std::string &text) {
  std::string t = text;
  while (!t.empty() && t.back() == ' ')
    t.pop_back();
  while (!t.empty() && t.front() == ' ')
    t.erase(0, 1);
  if (!t.empty() && t[0] == '-')
    t.erase(0, 1);
  size_t colon = t.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 3 || t.size() != colon + 3)
    return -1;
  std::string minutes = t.substr(0, colon), seconds = t.substr(colon + 1);
  if (!all_digits(minutes) || !all_digits(seconds) || seconds[0] > '5')
    return -1;
  return std::stoi(minutes) * 60 + std::stoi(seconds);
}
