#!/usr/bin/env bash
# The launch mode's child seen from the inside: which descriptors it holds
# while it captures (a fake tcpdump walks up to it and looks), what the shell
# it starts holds, its process group, and that it delivers everything after
# the launching process has long ended.
source "$E2E_DIR/lib.sh"

report=$SCRATCH/report.txt
printf 'Sources Count %% cum%%\n192.0.2.10 3 75.0 75.0\n192.0.2.20 1 25.0 100.0\n' >"$report"
fake_capture "$report"

# A tcpdump that finds the quillet process above it and lists the descriptors
# of that process and of the shell it started, then takes a second to capture.
seen=$SCRATCH/seen
cat >"$SCRATCH/bin/tcpdump" <<EOF
#!/bin/sh
pid=\$\$ shell=
while [ "\$pid" -gt 1 ] && [ "\$(cat /proc/\$pid/comm)" != quillet ]; do
  shell=\$pid
  pid=\$(awk '{ print \$4 }' /proc/\$pid/stat)
done
mkdir -p '$seen'
ls -l /proc/\$pid/fd | awk 'NR > 1 { print \$9, \$11 }' >'$seen/quillet-fds'
ls -l /proc/\$shell/fd | awk 'NR > 1 { print \$9, \$11 }' >'$seen/shell-fds'
ps -o pgid= -p \$pid | tr -d ' ' >'$seen/pgid'
echo \$pid >'$seen/pid'
sleep 1
while [ \$# -gt 0 ]; do
  if [ "\$1" = "-w" ]; then printf 'pcap' >"\$2"; fi
  shift
done
echo '0 packets dropped by kernel' >&2
EOF
start_trapper

# The launching shell holds descriptors 7 and 8 open without close-on-exec;
# the parent inherits them, the child must not.
set +e
(
  exec 7>"$SCRATCH/held-open" 8<"$report"
  "$QUILLET_BIN" launch_coletarDns /p 127.0.0.1 dns-lab </dev/null >"$OUT" 2>"$ERR"
)
STATUS=$?
set -e
expect_eq "parent: status" "$STATUS" 0
expect_file_eq "parent: stdout" "$OUT" $'Processo inicializado com sucesso!\n'
expect_file_eq "parent: stderr" "$ERR" ""
# The child is still capturing: nothing has arrived yet.
expect_eq "nothing delivered when the parent has ended" "$(trapper_values)" ""

for _ in $(seq 100); do
  [ -f "$TRAPPER_LOG" ] && [ "$(wc -l <"$TRAPPER_LOG")" -ge 6 ] && break
  sleep 0.1
done
pipe=$(sed -n 's/^1 //p' "$seen/quillet-fds")
# Besides its own, the read ends of the captures' standard error.
expect_eq "child: descriptors" "$(sed 's/pipe:.*/pipe/' "$seen/quillet-fds")" "0 /dev/null
1 pipe
2 pipe
3 /home/quillet
4 pipe
5 pipe"
expect_eq "child: output into a pipe" "${pipe%%:*}" pipe
expect_eq "child: the shell it starts holds standard descriptors only" \
  "$(sed 's/pipe:.*/pipe/' "$seen/shell-fds")" "0 /dev/null
1 /dev/null
2 pipe"
expect_eq "child: stays in the launching process group" "$(cat "$seen/pgid")" "$(ps -o pgid= -p $$ | tr -d ' ')"
expect_eq "child: every value delivered" "$(trapper_values | cut -d= -f1 | tr '\n' ' ')" \
  "dns-lab descobertaDns dns-lab contDns[192.0.2.10] dns-lab percentDns[192.0.2.10] dns-lab contDns[192.0.2.20] dns-lab percentDns[192.0.2.20] $(uncounted_values dns-lab | cut -d= -f1 | tr '\n' ' ')"
for _ in $(seq 50); do [ -d "/proc/$(cat "$seen/pid")" ] || break; sleep 0.1; done
expect_eq "child: has ended" "$([ -d "/proc/$(cat "$seen/pid")" ] && echo running || echo ended)" ended

finish
