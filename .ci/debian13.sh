#!/usr/bin/env bash
# The Debian 13 lane of CI, on a Debian 12 machine, as root: the README's test
# command in a Debian 13 (trixie) root made with debootstrap.
#
#   .ci/debian13.sh [COMMAND...]   (default: scripts/run_tests.sh release package clang)
#
# The base root (debootstrap --variant=minbase, from the Debian archive this
# machine's apt uses) is kept in $QUILLET_CI_CACHE/debian13 (default
# /var/cache/quillet-ci) for later runs, and made anew when it is missing, when
# its making did not finish, when it was made with other parameters or by
# another version of make_base below, or when it is older than a week. No run
# writes to it: each run's root is an overlay on it, with an upper layer that is
# thrown away, so every run starts from a fresh system and installs what the
# project needs with scripts/install_deps.sh in it, as a user would (only the
# downloaded .debs are kept between runs). The working tree (tracked and
# untracked files that git does not ignore) is copied to /root/quillet there.
#
# One run at a time: flock on $QUILLET_CI_CACHE/debian13.lock, held from the
# check of the base root to the end of the lane. Everything the lane mounts or
# starts lives in mount and PID namespaces of its own, so it all goes when the
# lane ends, whichever step fails.
#
# QUILLET_CI_GO_FD: when set, the lane prepares its root (base root checked or
# made, packages downloaded), then reads a line from that file descriptor before
# it installs them and runs COMMAND, and stops if there is none; .ci/run so
# prepares the root while the Debian 12 suite runs.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${QUILLET_CI_CACHE:-/var/cache/quillet-ci}/debian13
SUITE=trixie
BASE=$CACHE/root
RUN=$CACHE/run
MNT=$RUN/root
GROUPS_NEEDED="build runtime test zabbix"

say() { echo "debian13: $*"; }
die() {
  echo "debian13: $*" >&2
  exit 1
}

# --- inside the lane's namespaces ---------------------------------------------
if [ "${1:-}" = --inside ]; then
  shift
  # shellcheck disable=SC2317 # called by the trap
  unmount_all() { umount -R "$MNT" 2>/dev/null || umount -R -l "$MNT" 2>/dev/null || true; }
  trap unmount_all EXIT
  mount -t overlay overlay -o "lowerdir=$BASE,upperdir=$RUN/upper,workdir=$RUN/work" "$MNT"
  # The root is a mount point of its own, so that unshare --mount works inside
  # a chroot into it (the suites need that).
  mount --make-private "$MNT"
  mount -t proc proc "$MNT/proc"
  mount --bind /sys "$MNT/sys"
  mount --bind /dev "$MNT/dev"
  mount --bind /dev/pts "$MNT/dev/pts"
  mount -t tmpfs -o mode=1777 tmpfs "$MNT/dev/shm"
  mount --bind "$CACHE/apt-archives" "$MNT/var/cache/apt/archives"
  cp /etc/resolv.conf "$MNT/etc/resolv.conf"
  mkdir -p "$MNT/root/quillet"
  # The unit tests run stand-ins from the build tree as the contained user,
  # which needs search permission on every folder above it; /root is 0700.
  chmod 0711 "$MNT/root"
  (cd "$SRC" && git ls-files -z --cached --others --exclude-standard | tar -c --null -T - -f -) |
    tar -x -f - -C "$MNT/root/quillet"

  # in_root COMMAND...: COMMAND in the root, from the copy of the working tree,
  # with the environment of a root login.
  in_root() {
    chroot "$MNT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c 'cd /root/quillet && exec "$@"' bash "$@"
  }

  # shellcheck disable=SC2016 # expanded in the root
  say "$(in_root sh -c '. /etc/os-release && echo "$PRETTY_NAME, Debian $(cat /etc/debian_version)"')"
  if [ -n "${QUILLET_CI_GO_FD:-}" ]; then
    # Only fetching while the other lane runs: unpacking and configuring would
    # compete for the disk and the cores with its suites, several of which
    # work against the clock.
    t=$SECONDS
    # shellcheck disable=SC2086
    in_root scripts/install_deps.sh --download-only $GROUPS_NEEDED
    say "packages downloaded in $((SECONDS - t)) s"
    read -r -u "$QUILLET_CI_GO_FD" _ || die "told to stop before the suite"
  fi
  t=$SECONDS
  # shellcheck disable=SC2086
  in_root scripts/install_deps.sh $GROUPS_NEEDED
  say "packages installed in $((SECONDS - t)) s"
  say "running: $*"
  in_root "$@"
  exit
fi

# --- outside ---------------------------------------------------------------------
[ "$(id -u)" = 0 ] || die "run me as root (debootstrap, chroot, mounts)"
[ $# -gt 0 ] || set -- scripts/run_tests.sh release package clang

# The Debian archive that this machine's apt uses (the first deb822 stanza or
# sources.list line that names its release), and its security archive.
# shellcheck source=/dev/null
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
archive_of() {
  local files=()
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 0
  awk -v suite="$1" '
    /^URIs:/ { uri = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) { print uri; exit } }
    /^deb / && $3 == suite { print $2; exit }' "${files[@]}"
}
MIRROR=${QUILLET_DEBIAN_MIRROR:-$(archive_of "$codename")}
SECURITY=$(archive_of "$codename-security")
[ -n "$MIRROR" ] || die "no Debian archive for $codename in /etc/apt (set QUILLET_DEBIAN_MIRROR)"

# make_base DIR: a minimal Debian 13 as debootstrap makes it, with what a
# freshly installed machine has besides: its archives in apt's sources, and
# /etc/hosts.
make_base() {
  debootstrap --variant=minbase --include=ca-certificates "$SUITE" "$1" "$MIRROR" >"$CACHE/debootstrap.log" 2>&1 ||
    die "debootstrap failed, see $CACHE/debootstrap.log"
  rm -f "$1/etc/apt/sources.list"
  {
    printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' "$MIRROR" "$SUITE" "$SUITE"
    printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    if [ -n "$SECURITY" ]; then
      printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' "$SECURITY" "$SUITE"
      printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
  } >"$1/etc/apt/sources.list.d/debian.sources"
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$1/etc/hosts"
}

# What the base root was made with; another value means it is made anew.
params="$(debootstrap --version) $SUITE $MIRROR $SECURITY $(declare -f make_base | sha256sum | cut -c1-16)"

mkdir -p "$CACHE/apt-archives"
exec 9>"$CACHE.lock"
if ! flock -n 9; then
  say "another run uses the root; waiting for it"
  flock 9
fi

command -v debootstrap >/dev/null || {
  say "installing debootstrap"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq debootstrap >/dev/null
}

if [ -f "$CACHE/root.params" ] && [ "$(cat "$CACHE/root.params")" = "$params" ] &&
  [ -z "$(find "$CACHE/root.params" -mtime +7)" ]; then
  say "reusing the base root made $(date -r "$CACHE/root.params" '+%F %R')"
else
  t=$SECONDS
  say "making the base root (debootstrap $SUITE)"
  rm -rf "$CACHE/root.params" "$BASE" "$BASE.partial"
  make_base "$BASE.partial"
  mv "$BASE.partial" "$BASE"
  echo "$params" >"$CACHE/root.params"
  say "base root made in $((SECONDS - t)) s"
fi

rm -rf "$RUN"
mkdir -p "$RUN/upper" "$RUN/work" "$MNT"
unshare --mount --pid --fork --kill-child --propagation private bash "$0" --inside "$@" &
lane=$!
# A signal ends the lane at once. unshare --fork ignores SIGTERM and SIGINT
# while it waits; once it is killed, the kernel kills its child (--kill-child),
# and with that init every process of the PID namespace.
trap 'kill -KILL "$lane" 2>/dev/null || true' INT TERM HUP
status=0
wait "$lane" || status=$?
if [ "$status" -gt 128 ]; then wait "$lane" 2>/dev/null || true; fi
rm -rf "$RUN"
exit "$status"
