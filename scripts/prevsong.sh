#!/bin/sh
# The song before the current one in the order list.
exec velm_play prev
