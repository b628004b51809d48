#include "catalog.h"

#include "format.h"
#include "plfile.h"
#include "titleform.h"

#include <cstring>

namespace {

// Writes a title as HTML text: "&", "<", ">" and the double quote as entities.
void put_html_text(const char *text, FILE *out) {
  for (const char *p = text;; ++p) {
    size_t plain = strcspn(p, "&<>\"");
    fwrite(p, 1, plain, out);
    p += plain;
    switch (*p) {
    case '&':
      fputs("&amp;", out);
      break;
    case '<':
      fputs("&lt;", out);
      break;
    case '>':
      fputs("&gt;", out);
      break;
    case '"':
      fputs("&quot;", out);
      break;
    default:
      return;
    }
  }
}

enum class Kind { device, list, song };

// One master list entry.
struct Entry {
  MplEntry line;
  Kind kind;
};

// Reads the next entry; false at the end of the pass.
bool next_entry(FILE *mpl, Entry *entry) {
  if (!mpl_read_entry(mpl, &entry->line))
    return false;
  entry->kind = entry->line.list == 0   ? Kind::device
                : entry->line.song == 0 ? Kind::list
                                        : Kind::song;
  return true;
}

// Writes the entry's title as HTML text. Titles are derived only where a pass shows
// them: the first two passes pass over the songs.
void put_title(const Entry &entry, FILE *out) {
  char work[TITLE_BUFFER_SIZE];
  char title[TITLE_BUFFER_SIZE];
  title_work_copy(work, entry.line.text);
  titleform(work, title);
  put_html_text(title, out);
}

// "<LI></A><A NAME=\"%04d%04d%04d\" HREF=\"/cgi-bin/choose.sh?song=%04d%04d%04d\">" with
// the song's address twice, formatted by hand: it is written once per song.
void put_song_link(const MplEntry &l, FILE *out) {
  char code[3 * 11];
  char *end = put_decimal(put_decimal(put_decimal(code, l.device, 4), l.list, 4), l.song, 4);
  auto length = static_cast<size_t>(end - code);
  fputs("<LI></A><A NAME=\"", out);
  fwrite(code, 1, length, out);
  fputs("\" HREF=\"/cgi-bin/choose.sh?song=", out);
  fwrite(code, 1, length, out);
  fputs("\">", out);
}

// Two cells to a table row: a row break before the third, fifth, ... cell.
void row_step(int *column, FILE *out) {
  if (*column > 1) {
    fputs("</TR><TR>", out);
    *column = 1;
  } else {
    ++*column;
  }
}

void write_head(FILE *out) {
  fputs("<HTML><HEAD><TITLE>Velm Jukebox</TITLE></HEAD><BODY LINK=#000000 ALINK=#000000>\n", out);
  fputs("<FONT FACE=\"Arial\"><h1>Velm Jukebox"
        "<FONT SIZE=3>&nbsp;&nbsp;&nbsp;made by the Velm jukebox builders</FONT>"
        "</h1>\n",
        out);
}

void write_groups(FILE *mpl, FILE *out) {
  fputs("\n<h2>Gruppen</h2><OL>", out);
  Entry e;
  while (next_entry(mpl, &e)) {
    if (e.kind == Kind::device) {
      fprintf(out, "<LI><A HREF=\"#%04d00000000\">", e.line.device);
      put_title(e, out);
      fputs("</A> ", out);
    }
  }
  fputs("\n</OL>", out);
}

void write_group_contents(FILE *mpl, FILE *out) {
  fputs("<h2>Inhalt der Gruppen</h2>\n", out);
  fputs("<TABLE WIDTH=98% BORDER=1 CELLPADDING=8>\n", out);
  int column = 0;
  Entry e;
  while (next_entry(mpl, &e)) {
    if (e.kind == Kind::device) {
      fputs("</OL></TD>", out);
      row_step(&column, out);
      fprintf(out, "<TD WIDTH=50%% VALIGN=TOP><A NAME=\"%04d00000000\"></A><FONT SIZE=5>",
              e.line.device);
      put_title(e, out);
      fprintf(out, "</FONT>&nbsp;&nbsp;&nbsp;<FONT SIZE=4>(Gruppe %d)</FONT><br><hr>\n<OL>\n",
              e.line.device);
    } else if (e.kind == Kind::list) {
      fprintf(out, "<LI><A HREF=\"#%04d%04d0000\">", e.line.device, e.line.list);
      put_title(e, out);
      fputs("</A>\n", out);
    }
  }
  fputs("</TABLE>\n\n", out);
}

void write_album_contents(FILE *mpl, FILE *out) {
  fputs("<h2>Inhalt der Alben</h2>\n", out);
  int column = 0;
  Entry e;
  while (next_entry(mpl, &e)) {
    const MplEntry &l = e.line;
    if (e.kind == Kind::device) {
      fprintf(out,
              "</TABLE><P><TABLE BORDER=1 WIDTH=95%% CELLPADDING=8><A NAME=\"%04d%04d0000\"></A>\n",
              l.device, l.list);
      fputs("<TR><TD COLSPAN=2><FONT SIZE=5>", out);
      put_title(e, out);
      fprintf(out, "</FONT>&nbsp;&nbsp;&nbsp;<FONT SIZE=4>(Gruppe %d)</FONT></TD></TR>\n",
              l.device);
      column = 0;
    } else if (e.kind == Kind::list) {
      fputs("</OL></TD>", out);
      row_step(&column, out);
      fputs("<TD WIDTH=50% VALIGN=TOP>\n", out);
      fprintf(out,
              "<FONT SIZE=5>%d</FONT>&nbsp;&nbsp;&nbsp;<FONT SIZE=4><A NAME=\"%04d%04d0000\" "
              "HREF=\"/cgi-bin/choose.sh?song=%04d%04d0000\">",
              l.list, l.device, l.list, l.device, l.list);
      put_title(e, out);
      fputs("</A></FONT><br><hr>\n", out);
      fputs("<OL>", out);
    } else {
      put_song_link(l, out);
      put_title(e, out);
      fputs("</A>\n", out);
    }
  }
  fputs("</OL></TABLE></BODY></HTML>\n", out);
}

} // namespace

void write_catalog(FILE *mpl, FILE *out) {
  write_head(out);
  write_groups(mpl, out);
  rewind(mpl);
  write_group_contents(mpl, out);
  rewind(mpl);
  write_album_contents(mpl, out);
}
