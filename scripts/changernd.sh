#!/bin/sh
# The next order of play: sequential, shuffled over all songs, per device, per list.
exec velm_play random
