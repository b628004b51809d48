// The web remote's request handling without sockets: the routes, the chooser's answers
// as the catalogue's links need them, the refusals of commands from other pages, and the
// request FIFO.

#include "web_requests.h"

#include "sandbox_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder of its own with a master list, a catalogue page and a play record.
class WebRequests : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/web-requests-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    page_ = dir_ + "/index.html";
    mpl_ = dir_ + "/MPL";
    record_ = dir_ + "/PLAYSTATE";
    write_file(mpl_, "1 0 0 /mnt/a\n1 1 0 A & B\n1 1 1 /mnt/a/A/01_one.mp3\n"
                     "1 1 2 /mnt/a/A/02_two.mp3\n1 2 0 Empty\n"
                     // Two entries the code 1234500010001 names: 12345 1 1 and 1234 5000 10001.
                     "12345 0 0 /mnt/b\n12345 1 0 L\n12345 1 1 /mnt/b/L/x.mp3\n"
                     "1234 0 0 /mnt/c\n1234 5000 0 M\n1234 5000 10001 /mnt/c/M/y.mp3\n");
    write_file(page_,
               "<HTML>\n<A NAME=\"000100010000\" HREF=\"/cgi-bin/choose.sh?song=000100010000\">"
               "A &amp; B</A>\n"
               "<LI><A NAME=\"000100010001\" "
               "HREF=\"/cgi-bin/choose.sh?song=000100010001\">One <B>x</B></A></LI>\n"
               "</HTML>\n");
    write_file(record_, "song 1 2 1\nstatus play\nframe kept\ngeneration 7\n");
    context_ = {page_.c_str(), mpl_.c_str(), record_.c_str(), &index_, &state_};
  }
  void TearDown() override {
    std::string command = "rm -rf " + shell_quote(dir_);
    EXPECT_EQ(system(command.c_str()), 0);
  }

  WebResponse get(const std::string &target) {
    WebRequest r;
    r.method = "GET";
    r.target = target;
    r.host = "jukebox:8080";
    return handle_request(r, context_);
  }

  // A form posted from the jukebox's own page unless the test says otherwise.
  WebResponse post(const std::string &path, const std::string &body,
                   const std::string &origin = "http://jukebox:8080",
                   const std::string &accept = "text/html") {
    WebRequest r;
    r.method = "POST";
    r.target = path;
    r.host = "jukebox:8080";
    r.origin = origin;
    r.accept = accept;
    r.content_type = "application/x-www-form-urlencoded";
    r.body = body;
    r.content_length = static_cast<long>(body.size());
    return handle_request(r, context_);
  }

  std::string dir_, page_, mpl_, record_;
  SearchIndex index_;
  RemoteState state_;
  WebContext context_{};
};

const std::string chooser = "/cgi-bin/choose.sh";

std::string header(const WebResponse &r, const std::string &name) {
  for (const auto &[k, v] : r.headers) {
    if (k == name)
      return v;
  }
  return "";
}

} // namespace

TEST_F(WebRequests, ChooserRefusesWhatThePageNeverWrites) {
  for (const std::string &target :
       {chooser, chooser + "?", chooser + "?song=", chooser + "?track=000100010001",
        chooser + "?song=000100010001&song=000200010001", chooser + "?song=00010001000a",
        chooser + "?song=-00100010001", chooser + "?song=00010001001",
        chooser + "?song=0001000100010001000100010001", chooser + "?song=" + std::string(300, '1'),
        chooser + "?song=%24(touch%20/tmp/owned)", chooser + "?song=000100010001%0Aplayer_nextsong",
        chooser + "?song=000100010001%00", chooser + "?song=%30%30%30100010001",
        chooser + "?song=000100010001/../../../etc/passwd", chooser + "?song=+00100010001"}) {
    WebResponse r = get(target);
    EXPECT_EQ(r.status, 400) << target;
    EXPECT_EQ(r.action, WebAction::None) << target;
    EXPECT_TRUE(r.body.starts_with("Not a song of the catalogue: ")) << target << r.body;
    EXPECT_TRUE(r.fifo_line.empty()) << target;
  }
  EXPECT_EQ(get(chooser + "?song=abc").body,
            "Not a song of the catalogue: a code is made of digits only.\n");
  EXPECT_EQ(get(chooser).body,
            "Not a song of the catalogue: the query needs the one parameter song=CODE.\n");
}

TEST_F(WebRequests, ChooserFindsTheSongOrTheListsFirstSong) {
  WebResponse song = get(chooser + "?song=000100010001");
  ASSERT_EQ(song.action, WebAction::Choose) << song.body;
  EXPECT_EQ(song.fifo_line, "1 1 1");
  EXPECT_EQ(song.wait.generation, "7");
  // The title as the page writes it, markup and all; the way back to the catalogue.
  EXPECT_NE(song.wait.page.find("<p id=\"playing\">Now playing: One <B>x</B></p>"),
            std::string::npos)
      << song.wait.page;
  EXPECT_NE(song.wait.page.find("<a href=\"/catalog#000100010001\">"), std::string::npos);

  WebResponse list = get(chooser + "?song=000100010000");
  ASSERT_EQ(list.action, WebAction::Choose) << list.body;
  EXPECT_EQ(list.fifo_line, "1 1 1");
  EXPECT_NE(list.wait.page.find("Now playing: One <B>x</B>, the first song of A &amp; B</p>"),
            std::string::npos)
      << list.wait.page;
  EXPECT_NE(list.wait.page.find("/catalog#000100010000"), std::string::npos);

  // A number of more than four digits is written without leading zeros.
  EXPECT_EQ(get(chooser + "?song=000100010002").status, 404); // not on the page
  EXPECT_EQ(get(chooser + "?song=000100010002").body,
            "The catalogue page does not show the code 000100010002.\n");
  EXPECT_EQ(get(chooser + "?song=000900010001").body,
            "The catalogue has no song or list with the code 000900010001.\n");
  EXPECT_EQ(get(chooser + "?song=000100020000").status, 404); // a list without songs
  WebResponse both = get(chooser + "?song=1234500010001");
  EXPECT_EQ(both.status, 409);
  EXPECT_EQ(both.body, "The code 1234500010001 names more than one entry.\n");
}

TEST_F(WebRequests, ChooserWaitsForTheSongChosenAnew) {
  WebResponse r = get(chooser + "?song=000100010001");
  ASSERT_EQ(r.action, WebAction::Choose);
  EXPECT_FALSE(chooser_moved(r.wait, "song 1 2 1\ngeneration 7\n"));
  // The same song again: only a new generation says it was chosen.
  EXPECT_FALSE(chooser_moved(r.wait, "song 1 1 1\ngeneration 7\n"));
  EXPECT_FALSE(chooser_moved(r.wait, "song 1 1 10\ngeneration 8\n"));
  EXPECT_TRUE(chooser_moved(r.wait, "status play\nsong 1 1 1\ngeneration 8\n"));
  WebResponse played = chooser_played(r.wait);
  EXPECT_EQ(played.status, 200);
  EXPECT_EQ(played.body, r.wait.page);
  EXPECT_EQ(chooser_timed_out().status, 503);
  EXPECT_EQ(chooser_timed_out().body, "The jukebox did not move to the song.\n");
  EXPECT_EQ(fifo_refused(r, true).body, "The jukebox is not running.\n");
  EXPECT_EQ(fifo_refused(r, false).body, "The jukebox did not take the request.\n");
  // Without a record the wait is for any generation at all.
  unlink(record_.c_str());
  WebResponse fresh = get(chooser + "?song=000100010001");
  EXPECT_TRUE(chooser_moved(fresh.wait, "song 1 1 1\ngeneration 1\n"));
}

TEST_F(WebRequests, CommandsOnlyFromTheJukeboxsOwnPages) {
  EXPECT_EQ(post("/key", "key=player_nextsong", "").status, 403);
  EXPECT_EQ(post("/key", "key=player_nextsong", "http://evil.example").status, 403);
  EXPECT_EQ(post("/key", "key=player_nextsong", "http://jukebox:8081").status, 403);
  EXPECT_EQ(post("/key", "key=player_nextsong", "null").status, 403);
  EXPECT_EQ(post("/key", "key=player_nextsong", "http://jukebox:8080.evil.example").status, 403);
  EXPECT_EQ(post("/play", "address=1+1+1", "file:///x").status, 403);
  // The Referer serves when there is no Origin.
  WebRequest r;
  r.method = "POST";
  r.target = "/key";
  r.host = "jukebox:8080";
  r.referer = "http://JUKEBOX:8080/search?q=x";
  r.content_type = "application/x-www-form-urlencoded; charset=UTF-8";
  r.body = "key=player_pause";
  WebResponse from_page = handle_request(r, context_);
  EXPECT_EQ(from_page.status, 303);
  EXPECT_EQ(from_page.fifo_line, "player_pause");
  r.referer = "http://other/";
  EXPECT_EQ(handle_request(r, context_).status, 403);
  r.referer = "http://jukebox:8080/";
  r.host.clear();
  EXPECT_EQ(handle_request(r, context_).status, 403);
}

TEST_F(WebRequests, CommandsPassOnlyTheLinesTheLauncherTakes) {
  WebResponse key = post("/key", "key=player_gotosong+12");
  EXPECT_EQ(key.action, WebAction::Line);
  EXPECT_EQ(key.fifo_line, "player_gotosong 12");
  EXPECT_EQ(key.status, 303);
  EXPECT_EQ(header(key, "Location"), "/");
  WebResponse script =
      post("/key", "key=mixer_volumeup", "http://jukebox:8080", "application/json, */*");
  EXPECT_EQ(script.status, 204);
  EXPECT_TRUE(script.body.empty());
  EXPECT_EQ(post("/key", "key=display_setmode+3").fifo_line, "display_setmode 3");
  // The number entry's plain form: the number typed and the key pressed, joined.
  EXPECT_EQ(post("/key", "number=12&key=player_gotolist").fifo_line, "player_gotolist 12");
  EXPECT_EQ(post("/key", "key=player_gotosong&number=0042").fifo_line, "player_gotosong 0042");
  for (const char *body :
       {"key=player_nextsong%0Aplayer_pause", "key=player_gotosong+12345678", "key=rm+-rf+%2F",
        "key=", "key=player_nextsong&key=player_pause", "key=player_nextsong&x=1",
        "key=player_nextsong%00", "key=%ZZ", "key", "", "song=000100010001",
        "key=display_setmode+12", "key=player_nextsong+", "number=12&key=player_nextsong",
        "number=&key=player_gotosong", "number=12345&key=player_gotosong",
        "number=1+2&key=player_gotosong", "number=12&number=3&key=player_gotosong", "number=12"}) {
    WebResponse r = post("/key", body);
    EXPECT_EQ(r.status, 400) << body;
    EXPECT_TRUE(r.fifo_line.empty()) << body;
  }
  EXPECT_EQ(post("/play", "address=1+2+3").fifo_line, "1 2 3");
  EXPECT_EQ(post("/play", "address=1%202%200").fifo_line, "1 2 0");
  for (const char *body : {"address=1+2", "address=1+2+3+4", "address=1++2+3", "address=1+2+-3",
                           "address=1234567890+1+1", "code=00010001000x"})
    EXPECT_EQ(post("/play", body).status, 400) << body;
  // A code as the chooser takes it.
  EXPECT_EQ(post("/play", "code=000100010000").fifo_line, "1 1 1");
  EXPECT_EQ(post("/play", "code=000900010001").status, 404);

  WebRequest big;
  big.method = "POST";
  big.target = "/key";
  big.host = "jukebox:8080";
  big.origin = "http://jukebox:8080";
  big.content_type = "application/x-www-form-urlencoded";
  big.body = "key=" + std::string(WEB_MAX_BODY, 'a');
  EXPECT_EQ(handle_request(big, context_).status, 413);
  big.body = "key=player_pause";
  big.content_type = "application/json";
  EXPECT_EQ(handle_request(big, context_).status, 415);
}

TEST_F(WebRequests, RoutesAndMethods) {
  EXPECT_EQ(get("/").status, 200);
  EXPECT_EQ(get("/").content_type, "text/html; charset=utf-8");
  WebResponse catalog = get("/catalog");
  EXPECT_EQ(catalog.status, 200);
  EXPECT_EQ(catalog.file, page_);
  EXPECT_TRUE(catalog.body.empty());
  EXPECT_EQ(get("/state.json").content_type, "application/json");
  EXPECT_EQ(get("/events").action, WebAction::Events);
  EXPECT_EQ(get("/events").content_type, "text/event-stream");
  EXPECT_EQ(get("/search.json?q=one&from=0").content_type, "application/json");
  for (const char *target : {"/index.html", "/catalog/", "/../MPL", "/cgi-bin/", "/cgi-bin",
                             "/%2e%2e/MPL", "//catalog", "/Catalog", "/velm-httpd.conf"})
    EXPECT_EQ(get(target).status, 404) << target;
  for (const char *target : {"/search?q=a&from=x", "/search?q=a&from=-1", "/search?q=%4",
                             "/search?z=1", "/state.json?x=1", "/?a"})
    EXPECT_EQ(get(target).status, 400) << target;
  unlink(page_.c_str());
  EXPECT_EQ(get("/catalog").status, 404);

  auto with = [&](const char *method, const char *target) {
    WebRequest r;
    r.method = method;
    r.target = target;
    r.host = "jukebox:8080";
    return handle_request(r, context_);
  };
  for (const char *method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    WebResponse r = with(method, "/catalog");
    EXPECT_EQ(r.status, 405) << method;
    EXPECT_EQ(header(r, "Allow"), "GET, HEAD");
  }
  EXPECT_EQ(header(with("GET", "/key"), "Allow"), "POST");
  EXPECT_EQ(with("HEAD", "/play").status, 405);
  EXPECT_EQ(header(with("HEAD", (chooser + "?song=000100010001").c_str()), "Allow"), "GET");
  EXPECT_EQ(with("HEAD", "/state.json").status, 200);
}

TEST(WebForms, DecodingAndTimes) {
  std::vector<std::pair<std::string, std::string>> fields;
  ASSERT_TRUE(parse_form("q=a+b%26c&from=50&e=", fields));
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].second, "a b&c");
  EXPECT_EQ(fields[1].second, "50");
  EXPECT_EQ(fields[2].second, "");
  for (const char *bad : {"a", "a=1&", "&a=1", "a=%", "a=%4", "a=%g0", "a=1&&b=2"})
    EXPECT_FALSE(parse_form(bad, fields)) << bad;
  EXPECT_EQ(parse_status_time("-3:07"), 187);
  EXPECT_EQ(parse_status_time(" 12:00"), 720);
  EXPECT_EQ(parse_status_time("3:7"), -1);
  EXPECT_EQ(parse_status_time("3:60"), -1);
  EXPECT_EQ(parse_status_time("--:--"), -1);
  EXPECT_EQ(parse_status_time(""), -1);
  EXPECT_EQ(state_event("{}"), "event: state\ndata: {}\n\n");
}

TEST(WebFifo, OneLineAWriteAndNoWaitForAReader) {
  char name[] = "/tmp/web-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  std::string fifo = std::string(name) + "/fifo.web";
  bool missing = false;
  EXPECT_FALSE(write_fifo_line(fifo.c_str(), "1 1 1", &missing));
  EXPECT_TRUE(missing);
  write_file(fifo, "");
  EXPECT_FALSE(write_fifo_line(fifo.c_str(), "1 1 1", &missing));
  EXPECT_TRUE(missing) << "a plain file is no FIFO";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(write_fifo_line(fifo.c_str(), "1 1 1", &missing)) << "no reader: no wait";
  EXPECT_FALSE(missing);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(write_fifo_line(fifo.c_str(), "player_pause", &missing));
  EXPECT_TRUE(write_fifo_line(fifo.c_str(), "1 2 3", &missing));
  char buffer[64] = {};
  EXPECT_EQ(read(reader, buffer, sizeof buffer - 1), 19);
  EXPECT_STREQ(buffer, "player_pause\n1 2 3\n");
  close(reader);
  unlink(fifo.c_str());
  rmdir(name);
}
