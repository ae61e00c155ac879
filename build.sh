#!/bin/sh
# The README's commands: `./build.sh run` builds and starts the wizard, `./build.sh test` builds
# it and runs every test. It needs nothing but a Debian system: it installs what is missing
# (make and the compilers included) through scripts/install-deps, with sudo when not run as
# root, then runs the Makefile's target of the same name. Any other target and make's variables
# pass through as well: `./build.sh bench BENCH_ARGS=--quick`.
set -eu
cd "$(dirname "$0")"

if [ $# -eq 0 ]; then
  echo "usage: ./build.sh run | test | <make target> [VARIABLE=value ...]" >&2
  exit 2
fi
scripts/install-deps
exec make "$@"
