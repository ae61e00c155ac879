#!/bin/sh
# Runs atspi_window.py against the program as shipped: an X server (Xvfb) on a free display, a
# session bus and the accessibility bus in it, a configuration of the run's own (COM7, a device
# file that is no serial port, chosen for a cable link), then the program with Qt's AT-SPI bridge
# on. Arguments: the program, the script.
set -eu
program=$1
script=$2
work=$(mktemp -d)
trap 'kill $xpid 2>/dev/null || true; rm -rf "$work"' EXIT INT TERM

for tool in Xvfb dbus-run-session dbus-send /usr/libexec/at-spi-bus-launcher /usr/bin/python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "atspi_window: $tool is missing (scripts/install-deps installs it)" >&2; exit 1; }
done

# The first free display from 120 on; Xvfb says when it is ready by signalling its parent.
display=120
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xpid=$!
tries=0
until [ -e "/tmp/.X11-unix/X$display" ]; do
  tries=$((tries + 1)); [ $tries -lt 100 ] || { cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done

mkdir -p "$work/config/Varo/Lindqvar" "$work/runtime"
chmod 700 "$work/runtime"
printf 'COM7=/dev/zero\n' >"$work/config/Varo/Lindqvar/ports.conf"
printf 'COM=COM7\nCHANNEL=1\n' >"$work/config/Varo/Lindqvar/Lindqvar.conf"

export HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
exec dbus-run-session -- sh -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately >"$HOME/bus.log" 2>&1 &
  bus=$!
  # The program looks for the accessibility bus when it starts: it must be there first.
  tries=0
  until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q "boolean true"; do
    tries=$((tries + 1)); [ $tries -lt 200 ] || { cat "$HOME/bus.log" >&2; exit 1; }
    sleep 0.1
  done
  "$0" "$HOME/boxes.txt" >"$HOME/program.log" 2>&1 &
  app=$!
  status=0
  /usr/bin/python3 "$1" || status=$?
  kill $app $bus 2>/dev/null || true
  [ $status -eq 0 ] || { echo "--- program:"; cat "$HOME/program.log"; echo "--- message boxes:"; cat "$HOME/boxes.txt" 2>/dev/null; } >&2
  exit $status
' "$program" "$script"
