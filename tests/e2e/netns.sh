#!/bin/sh
# Runs a command in a private network namespace with only loopback up, so that
# a test's servers on the fixed ports never meet the host's or another test's.
# As root a plain network namespace; otherwise inside a user namespace too.
set -eu
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' netns "$@"
else
  exec unshare --map-root-user --net -- sh -c 'ip link set lo up && exec "$@"' netns "$@"
fi
