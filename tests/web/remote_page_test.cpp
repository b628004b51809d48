// The remote's pages and JSON as rendered: escaping of every title, JSON that a strict
// reader takes, the panel's rows through both ROMs, and a plain form for every key.

#include "commands.h"
#include "remote_page.h"

#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A strict JSON reader (RFC 8259: no trailing commas, no bare control characters, UTF-8
// only, escapes of surrogates in pairs), keeping what the tests look at.
struct Json {
  enum Kind { null, boolean, number, string, array, object } kind = null;
  bool truth = false;
  double value = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json &operator[](const std::string &key) const {
    static const Json none;
    auto found = members.find(key);
    return found == members.end() ? none : found->second;
  }
};

class JsonReader {
public:
  explicit JsonReader(const std::string &text) : s_(text) {}

  // False with the place and reason in *error for anything that is not one JSON value.
  bool read(Json &out, std::string *error) {
    bool ok = value(out, 0) && (blank(), i_ == s_.size());
    if (!ok && error_.empty())
      error_ = "trailing text";
    if (!ok)
      *error = error_ + " at byte " + std::to_string(i_);
    return ok;
  }

private:
  const std::string &s_;
  size_t i_ = 0;
  std::string error_;

  bool fail(const char *why) {
    if (error_.empty())
      error_ = why;
    return false;
  }
  void blank() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool literal(const char *word) {
    std::string w = word;
    if (s_.compare(i_, w.size(), w) != 0)
      return fail("bad literal");
    i_ += w.size();
    return true;
  }
  bool value(Json &out, int depth) {
    if (depth > 64)
      return fail("too deep");
    blank();
    if (i_ >= s_.size())
      return fail("end of text");
    char c = s_[i_];
    if (c == '{')
      return object(out, depth);
    if (c == '[')
      return array(out, depth);
    if (c == '"')
      return out.kind = Json::string, string(out.text);
    if (c == 't')
      return out.kind = Json::boolean, out.truth = true, literal("true");
    if (c == 'f')
      return out.kind = Json::boolean, literal("false");
    if (c == 'n')
      return literal("null");
    return number(out);
  }
  bool number(Json &out) {
    static const std::regex form("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][-+]?[0-9]+)?");
    size_t end = i_;
    while (end < s_.size() && std::string("-+.eE0123456789").find(s_[end]) != std::string::npos)
      ++end;
    std::string text = s_.substr(i_, end - i_);
    if (text.empty() || !std::regex_match(text, form))
      return fail("bad number");
    out.kind = Json::number;
    out.value = std::stod(text);
    i_ = end;
    return true;
  }
  bool object(Json &out, int depth) {
    out.kind = Json::object;
    ++i_;
    blank();
    if (i_ < s_.size() && s_[i_] == '}') {
      ++i_;
      return true;
    }
    for (;;) {
      blank();
      std::string key;
      if (i_ >= s_.size() || s_[i_] != '"' || !string(key))
        return fail("bad key");
      if (out.members.contains(key))
        return fail("repeated key");
      blank();
      if (i_ >= s_.size() || s_[i_] != ':')
        return fail("no colon");
      ++i_;
      if (!value(out.members[key], depth + 1))
        return false;
      blank();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        return true;
      }
      return fail("bad object");
    }
  }
  bool array(Json &out, int depth) {
    out.kind = Json::array;
    ++i_;
    blank();
    if (i_ < s_.size() && s_[i_] == ']') {
      ++i_;
      return true;
    }
    for (;;) {
      out.items.emplace_back();
      if (!value(out.items.back(), depth + 1))
        return false;
      blank();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        return true;
      }
      return fail("bad array");
    }
  }
  static void put_utf8(std::string &out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  bool hex4(std::uint32_t &c) {
    if (i_ + 4 > s_.size())
      return fail("short escape");
    c = 0;
    for (int k = 0; k < 4; ++k) {
      char h = s_[i_++];
      int v = h >= '0' && h <= '9'   ? h - '0'
              : h >= 'a' && h <= 'f' ? h - 'a' + 10
              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                     : -1;
      if (v < 0)
        return fail("bad hex");
      c = c << 4 | static_cast<std::uint32_t>(v);
    }
    return true;
  }
  // One well-formed UTF-8 character copied; false for a malformed one.
  bool utf8_char(std::string &out) {
    auto b = static_cast<unsigned char>(s_[i_]);
    size_t n = b < 0x80                 ? 1
               : b >= 0xC2 && b <= 0xDF ? 2
               : b >= 0xE0 && b <= 0xEF ? 3
               : b >= 0xF0 && b <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || i_ + n > s_.size())
      return fail("bad UTF-8");
    std::uint32_t c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      auto t = static_cast<unsigned char>(s_[i_ + k]);
      if ((t & 0xC0) != 0x80)
        return fail("bad UTF-8");
      c = c << 6 | (t & 0x3F);
    }
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      return fail("bad UTF-8");
    out.append(s_, i_, n);
    i_ += n;
    return true;
  }
  bool string(std::string &out) {
    ++i_;
    for (;;) {
      if (i_ >= s_.size())
        return fail("open string");
      auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20)
        return fail("control character in string");
      if (c != '\\') {
        if (!utf8_char(out))
          return false;
        continue;
      }
      if (++i_ >= s_.size())
        return fail("open escape");
      char e = s_[i_++];
      static const std::string simple = "\"\\/bfnrt";
      static const char meaning[] = "\"\\/\b\f\n\r\t";
      if (simple.find(e) != std::string::npos) {
        out += meaning[simple.find(e)];
        continue;
      }
      if (e != 'u')
        return fail("bad escape");
      std::uint32_t code;
      if (!hex4(code))
        return false;
      if (code >= 0xDC00 && code <= 0xDFFF)
        return fail("lone low surrogate");
      if (code >= 0xD800 && code <= 0xDBFF) {
        std::uint32_t low;
        if (s_.compare(i_, 2, "\\u") != 0 || (i_ += 2, !hex4(low)) || low < 0xDC00 || low > 0xDFFF)
          return fail("lone high surrogate");
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      }
      put_utf8(out, code);
    }
  }
};

Json parse_json(const std::string &text) {
  Json out;
  std::string error;
  EXPECT_TRUE(JsonReader(text).read(out, &error)) << error << " in: " << text;
  return out;
}

bool json_valid(const std::string &text) {
  Json out;
  std::string error;
  return JsonReader(text).read(out, &error);
}

size_t count_of(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

std::string row_of(const std::string &text) {
  std::string row = text;
  row.resize(PANEL_FEED_COLUMNS, ' ');
  return row;
}

RemoteState sample_state() {
  RemoteState s;
  s.display_seen = true;
  s.panel.rows[0] = row_of("1/002/03 PLAY  -2:05 ALL");
  s.panel.rows[1] = row_of("First song");
  s.panel.title = "First song";
  s.panel.status = "PLAY";
  s.panel.device = 1;
  s.panel.list = 2;
  s.panel.song = 3;
  s.panel.time = "-2:05";
  s.panel.order = "ALL";
  s.panel.volume = 72;
  s.panel.balance = -8;
  s.panel.bass = 48;
  s.panel.treble = 52;
  s.device_name = "/media/stick1";
  s.list_name = "Second album";
  s.song_name = "First song";
  s.seconds_left = 125;
  s.seconds_total = 200;
  return s;
}

} // namespace

TEST(RemotePageTest, EscapesTitlesEverywhere) {
  // One title with every character HTML gives a meaning, in each place a title appears.
  const std::string raw = "A&B <i>\"x\" 'y'";
  const std::string escaped = "A&amp;B &lt;i&gt;&quot;x&quot; &#39;y&#39;";
  EXPECT_EQ(html_escape(raw), escaped);
  EXPECT_EQ(html_escape("plain \xC3\xA9"), "plain \xC3\xA9");

  RemoteState s = sample_state();
  s.panel.rows[1] = row_of(raw);
  s.panel.title = raw;
  s.panel.status = "<x>";
  s.panel.order = "&";
  s.device_name = raw;
  s.list_name = raw;
  s.song_name = raw;
  std::vector<SearchEntry> hits = {{1, 2, 0, raw, raw}, {1, 2, 3, raw, raw}};
  std::string page = render_remote_page(s, raw, hits, 2, 0, raw);
  // The script's starting state is JSON, not HTML: it is read apart below.
  size_t init = page.find("id=init>");
  ASSERT_NE(init, std::string::npos);
  page.erase(init, page.find("</script>", init) - init);

  EXPECT_EQ(count_of(page, "<i>"), 0u);
  EXPECT_EQ(count_of(page, "<x>"), 0u);
  EXPECT_EQ(count_of(page, "'y'"), 0u);
  // Row, title, three names, query, notice, and the hits' titles and list title.
  EXPECT_EQ(count_of(page, escaped), 10u);
  EXPECT_NE(page.find("id=status>&lt;x&gt;<"), std::string::npos);
  EXPECT_NE(page.find("id=order title=\"Order\">&amp;<"), std::string::npos);

  // The state the script starts from lies in the page too, where "</script>" in a title
  // would end it early.
  s.panel.title = "</script><script>alert(1)</script>";
  page = render_remote_page(s, "", {}, 0, 0, "");
  EXPECT_EQ(count_of(page, "</script>"), 2u);
  size_t start = page.find("id=init>") + 8;
  Json state = parse_json(page.substr(start, page.find("</script>", start) - start));
  EXPECT_EQ(state["title"].text, s.panel.title);
}

TEST(RemotePageTest, QuotesJsonStrictly) {
  // Each text goes through the strict reader and comes back as it was.
  const std::vector<std::string> kept = {
      "",
      "plain",
      "quote \" backslash \\ slash /",
      std::string("controls \x01\x1F\x7F\n\r\t\b\f end"),
      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
      "</script> \xE2\x80\xA8 \xE2\x80\xA9",
  };
  for (const std::string &text : kept) {
    std::string quoted = json_quote(text);
    Json j = parse_json(quoted);
    EXPECT_EQ(j.kind, Json::string) << quoted;
    EXPECT_EQ(j.text, text) << quoted;
    EXPECT_EQ(quoted.find('<'), std::string::npos) << quoted;
  }
  // Bytes that are not UTF-8 become U+FFFD, one for each; what is UTF-8 around them stays.
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a\x80z", "a" + fffd + "z"},                    // a lone continuation byte
      {"a\xC0\xAFz", "a" + fffd + fffd + "z"},         // an overlong "/"
      {"\xE0\x80\xAF", fffd + fffd + fffd},            // an overlong in three bytes
      {"\xED\xA0\x80", fffd + fffd + fffd},            // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // beyond U+10FFFF
      {"\xF5x", fffd + "x"},
      {"\xFF\xFE", fffd + fffd},
      {"end \xE2\x82", "end " + fffd + fffd}, // cut off at the end
      {"caf\xE9!", "caf" + fffd + "!"},       // Latin-1
  };
  for (const auto &[text, expected] : bad) {
    std::string quoted = json_quote(text);
    EXPECT_EQ(parse_json(quoted).text, expected) << quoted;
  }
  // The reader itself refuses what it must.
  for (const char *wrong : {"\"a\x80\"", "\"\x01\"", "{\"a\":1,}", "[1 2]", "\"\\ud800\"", "01",
                            "{\"a\":1,\"a\":2}", "\"\\x\""})
    EXPECT_FALSE(json_valid(wrong)) << wrong;
}

TEST(RemotePageTest, StateJsonCarriesEveryField) {
  RemoteState s = sample_state();
  s.panel.title = "Caf\xE9 \"L\xE0\"\n"; // the display's Latin-1
  s.device_name = "/media/st\xFFick";    // not UTF-8
  s.panel.mode = 2;
  Json j = parse_json(render_state_json(s));
  ASSERT_EQ(j.kind, Json::object);
  ASSERT_EQ(j["rows"].items.size(), 2u);
  EXPECT_EQ(j["rows"].items[0].text, "1/002/03 PLAY  -2:05 ALL");
  EXPECT_EQ(j["title"].text, "Caf\xC3\xA9 \"L\xC3\xA0\"\n");
  EXPECT_EQ(j["status"].text, "PLAY");
  EXPECT_EQ(j["device"].value, 1);
  EXPECT_EQ(j["list"].value, 2);
  EXPECT_EQ(j["song"].value, 3);
  EXPECT_EQ(j["device_name"].text, "/media/st\xEF\xBF\xBDick");
  EXPECT_EQ(j["list_name"].text, "Second album");
  EXPECT_EQ(j["song_name"].text, "First song");
  EXPECT_EQ(j["time"].text, "-2:05");
  EXPECT_EQ(j["seconds_left"].value, 125);
  EXPECT_EQ(j["seconds_total"].value, 200);
  EXPECT_EQ(j["order"].text, "ALL");
  EXPECT_EQ(j["mode"].value, 2);
  EXPECT_EQ(j["volume"].value, 72);
  EXPECT_EQ(j["balance"].value, -8);
  EXPECT_EQ(j["bass"].value, 48);
  EXPECT_EQ(j["treble"].value, 52);
  EXPECT_TRUE(j["display"].truth);

  // Unknown times are -1 however they came, and the page then shows no bar.
  s.seconds_left = -7;
  s.seconds_total = -1;
  s.display_seen = false;
  j = parse_json(render_state_json(s));
  EXPECT_EQ(j["seconds_left"].value, -1);
  EXPECT_EQ(j["seconds_total"].value, -1);
  EXPECT_FALSE(j["display"].truth);
  std::string page = render_remote_page(s, "", {}, 0, 0, "");
  EXPECT_NE(page.find("id=bar hidden"), std::string::npos);
  EXPECT_NE(page.find("id=time>-2:05<"), std::string::npos);
  EXPECT_EQ(page.find("id=away class=away hidden"), std::string::npos);
}

TEST(RemotePageTest, ShowsTheProgressOfTheSong) {
  RemoteState s = sample_state(); // 125 of 200 s left: 37 % played
  std::string page = render_remote_page(s, "", {}, 0, 0, "");
  EXPECT_NE(page.find("id=bar><i style=\"width:37%\">"), std::string::npos);
  EXPECT_NE(page.find("id=time>2:05 left of 3:20<"), std::string::npos);
  EXPECT_NE(page.find("id=away class=away hidden"), std::string::npos);
  // A time left beyond the song's length is none played, never a negative share.
  s.seconds_left = 300;
  page = render_remote_page(s, "", {}, 0, 0, "");
  EXPECT_NE(page.find("id=bar><i style=\"width:0%\">"), std::string::npos);
}

TEST(RemotePageTest, RowsThroughBothRoms) {
  // A mixer bar row: text, the bar glyph, letters each ROM shows differently.
  std::string row = "V\\~\xE4\xE9";
  row += std::string(5, '\xFF');
  row += "<&";
  row.resize(PANEL_FEED_COLUMNS, ' ');
  const std::string block = "\xE2\x96\x88";
  const std::string bar = block + block + block + block + block;
  std::string a00 = panel_row_text(row, LcdRom::A00);
  std::string a02 = panel_row_text(row, LcdRom::A02);
  // A00: no backslash (its "¥" is another sign) and an arrow at "~", so blanks; "ä" its
  // own; "é" without the accent. A02: all of Latin-1.
  EXPECT_EQ(a00, "V  \xC3\xA4"
                 "e" +
                     bar + "<&" + std::string(12, ' '));
  EXPECT_EQ(a02, "V\\~\xC3\xA4\xC3\xA9" + bar + "<&" + std::string(12, ' '));

  RemoteState s = sample_state();
  s.panel.rows[1] = row;
  for (LcdRom rom : {LcdRom::A00, LcdRom::A02}) {
    s.rom = rom;
    std::string shown = rom == LcdRom::A00 ? a00 : a02;
    Json j = parse_json(render_state_json(s));
    EXPECT_EQ(j["rows"].items[1].text, shown);
    EXPECT_NE(render_remote_page(s, "", {}, 0, 0, "").find("id=row1>" + html_escape(shown) + "<"),
              std::string::npos);
  }
}

// The forms of a page, each as its opening tag and its contents.
std::vector<std::pair<std::string, std::string>> forms_of(const std::string &page) {
  std::vector<std::pair<std::string, std::string>> forms;
  for (size_t at = page.find("<form"); at != std::string::npos; at = page.find("<form", at + 1)) {
    size_t open_end = page.find('>', at);
    size_t end = page.find("</form>", open_end);
    EXPECT_LT(end, page.find("<form", at + 1)) << "forms inside forms";
    forms.emplace_back(page.substr(at, open_end + 1 - at),
                       page.substr(open_end + 1, end - open_end - 1));
  }
  return forms;
}

// The control lines the keyboard sends, read from its key table, and its number words.
std::set<std::string> keyboard_words() {
  std::ifstream source(VELM_SOURCE_DIR "/input/velm_keys.cpp");
  std::stringstream text;
  text << source.rdbuf();
  std::string code = text.str();
  std::set<std::string> words;
  static const std::regex entry("\\{'.', \"([a-z_]+)\"\\}");
  for (std::sregex_iterator m(code.begin(), code.end(), entry), end; m != end; ++m)
    words.insert((*m)[1]);
  static const std::regex numeric("\"(player_[a-z]+) \" \\+ keys\\.number");
  for (std::sregex_iterator m(code.begin(), code.end(), numeric), end; m != end; ++m)
    words.insert((*m)[1]);
  return words;
}

TEST(RemotePageTest, PlainFormForEveryKeyOfTheKeyboard) {
  std::set<std::string> words = keyboard_words();
  ASSERT_GE(words.size(), 21u) << "the keyboard's table was not found";
  // Every word the keyboard sends is one of the control daemon's.
  std::set<std::string> table(CONTROL_WORDS, CONTROL_WORDS + CONTROL_WORD_COUNT);
  for (int i = 0; i < CONTROL_NUMERIC_WORD_COUNT; ++i)
    table.insert(CONTROL_NUMERIC_WORDS[i].word);
  for (const std::string &w : words)
    EXPECT_EQ(table.count(w), 1u) << w;

  for (int mode : {0, 2}) {
    RemoteState s = sample_state();
    s.panel.mode = mode;
    std::string page = render_remote_page(s, "", {}, 0, 0, "");
    std::set<std::string> found;
    bool number_field = false;
    for (const auto &[tag, body] : forms_of(page)) {
      if (tag.find("method=post") == std::string::npos ||
          tag.find("action=\"/key\"") == std::string::npos)
        continue;
      static const std::regex button("<button name=key value=\"([^\"]+)\"");
      for (std::sregex_iterator m(body.begin(), body.end(), button), end; m != end; ++m)
        found.insert((*m)[1]);
      number_field = number_field || body.find("<input name=number") != std::string::npos;
    }
    for (const std::string &w : words)
      EXPECT_EQ(found.count(w), 1u) << w;
    EXPECT_TRUE(number_field);
    // The mode key toggles as the keyboard's does, and its line is one the server takes.
    std::string mode_line = "display_setmode " + std::to_string(mode == 0 ? 2 : 0);
    EXPECT_EQ(found.count(mode_line), 1u) << mode_line;
    EXPECT_TRUE(is_display_mode_line(mode_line.c_str()));
    for (const std::string &w : found) {
      bool numeric = w == "player_gotosong" || w == "player_gotolist";
      EXPECT_TRUE(numeric || is_control_line(w.c_str()) || is_display_mode_line(w.c_str())) << w;
    }
  }
}

TEST(RemotePageTest, SearchResultsWithoutScript) {
  RemoteState s = sample_state();
  std::vector<SearchEntry> hits;
  for (int i = 1; i <= 50; ++i)
    hits.push_back({2, 7, i, "Song " + std::to_string(i), "Album seven"});
  hits.insert(hits.begin(), SearchEntry{2, 7, 0, "Album seven", "Album seven"});
  std::string page = render_remote_page(s, "a&b c\xC3\xA9", hits, 120, 50, "");
  // The field keeps the query; each hit is a form of its own that plays it.
  EXPECT_NE(page.find("name=q id=q"), std::string::npos);
  EXPECT_NE(page.find("value=\"a&amp;b c\xC3\xA9\""), std::string::npos);
  size_t plays = 0;
  for (const auto &[tag, body] : forms_of(page)) {
    if (tag.find("action=\"/play\"") == std::string::npos)
      continue;
    EXPECT_NE(tag.find("method=post"), std::string::npos);
    const SearchEntry &e = hits[plays++];
    std::string address =
        std::to_string(e.device) + " " + std::to_string(e.list) + " " + std::to_string(e.song);
    EXPECT_NE(body.find("name=address value=\"" + address + "\""), std::string::npos) << address;
    EXPECT_NE(body.find(html_escape(e.title)), std::string::npos);
  }
  EXPECT_EQ(plays, hits.size());
  EXPECT_NE(page.find("120 matches, 51 to 101"), std::string::npos);
  // Paging links carry the query encoded.
  EXPECT_NE(page.find("href=\"/search?q=a%26b+c%C3%A9&amp;from=0\">Earlier"), std::string::npos);
  EXPECT_NE(page.find("id=more href=\"/search?q=a%26b+c%C3%A9&amp;from=101\">"), std::string::npos);
  // The last page has no "More"; no query, no count.
  page = render_remote_page(s, "x", hits, 51, 0, "");
  EXPECT_NE(page.find("id=more href=\"/search?q=x&amp;from=51\" hidden>"), std::string::npos);
  EXPECT_EQ(page.find(">Earlier<"), std::string::npos);
  page = render_remote_page(s, "", {}, 0, 0, "");
  EXPECT_NE(page.find("id=count></p>"), std::string::npos);
  page = render_remote_page(s, "zzz", {}, 0, 0, "");
  EXPECT_NE(page.find("id=count>Nothing found<"), std::string::npos);
}

TEST(RemotePageTest, SearchJson) {
  std::vector<SearchEntry> hits = {{1, 3, 0, "Lists & \"more\"", "Lists & \"more\""},
                                   {1, 3, 12, "Caf\xC3\xA9\x01", "Lists & \"more\""}};
  Json j = parse_json(render_search_json(hits, 77, 25));
  EXPECT_EQ(j["total"].value, 77);
  EXPECT_EQ(j["from"].value, 25);
  ASSERT_EQ(j["hits"].items.size(), 2u);
  const Json &list = j["hits"].items[0];
  const Json &song = j["hits"].items[1];
  EXPECT_EQ(list["kind"].text, "list");
  EXPECT_EQ(song["kind"].text, "song");
  EXPECT_EQ(song["device"].value, 1);
  EXPECT_EQ(song["list"].value, 3);
  EXPECT_EQ(song["song"].value, 12);
  EXPECT_EQ(list["song"].value, 0);
  EXPECT_EQ(song["title"].text, "Caf\xC3\xA9\x01");
  EXPECT_EQ(song["list_title"].text, "Lists & \"more\"");
  j = parse_json(render_search_json({}, 0, 0));
  EXPECT_EQ(j["hits"].kind, Json::array);
  EXPECT_TRUE(j["hits"].items.empty());
}
