#!/bin/sh
# The first song of the next list of the collection.
exec velm_play nextlist
