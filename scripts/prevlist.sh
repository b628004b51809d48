#!/bin/sh
# The first song of the list before the current one.
exec velm_play prevlist
