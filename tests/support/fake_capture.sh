#!/usr/bin/env bash
# fake_capture.sh DIR REPORT [DNSTOP-STATUS]
#
# Writes an instant capture into DIR, to be put first on PATH: a tcpdump that
# writes its arguments to DIR/<capture file>.args and a few bytes at its -w path and
# ends as timeout reports a capture it stopped (124), and a dnstop that prints
# the file REPORT and ends with DNSTOP-STATUS (0 by default), and a TCP reader
# that finds no TCP query (nor, asked for its tables, any query or answer). tcpdump ends as the real one does, saying on its
# standard error that it dropped nothing.
set -euo pipefail

dir=${1:?usage: fake_capture.sh DIR REPORT [DNSTOP-STATUS]}
report=${2:?usage: fake_capture.sh DIR REPORT [DNSTOP-STATUS]}
status=${3:-0}
mkdir -p "$dir"
cat >"$dir/tcpdump" <<'EOF'
#!/bin/sh
args=$*
while [ $# -gt 0 ]; do
  if [ "$1" = -w ]; then
    printf pcap >"$2"
    echo "$args" >"$(dirname "$0")/${2##*/}.args"
  fi
  shift
done
printf '1 packet captured\n1 packet received by filter\n0 packets dropped by kernel\n' >&2
exit 124
EOF
printf "#!/bin/sh\ncat '%s'\nexit %d\n" "${report//\'/\'\\\'\'}" "$status" >"$dir/dnstop"
cat >"$dir/quillet-tcp" <<'EOF'
#!/bin/sh
tables=
case " $* " in *" -t "*) tables='Q 0 0\nR 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n' ;; esac
printf "S 0\nB 0\nL 0\n$tables"
EOF
chmod 755 "$dir/tcpdump" "$dir/dnstop" "$dir/quillet-tcp"
