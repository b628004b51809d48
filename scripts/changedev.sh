#!/bin/sh
# The first song of the next device that holds one.
exec velm_play device
