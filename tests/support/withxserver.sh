#!/bin/sh
# Runs a command on an X server of its own, ended with it: Xvfb picks the display number itself
# (-displayfd), so that servers started side by side (ctest -j, other checkouts) never race for
# one, as xvfb-run -a can.
dir=$(mktemp -d) || exit 1
mkfifo "$dir/display" || exit 1
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$dir/display" 2>"$dir/errors" &
xvfb=$!
# Xvfb writes the number once it accepts clients; a server that fails closes the pipe unwritten.
read -r number < "$dir/display"
if [ -z "$number" ]; then
  echo "withxserver: Xvfb did not start: $(cat "$dir/errors")" >&2
  rm -rf "$dir"
  exit 1
fi
DISPLAY=":$number" "$@"
status=$?
kill "$xvfb"
wait "$xvfb"
rm -rf "$dir"
exit "$status"
