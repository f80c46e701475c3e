#!/bin/sh
# Without a display the toolkit says why it cannot start and the program exits with status 1:
# no abort, no core dump.  no_display.sh FELDARO
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" 2>&1)
rc=$?
echo "$out"
echo "exit status $rc"
[ "$rc" -eq 1 ] || { echo "FAIL: expected exit status 1"; exit 1; }
echo "$out" | grep -q "could not connect to display" || { echo "FAIL: no toolkit message"; exit 1; }
echo "PASS"
