#!/usr/bin/env bash
# sandbox.sh COMMAND [ARGS...]
#
# Runs COMMAND in a sandbox of its own, for the benchmarks that run the real
# binary: a private network namespace (its own loopback, so a trapper can take
# 127.0.0.1:10052) and a private mount namespace with a tmpfs on /home holding
# an empty /home/quillet/. Nothing outlives the command. Needs root; exits 77
# when the namespaces cannot be had.
set -euo pipefail

if [ -z "${QUILLET_BENCH_SANDBOX:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! unshare --net --mount --propagation private --fork true 2>/dev/null; then
    echo "sandbox.sh: needs root and unshare of network and mount namespaces" >&2
    exit 77
  fi
  exec env QUILLET_BENCH_SANDBOX=1 unshare --net --mount --propagation private --fork \
    bash "$0" "$@"
fi

ip link set lo up
mount -t tmpfs -o size=1g,mode=755 tmpfs /home
mkdir -p /home/quillet
exec "$@"
