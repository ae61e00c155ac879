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

# Xvfb picks a free display itself and writes its number to the descriptor given: a display
# chosen here could be taken meanwhile, or by a server in another root sharing this network.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 3>"$work/display" &
xpid=$!
tries=0
until [ -s "$work/display" ]; do
  tries=$((tries + 1)); [ $tries -lt 200 ] || { cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
display=$(cat "$work/display")

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
