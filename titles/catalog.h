#pragma once

#include <cstdio>

// Writes the catalogue page of the master list `mpl` to `out`: the devices ("Gruppen"),
// each device's lists ("Inhalt der Gruppen") and each list's songs ("Inhalt der Alben"),
// one pass over the master list each. Lists and songs link to /cgi-bin/choose.sh with
// their 12-digit code.
void write_catalog(FILE *mpl, FILE *out);

// Writes a title as HTML text: "&", "<", ">" and the double quote as entities.
void put_html_text(const char *text, FILE *out);
