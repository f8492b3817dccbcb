#!/bin/sh
# The scanner the documentation's examples run with: it prints nothing, and
# its scan takes three seconds, long enough for an example to hold the turn
# or cancel it. A relayed SIGINT or SIGTERM ends it, and its scan with it.
trap 'kill $! 2>/dev/null; exit 0' INT TERM
sleep 3 &
wait $!
