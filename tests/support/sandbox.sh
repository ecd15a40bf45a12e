#!/usr/bin/env bash
# sandbox.sh [--pid] [--ens18] [--] COMMAND [ARG...]
#
# Runs COMMAND as root in namespaces of its own, where the real binary may work
# in its fixed paths without touching the machine:
#   - a network namespace with its own loopback up;
#   - a mount namespace with a tmpfs on /home holding /home/quillet (mode 700,
#     as the admin makes it), and /etc as an overlay whose changes land on that
#     tmpfs (/home/etc-upper); /etc/quillet is hidden by a lower layer of its
#     own, so no configuration of the machine's counts or shows as a change;
#   - _quillet with a uid no other process has (1879048192, above the ranges
#     systemd gives containers, plus the sandbox's pid): RLIMIT_NPROC counts
#     every process of a uid system-wide;
#   - with --ens18, a veth pair ens18/ens18p, both up;
#   - with --pid, a PID namespace too: whatever COMMAND starts dies with it.
# Nothing outlives COMMAND. Inside, QUILLET_SANDBOX=1 is set. Where the sandbox
# cannot be had, prints "SKIPPED: <reason>" and exits 77.
set -euo pipefail

skip() {
  echo "SKIPPED: $*"
  exit 77
}

if [ "${1:-}" = --inside ]; then
  shift
  ens18=$1 uid=$2
  shift 3
  ip link set lo up
  mount -t tmpfs -o size=1g,mode=755 tmpfs /home
  install -d -m 700 /home/quillet
  mkdir /home/etc-hide /home/etc-upper /home/etc-work
  mknod /home/etc-hide/quillet c 0 0 # a whiteout
  mount -t overlay overlay \
    -o lowerdir=/home/etc-hide:/etc,upperdir=/home/etc-upper,workdir=/home/etc-work /etc ||
    skip "cannot mount an overlay over /etc"
  sed -i "s/^_quillet:x:[0-9]*:[0-9]*:/_quillet:x:$uid:$uid:/" /etc/passwd
  if [ "$ens18" = 1 ]; then
    ip link add ens18 type veth peer name ens18p 2>/dev/null || skip "cannot create the veth pair ens18/ens18p"
    ip link set ens18 up
    ip link set ens18p up
  fi
  export QUILLET_SANDBOX=1
  exec "$@"
fi

flags=(--net --mount --propagation private --fork)
ens18=0
while [ $# -gt 0 ]; do
  case $1 in
  --pid) flags+=(--pid --kill-child --mount-proc) ;;
  --ens18) ens18=1 ;;
  --) shift; break ;;
  *) break ;;
  esac
  shift
done
[ $# -gt 0 ] || { echo "usage: sandbox.sh [--pid] [--ens18] [--] COMMAND [ARG...]" >&2; exit 2; }
[ "$(id -u)" = 0 ] || skip "the sandbox needs root (namespaces, tmpfs, overlay)"
unshare "${flags[@]}" true 2>/dev/null || skip "unshare ${flags[*]} is not permitted here"
# Taken here, outside any PID namespace: unique while the sandbox lives.
exec unshare "${flags[@]}" bash "$0" --inside "$ens18" $((1879048192 + $$)) -- "$@"
