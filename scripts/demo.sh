#!/usr/bin/env bash
# Sets up quillet on a Debian 12 machine (as root), builds it and runs it on a
# built-in demo setting.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_deps.sh build runtime
cmake -S . -B build -G Ninja >/dev/null
ninja -C build quillet

echo "== quillet with an unknown mode word"
build/quillet demo x 127.0.0.1 demo-host || echo "(exit status $?)"
