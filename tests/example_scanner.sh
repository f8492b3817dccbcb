#!/bin/sh
# The scanner the documentation's examples run with: it prints nothing, and
# its scan takes three seconds, long enough for an example to hold the turn
# or cancel it. A relayed SIGINT or SIGTERM ends it.
exec sleep 3
