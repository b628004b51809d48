#pragma once

#include <cstdio>

// Writes the catalogue page of the master list `mpl` to `out`: the devices ("Gruppen"),
// each device's lists ("Inhalt der Gruppen") and each list's songs ("Inhalt der Alben"),
// one pass over the master list each. Lists and songs link to /cgi-bin/choose.sh with
// their 12-digit code.
void write_catalog(FILE *mpl, FILE *out);
