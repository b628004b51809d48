// Fuzzer of the web server's request handling. The input is
//
//   byte 0     the method: GET, HEAD, POST, PUT, OPTIONS (modulo 5)
//   the rest   fields separated by NUL bytes: the target (path and query), the body, the
//              headers Host, Origin, Referer, Accept and Content-Type
//
// against a master list, a catalogue page and a play record written once. Checked for
// every answer: the status is one of the documented ones; a 405 says what is allowed; a
// line for the request FIFO is one the launcher takes (a control line, a display mode
// line, or three numbers), without a line end, and comes only from a POST whose Origin or
// Referer names its Host, or from the chooser's GET.

#include "commands.h"
#include "web_requests.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      fprintf(stderr, "check failed: %s\n", #condition);                                           \
      abort();                                                                                     \
    }                                                                                              \
  } while (0)

namespace {

std::string folder;
std::string page_path, mpl_path, record_path;

void write(const std::string &path, const char *text) {
  FILE *fp = fopen(path.c_str(), "we");
  FUZZ_CHECK(fp != nullptr);
  fputs(text, fp);
  fclose(fp);
}

void set_up() {
  char name[] = "/tmp/fuzz-web-XXXXXX";
  FUZZ_CHECK(mkdtemp(name) != nullptr);
  folder = name;
  page_path = folder + "/index.html";
  mpl_path = folder + "/MPL";
  record_path = folder + "/PLAYSTATE";
  write(mpl_path, "1 0 0 /mnt/a\n1 1 0 A\n1 1 1 /mnt/a/A/01_one.mp3\n1 1 2 /mnt/a/A/02.mp3\n"
                  "12345 0 0 /b\n12345 1 0 L\n12345 1 1 /b/L/x.mp3\n");
  write(page_path, "<A HREF=\"/cgi-bin/choose.sh?song=000100010000\">A</A>\n"
                   "<A HREF=\"/cgi-bin/choose.sh?song=000100010001\">One</A>\n"
                   "<A HREF=\"/cgi-bin/choose.sh?song=1234500010001\">X</A>\n");
  write(record_path, "song 1 1 2\ngeneration 3\n");
}

// Three numbers of one to nine digits, one blank between them.
bool three_numbers(const std::string &line) {
  int fields = 0;
  size_t digits = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      if (digits == 0 || digits > 9)
        return false;
      ++fields;
      digits = 0;
    } else if (line[i] >= '0' && line[i] <= '9') {
      ++digits;
    } else {
      return false;
    }
  }
  return fields == 3;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The host part of "http://HOST/..." or "https://HOST/...", lowered.
std::string host_of(const std::string &url) {
  std::string u = lowered(url);
  size_t start = u.starts_with("http://") ? 7 : u.starts_with("https://") ? 8 : 0;
  if (start == 0)
    return "";
  return u.substr(start, u.find_first_of("/?#", start) - start);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (folder.empty())
    set_up();
  if (size == 0)
    return 0;
  static const char *const methods[] = {"GET", "HEAD", "POST", "PUT", "OPTIONS"};
  WebRequest request;
  request.method = methods[data[0] % 5];
  std::string *fields[] = {&request.target,  &request.body,   &request.host,        &request.origin,
                           &request.referer, &request.accept, &request.content_type};
  size_t f = 0;
  for (size_t i = 1; i < size && f < 7; ++i) {
    if (data[i] == 0)
      ++f;
    else
      fields[f]->push_back(static_cast<char>(data[i]));
  }
  request.content_length = static_cast<long>(request.body.size());

  SearchIndex index;
  RemoteState state;
  WebContext context = {page_path.c_str(), mpl_path.c_str(), record_path.c_str(), &index, &state};
  WebResponse r = handle_request(request, context);

  FUZZ_CHECK(std::find(std::begin(WEB_STATUSES), std::end(WEB_STATUSES), r.status) !=
             std::end(WEB_STATUSES));
  if (r.status == 405)
    FUZZ_CHECK(std::any_of(r.headers.begin(), r.headers.end(),
                           [](const auto &h) { return h.first == "Allow" && !h.second.empty(); }));
  bool writes = r.action == WebAction::Line || r.action == WebAction::Choose;
  FUZZ_CHECK(writes == !r.fifo_line.empty());
  if (!writes)
    return 0;
  const std::string &line = r.fifo_line;
  FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\0') == std::string::npos);
  FUZZ_CHECK(is_control_line(line.c_str()) || is_display_mode_line(line.c_str()) ||
             three_numbers(line));
  if (r.action == WebAction::Choose) {
    FUZZ_CHECK(request.method == "GET" && request.target.starts_with("/cgi-bin/choose.sh?song="));
    FUZZ_CHECK(three_numbers(line));
  } else {
    FUZZ_CHECK(request.method == "POST");
    const std::string &from = !request.origin.empty() ? request.origin : request.referer;
    FUZZ_CHECK(!request.host.empty() && host_of(from) == lowered(request.host));
  }
  return 0;
}
